"""The engine on the host's objects (torvex.dto.torvex) against the native engine
(torvex.native.run_engine) over the same random markets: after every bar, the same result
of update, the same pivot counts and the same lines with all fifteen attributes."""

import math
import random

import pytest
from settings import Settings

from torvex import native
from torvex.dto.torvex import Torvex
from torvex.series import Series
from plain_series import PlainSeries

ATTRIBUTES = (
    "start_bar_index", "end_bar_index", "start_time", "end_time", "kerd_value",
    "kerd_accum_value", "snib_values", "close_avg_percent", "bar_crosses", "violated",
    "extended", "extend_end_bar_index", "bar_crosses_post_extend",
    "historical_extend_bar_crosses_checked", "post_extend_end_bar_index",
)
COLUMNS = ("close", "open", "high", "low", "time", "normal_high_snib", "normal_low_snib",
           "trending_high_snib", "trending_low_snib", "is_ma_trending")


def random_market(seed, bars):
    """A random walk whose pivot series report random levels near the price on random bars
    (from bar 10 on); some bars share their time with the bar before."""
    rng = random.Random(seed)
    market = {name: [] for name in COLUMNS}
    price, stamp = 100.0, 10_000
    for bar in range(bars):
        open_ = price * (1 + rng.uniform(-0.004, 0.004))
        close = price * (1 + rng.uniform(-0.02, 0.02))
        market["open"].append(open_)
        market["close"].append(close)
        market["high"].append(max(open_, close) * (1 + rng.uniform(0, 0.006)))
        market["low"].append(min(open_, close) * (1 - rng.uniform(0, 0.006)))
        stamp += 0 if rng.random() < 0.05 else 60
        market["time"].append(stamp)
        for name in ("normal_high_snib", "normal_low_snib", "trending_high_snib",
                     "trending_low_snib"):
            hit = rng.random() < 0.12 and bar >= 10  # pivots need their m bars
            market[name].append(price * (1 + rng.uniform(-0.015, 0.015)) if hit else math.nan)
        market["is_ma_trending"].append(1.0 if rng.random() < 0.4 else 0.0)
        price = close
    caps = [rng.uniform(0.5, 2.0) for _ in range(bars)]
    return market, caps


VARIANTS = {
    "body_reuse": {"only_body_cross": True, "allow_reuse_snib": True},
    "wicks_first_only": {"only_body_cross": False, "allow_reuse_snib": False},
    "tight": {"kerd_extend_bar_cross_threshold": 0, "bar_cross_threshold": 0,
                  "kerd_length_threshold": 20},
    "wide": {"kerd_overlap_ca_percent_multiplier": 2.0, "kerd_length_threshold": 400,
                 "bar_cross_threshold": 8, "allow_reuse_snib": True},
    "debug_window": {"debug": True, "debug_start_time": 12_000, "debug_end_time": 31_000,
                         "debug_start_price": 80.0, "debug_end_price": 100.0},
}


def settings_for(variant, bars):
    values = {"draw_from_recent": True, "bar_count_to_snib": bars // 4, "high_snib_n": 5,
                  "high_snib_m": 3, "low_snib_n": 5, "low_snib_m": 2, "high_snib_n_on_trend": 3,
                  "high_snib_m_on_trend": 1, "low_snib_n_on_trend": 3, "low_snib_m_on_trend": 3,
                  "kerd_length_threshold": 60, "kerd_overlap_ca_percent_multiplier": 0.5}
    values.update(VARIANTS[variant])
    return Settings(**values)


def run_python(market, caps, settings, make_series):
    bars = len(caps)
    if make_series == "package":
        series = {name: Series(market[name], visible=1) for name in COLUMNS}

        def advance():
            for s in series.values():
                s.advance()
    else:
        series = {name: PlainSeries(market[name], visible=1) for name in COLUMNS}

        def advance():
            for s in series.values():
                s.advance()
    kerds, vip, new = [], [], []
    engine = Torvex(settings, kerds, vip, new, [], series["normal_high_snib"],
                    series["normal_low_snib"], series["trending_high_snib"],
                    series["trending_low_snib"], {}, series["close"], series["open"],
                    series["high"], series["low"], 0, series["time"], bars - 1, 0.01)
    for bar in range(bars):
        if bar:
            advance()
        engine.bar_index = bar
        found = engine.update(series["is_ma_trending"], caps[bar])
        lines = [{name: getattr(k, name) for name in ATTRIBUTES} for k in kerds]
        yield found, lines, len(vip), len(new)
        for k in kerds:
            assert k.close is engine.close and k.time is engine.time


@pytest.mark.parametrize("variant", sorted(VARIANTS))
@pytest.mark.parametrize("seed", [1, 2])
def test_both_models_keep_the_same_lines_after_every_bar(variant, seed):
    bars = 360
    market, caps = random_market(seed, bars)
    expected = native.run_engine(market, settings_for(variant, bars), 0.01, caps)
    kinds = ["package", "plain"] if seed == 1 else ["package"]
    lines_seen = 0
    for kind in kinds:
        got = run_python(market, caps, settings_for(variant, bars), kind)
        for bar, ((found, lines, vip, new), want) in enumerate(zip(got, expected)):
            want_found, want_lines, want_vip, want_new = want
            assert (found, vip, new) == (want_found, want_vip, want_new), (kind, bar)
            assert len(lines) == len(want_lines), (kind, bar)
            for line, want_line in zip(lines, want_lines):
                assert line == {name: want_line[name] for name in ATTRIBUTES}, (kind, bar)
            lines_seen += len(lines)
    assert lines_seen > 0


def test_both_models_keep_the_same_lines_at_the_end_of_a_long_market():
    """20000 bars: the line work of the end window reaches far back into the series."""
    bars = 20_000

    def settings():
        s = settings_for("body_reuse", bars)
        s.bar_count_to_snib = 300
        return s

    market, caps = random_market(3, bars)
    expected = native.run_engine(market, settings(), 0.01, caps)
    lines_seen = 0
    for bar, ((found, lines, vip, new), want) in enumerate(
            zip(run_python(market, caps, settings(), "package"), expected)):
        want_found, want_lines, want_vip, want_new = want
        assert (found, vip, new) == (want_found, want_vip, want_new), bar
        assert [{name: line[name] for name in ATTRIBUTES} for line in want_lines] == lines, bar
        lines_seen += len(lines)
    assert lines_seen > 0


def test_the_batch_path_names_the_market_columns_it_reads():
    assert native.MARKET_COLUMNS == COLUMNS


@pytest.mark.parametrize("run, thresholds", [(native.run_engine, ()),
                                             (native.run_window_loop, (None,))])
@pytest.mark.parametrize("damage, column", [("drop", name) for name in COLUMNS]
                         + [("shorten", "time"), ("shorten", "is_ma_trending")])
def test_native_runs_reject_a_market_without_one_value_per_bar(run, thresholds, damage, column):
    market, caps = random_market(1, 20)
    if damage == "drop":
        del market[column]
    else:
        market[column].pop()
    # The market is read first: the settings and thresholds (None) are never reached.
    with pytest.raises(KeyError if damage == "drop" else ValueError) as raised:
        run(market, None, 0.01, caps, *thresholds)
    if damage == "drop":
        assert raised.value.args == (column,)
