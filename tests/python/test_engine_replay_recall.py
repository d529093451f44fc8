"""The historical replay on the package's series may go on from what a replay from the same
start found over the same stored bars. Whatever the host changes between bars (a line's state,
the settings, the bar numbers, a series' values), each bar must leave the lines as the same run
on plain Python series leaves them, where nothing found earlier can be used."""

import random

import pytest
from plain_series import PlainSeries
from settings import Settings

from torvex.dto.kerd import Kerd
from torvex.dto.torvex import Torvex
from torvex.series import Series

BARS = 70
FIRST_VISIBLE = 14
PRICES = ("close", "open", "high", "low")
STATE = ("extended", "extend_end_bar_index", "bar_crosses_post_extend",
         "historical_extend_bar_crosses_checked", "post_extend_end_bar_index", "violated")


def market(seed):
    rng = random.Random(seed)
    close, stamp = [100.0], [1000]
    for _ in range(BARS - 1):
        close.append(close[-1] + rng.uniform(-1.2, 1.2))
        stamp.append(stamp[-1] + (0 if rng.random() < 0.1 else 60))
    open_ = [c + rng.uniform(-0.8, 0.8) for c in close]
    return {"close": close, "open": open_,
            "high": [max(o, c) + rng.uniform(0.0, 0.6) for o, c in zip(open_, close)],
            "low": [min(o, c) - rng.uniform(0.0, 0.6) for o, c in zip(open_, close)],
            "time": [float(t) for t in stamp]}


def fresh_state(n, values):
    """Line n's state as the host sets it before each bar."""
    mid = sorted(values["close"])[len(values["close"]) // 2]
    end = n % 6
    return dict(end_bar_index=end, end_time=values["time"][end], kerd_value=mid + (n - 4) * 0.7,
                extended=False, extend_end_bar_index=0, bar_crosses_post_extend=0,
                historical_extend_bar_crosses_checked=False, post_extend_end_bar_index=0,
                violated=False)


# What the host changes from the fresh state: on even bars, and on odd bars.
VARIANTS = {
    "end_time": (lambda s: {}, lambda s: dict(end_time=1e9)),
    "kerd_value": (lambda s: {}, lambda s: dict(kerd_value=s["kerd_value"] + 0.45)),
    "extended": (lambda s: dict(extend_end_bar_index=s["end_bar_index"] + 9),
                 lambda s: dict(extend_end_bar_index=s["end_bar_index"] + 9, extended=True)),
    "count": (lambda s: dict(extended=True, extend_end_bar_index=s["end_bar_index"]),
              lambda s: dict(extended=True, extend_end_bar_index=s["end_bar_index"],
                             bar_crosses_post_extend=3)),
}


def run(kind, seed, change, grow="advance"):
    """The lines' states after each bar's replay; before each bar the host puts every line
    back in its fresh state, changed as `change` says."""
    base = market(seed)
    values = dict(base)
    if kind == "package":
        series = {name: Series(v, visible=FIRST_VISIBLE) if grow == "advance" else
                  Series(v[:FIRST_VISIBLE]) for name, v in values.items()}
    else:
        series = {name: PlainSeries(list(v), visible=FIRST_VISIBLE) for name, v in values.items()}
    settings = Settings(only_body_cross=False, kerd_extend_bar_cross_threshold=1)
    kerds = []
    engine = Torvex(settings, kerds, [], [], [], *[PlainSeries([float("nan")] * BARS)] * 4, {},
                    series["close"], series["open"], series["high"], series["low"],
                    FIRST_VISIBLE - 1, series["time"], BARS - 1, 0.01)
    shift = 0
    states = []
    for bar in range(FIRST_VISIBLE - 1, BARS):
        odd = bar % 2 == 1
        if bar >= FIRST_VISIBLE:
            for name, s in series.items():
                if kind == "plain" or grow == "advance":
                    s.advance()
                else:
                    s.append(values[name][bar])
        if change == "settings" and odd:
            settings.only_body_cross = not settings.only_body_cross
        if change == "threshold":
            settings.kerd_extend_bar_cross_threshold = 3 if odd else 1
        if change == "bar numbers":
            shift = 5 if odd else 0
        if change.startswith("reinit ") and bar >= FIRST_VISIBLE:
            name = change.split()[1]
            # the values already shown change: prices move, times fall before the lines' ends
            values[name] = [v + (0.35 if odd else -0.35) if name != "time" else
                            v - (4000.0 if odd else 0.0) for v in base[name]]
            if kind == "package":
                series[name].__init__(values[name] if grow == "advance" else
                                      values[name][:bar + 1],
                                      visible=bar + 1 if grow == "advance" else None)
            else:
                series[name].values = values[name]
        engine.bar_index = bar + shift
        if change == "new objects" or not kerds:
            kerds.clear()
            for n in range(11):
                kerds.append(Kerd(engine.close, engine.open, engine.high, engine.low,
                                  engine.bar_index, engine.time, BARS - 1, 0.01, 0, 0, 1000,
                                  1000, 0.0, 0.0, [0.0], 1.0))
        # First two lines that the current bar crosses, one checked and one to extend: what
        # they read (the settings, the time series) the replays of the others may take as read.
        middle = (values["high"][bar] + values["low"][bar]) / 2
        leading = [dict(fresh_state(0, base), end_bar_index=bar + shift, kerd_value=middle,
                        historical_extend_bar_crosses_checked=True, extended=True),
                   dict(fresh_state(0, base), end_bar_index=bar + shift - 1, kerd_value=middle)]
        for n, line in enumerate(kerds):
            state = fresh_state(n - 2, base) if n >= 2 else leading[n]
            if n >= 2 and change in VARIANTS:
                state.update(VARIANTS[change][odd](state))
            state["end_bar_index"] += shift if n >= 2 else 0
            for name, value in state.items():
                setattr(line, name, value)
        engine.extend_kerd_to_first_cross_from_history()
        states.append([{name: getattr(k, name) for name in STATE} for k in kerds])
    return states


CHANGES = ["none", "new objects", "settings", "threshold", "bar numbers", *VARIANTS,
           *(f"reinit {name}" for name in (*PRICES, "time"))]


@pytest.mark.parametrize("change", CHANGES)
@pytest.mark.parametrize("seed", [5, 6])
def test_each_bar_leaves_the_lines_as_on_plain_series(change, seed):
    package = run("package", seed, change)
    assert package == run("plain", seed, change)
    # The lines do change state: extended, checked and violated all occur.
    seen = {name for bar in package for line in bar for name in
            ("extended", "historical_extend_bar_crosses_checked", "violated") if line[name]}
    assert seen == {"extended", "historical_extend_bar_crosses_checked", "violated"}


@pytest.mark.parametrize("change", ["none", "reinit close", "reinit time"])
def test_series_grown_by_append_end_as_series_advanced(change):
    assert run("package", 7, change, grow="append") == run("plain", 7, change)
