"""A rebuild passes over the lines the length test rules out, also across the host code that
makes each new line (a host base class's initialiser) or rounds a price, as long as that code
changed neither the engine's line list nor what the tests read of its lines. Host code that does
change them (the list's order or members, a line's end, class or dictionary, a line's pivot
value made one that runs host code or fails to convert) is seen exactly as on the plain path
(the accelerators off, in a process of its own, gives the reference). The loop is the live
view: last_bar_index is each bar itself, so every bar rebuilds its lines."""

import copy
import json
import os

import indicators.common.base_indicator as base_indicator
import pytest
from accelerators import on_plain_path
from own_process import in_own_process
from test_windows_differential import random_case, third_form_result, window

from torvex.dto.kerd import Kerd
from torvex.dto.torvex import Torvex
from torvex.series import Series
from torvex import native

LOG: list = []  # what host code the engine ran, in order


class HostNumber:
    """A pivot value whose conversion is host code, logged."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        LOG.append("float")
        return float(self.value)


class HostKerd(Kerd):
    """A line class whose reads of the level are host code, logged."""

    def __getattribute__(self, name):
        if name == "kerd_value":
            LOG.append("level read")
        return object.__getattribute__(self, name)


def _swap_lines(engine, lines, i):
    lines[i], lines[-1 - i] = lines[-1 - i], lines[i]


def _replace_line(engine, lines, i):
    lines[i] = copy.copy(lines[(i + 1) % len(lines)])


def _shorten_and_widen(engine, lines, i):
    # the line now passes the length test, and its band takes any level
    lines[i].end_bar_index = lines[i].start_bar_index
    lines[i].close_avg_percent = 1e6


def _host_number(engine, lines, i):
    values = lines[i].snib_values
    values[0] = HostNumber(values[0])


def _text_value(engine, lines, i):
    lines[i].snib_values[-1] = "x"


def _line_class(engine, lines, i):
    lines[i].__class__ = HostKerd


def _line_class_and_back(engine, lines, i):
    # the lines made another class at one call, back at the next: the engine's writes between
    # must be read back after
    made = not any(type(line) is HostKerd for line in lines)
    for line in lines:
        line.__class__ = HostKerd if made else Kerd


def _line_dict(engine, lines, i):
    line = lines[i]
    line.__dict__ = {**vars(line), "end_bar_index": line.end_bar_index + 7}


CHANGES = {
    "nothing": None,
    "lines swapped": _swap_lines,
    "line replaced": _replace_line,
    "line shortened and widened": _shorten_and_widen,
    "value runs host code": _host_number,
    "value fails": _text_value,
    "line class": _line_class,
    "line class and back": _line_class_and_back,
    "line dict": _line_dict,
}
HOOKS = ("init", "round")
SEEDS = (40, 41)


def _live_view(market, settings, mintick, cap, t):
    series = [Series(market[name], visible=1) for name in native.MARKET_COLUMNS]
    close, open_, high, low, times, nh, nl, th, tl, trend = series
    mavets, latest, out = [], {}, []
    engine = Torvex(settings, [], [], [], mavets, nh, nl, th, tl, latest, close, open_, high, low,
                    0, times, 0, mintick)
    for bar in range(len(cap)):
        for s in series:
            s.advance(1 if bar else 0)
        engine.bar_index = engine.last_bar_index = bar
        engine.update(trend, cap[bar])
        if bar >= max(t.search_range, 1):
            engine.update_mavet(t.trap_recover_window_threshold, t.search_range,
                                t.low_above_kerd_threshold, cap[bar])
        result = None
        if mavets:
            r = engine.check_mavet_v3(
                cap[bar], t.close_above_kerd_threshold, t.trap_recover_window_threshold,
                t.signal_window, t.close_above_low_threshold,
                t.close_above_recover_low_threshold, t.bar_count_close_above_kerd_threshold,
                t.vvip_kerd_min_snib_count)
            if r.is_kerd_satisfied():
                engine.commit_latest_mavet(r.success.mavet.break_kerd_at_price)
            result = third_form_result(r)
        out.append((result, [window(w) for w in mavets]))
    return out, engine


def run_case(seed, change, hook):
    """The live view over the stand-in base class with a host's own initialiser and
    round_to_mintick, which every fifth call makes the change to the engine's lines."""
    market, settings, mintick, cap, t = random_case(seed)
    settings.bar_count_to_snib = 60
    settings.kerd_length_threshold = 12  # most lines fail the length test
    state = {"calls": 0, "engine": None}
    base = base_indicator.BaseIndicator
    saved = {name: base.__dict__[name] for name in ("__init__", "round_to_mintick")}

    def act(name):
        lines = getattr(state["engine"], "kerds", None)  # none while the engine is made
        LOG.append(name)
        if name != hook or CHANGES[change] is None or len(lines or ()) < 2:
            return
        state["calls"] += 1
        if state["calls"] % 5 == 0:
            CHANGES[change](state["engine"], lines, state["calls"] % len(lines))

    def __init__(self, close, open, high, low, bar_index, time, last_bar_index, mintick):
        self.close, self.open, self.high, self.low = close, open, high, low
        self.bar_index, self.time = bar_index, time
        self.last_bar_index, self.mintick = last_bar_index, mintick
        if isinstance(self, Torvex):
            state["engine"] = self
        act("init")

    def round_to_mintick(self, price):
        act("round")
        return round(price / self.mintick) * self.mintick

    LOG.clear()
    base.__init__, base.round_to_mintick = __init__, round_to_mintick
    out, error = [], None
    try:
        out, _ = _live_view(market, settings, mintick, cap, t)
    except (IndexError, ValueError, TypeError) as e:
        error = f"{type(e).__name__}: {e}"
    finally:
        base.__init__, base.round_to_mintick = saved["__init__"], saved["round_to_mintick"]
    log = list(LOG)
    lines = [(type(k).__name__, k.kerd_value, k.start_bar_index, k.end_bar_index,
              [type(v).__name__ for v in k.snib_values]) for k in state["engine"].kerds]
    return json.loads(json.dumps({"out": out, "lines": lines, "error": error, "log": log,
                                  "calls": state["calls"]}))


CASES = [(seed, change, hook) for seed in SEEDS for change in CHANGES for hook in HOOKS]


def run_cases():
    return [run_case(*case) for case in CASES]


@pytest.fixture(scope="module")
def plain_results():
    """Every case on the plain path, in one interpreter with the accelerators off."""
    return dict(zip(CASES, on_plain_path(__name__, "run_cases")))


@pytest.fixture(autouse=True)
def stand_in_base():
    # the checkout's stand-ins, or those an installed package keeps
    if not {"host", "_host"} & set(os.path.normpath(base_indicator.__file__).split(os.sep)):
        pytest.skip("the host's own modules are installed")


@pytest.mark.parametrize("seed, change, hook", CASES)
@in_own_process
def test_host_code_that_changes_the_lines_is_seen_as_on_the_plain_path(
        plain_results, seed, change, hook):
    got = run_case(seed, change, hook)
    assert got == plain_results[(seed, change, hook)]
    assert got["calls"] >= 5 or change == "nothing"  # the change was made
