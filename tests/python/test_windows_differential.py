"""A host's full window loop (update, update_mavet, a check form, the commit of each signal) on
the host's objects through torvex.dto.torvex and on the native model through torvex.native
gives the same windows after every bar, the same result on every bar and the same commits, over
random markets and thresholds.

Prices sit on a coarse grid so that closes and lows often meet a level exactly."""

import random
import types

import pytest
from settings import Settings

from torvex import native
from torvex.kit.settings import WINDOW_SETTINGS
from torvex.dto.torvex import Torvex
from torvex.series import Series
from plain_series import PlainSeries
from plain_series import plain_pivots as pivots


def random_case(seed):
    rng = random.Random(seed)
    bars = rng.randrange(120, 220)
    grid = rng.choice([0.25, 0.5])
    price = 20.0
    close, open_, high, low = [], [], [], []
    for _ in range(bars):
        o = price + rng.choice([-1, 0, 0, 1]) * grid
        c = min(max(price + rng.randint(-3, 3) * grid, 12.0), 28.0)
        close.append(c)
        open_.append(o)
        high.append(max(o, c) + rng.randint(0, 2) * grid)
        low.append(min(o, c) - rng.randint(0, 2) * grid)
        price = c
    market = {
        "close": close, "open": open_, "high": high, "low": low,
        "time": [1000 + i for i in range(bars)],
        "normal_high_snib": pivots(high, 3, 3, 1.0), "normal_low_snib": pivots(low, 3, 3, -1.0),
        "trending_high_snib": pivots(high, 2, 1, 1.0), "trending_low_snib": pivots(low, 2, 1, -1.0),
        "is_ma_trending": [float(rng.random() < 0.3) for _ in range(bars)]}
    settings = Settings(
        draw_from_recent=True, bar_count_to_snib=bars, high_snib_n=3, high_snib_m=3,
        low_snib_n=3, low_snib_m=3, high_snib_n_on_trend=2, high_snib_m_on_trend=1,
        low_snib_n_on_trend=2, low_snib_m_on_trend=1, only_body_cross=rng.random() < 0.5,
        kerd_extend_bar_cross_threshold=rng.choice([1, 2, 3, 2.5]),
        allow_reuse_snib=rng.random() < 0.5, kerd_overlap_ca_percent_multiplier=0.5,
        bar_cross_threshold=3, last_snib_weight=3, second_last_snib_weight=2, snib_weight=1,
        kerd_length_threshold=rng.choice([40, 120]))
    thresholds = types.SimpleNamespace(
        trap_recover_window_threshold=rng.choice([2, 3, 5, 4.5]),
        search_range=rng.choice([0, 1, 3, 5]),
        low_above_kerd_threshold=rng.choice([0, 0.5, 1]),
        close_above_kerd_threshold=rng.choice([0, 0.2, 0.5]),
        signal_window=rng.choice([0, 3, 10]),
        close_above_low_threshold=rng.choice([0, 0.5]),
        close_above_recover_low_threshold=rng.choice([0, 0.5, 1]),
        bar_count_close_above_kerd_threshold=rng.choice([0, 1, 3]),
        vvip_kerd_min_snib_count=rng.choice([1, 2, 3]))
    cap = [rng.choice([1.0, 2.5, 4.0]) for _ in range(bars)]
    mintick = rng.choice([0.01, 0.25])
    return market, settings, mintick, cap, thresholds


def window(w):
    return (w.break_kerd_at_price, w.break_kerd_at_bar_index, w.recover_at_bar_index,
            w.break_kerd_extend_bar_cross, w.bar_count_close_above_kerd, w.vip_snib_count,
            w.recovered)


def maybe_window(w):
    return None if w is None else window(w)


def first_form_result(r):
    return (r.has_signal, r.close_above_low_and_kerd, r.violate_extend_bar_cross,
            r.violate_recover_window, r.violate_signal_window,
            r.violate_search_range_close_above_bar_count, maybe_window(r.mavet))


def third_form_result(r):
    f, s = r.failure, r.success
    failure = None if f is None else (
        f.close_above_low_and_kerd, f.violate_extend_bar_cross, f.violate_recover_window,
        f.violate_signal_window, f.violate_search_range_close_above_bar_count,
        maybe_window(f.mavet))
    success = None if s is None else (s.has_signal, s.is_vvip_signal, maybe_window(s.mavet))
    return failure, success


def host_loop(market, settings, mintick, cap, t, form, kind, all_bars=False, live=False):
    """The loop as a Python host writes it; with all_bars the host also does the line work; live,
    the live view: last_bar_index is each bar itself."""
    make = Series if kind == "package" else PlainSeries
    series = [make(market[name], visible=1) for name in native.MARKET_COLUMNS]
    close, open_, high, low, times, nh, nl, th, tl, trend = series
    mavets, latest = [], {}
    bars = len(cap)
    engine = Torvex(settings, [], [], [], mavets, nh, nl, th, tl, latest, close, open_, high, low,
                    0, times, 0 if live else bars - 1, mintick)
    out = []
    for bar in range(bars):
        for s in series:
            if kind == "package":
                s.advance(1 if bar else 0)
            else:
                s.current = bar
        engine.bar_index = bar
        if live:
            engine.last_bar_index = bar
        found = engine.update(trend, cap[bar])
        if all_bars:
            if found:
                engine.add_new_snibs_to_processed_array()
                engine.rebuild_kerd_from_most_recent_snib(cap[bar])
            engine.extend_kerd_to_first_cross()
        if bar >= max(t.search_range, 1):
            engine.update_mavet(t.trap_recover_window_threshold, t.search_range,
                                t.low_above_kerd_threshold, cap[bar])
        result = None
        if mavets:
            if form == 1:
                result = first_form_result(engine.check_mavet(
                    cap[bar], t.close_above_kerd_threshold, t.trap_recover_window_threshold,
                    t.signal_window, t.close_above_low_threshold,
                    t.bar_count_close_above_kerd_threshold))
            else:
                r = engine.check_mavet_v3(
                    cap[bar], t.close_above_kerd_threshold, t.trap_recover_window_threshold,
                    t.signal_window, t.close_above_low_threshold,
                    t.close_above_recover_low_threshold, t.bar_count_close_above_kerd_threshold,
                    t.vvip_kerd_min_snib_count)
                if r.is_kerd_satisfied():
                    engine.commit_latest_mavet(r.success.mavet.break_kerd_at_price)
                result = third_form_result(r)
        out.append((result, [window(w) for w in mavets]))
    return out, latest


CASES = [(seed, form, "package", False) for seed in range(30) for form in (1, 3)] + [
    (seed, 3, "plain", False) for seed in range(30, 36)] + [
    (seed, 3, "package", True) for seed in range(40, 56)] + [
    (seed, 1, "plain", True) for seed in range(56, 60)]


@pytest.mark.parametrize("seed, form, kind, all_bars", CASES)
def test_both_models_agree_on_every_bar(seed, form, kind, all_bars):
    market, settings, mintick, cap, t = random_case(seed)
    if all_bars:  # the host's own line work, mostly without update's
        settings.draw_from_recent = seed % 4 == 0
    expected_bars, expected_latest = native.run_window_loop(market, settings, mintick, cap, t,
                                                            form, all_bars=all_bars)
    bars, latest = host_loop(market, settings, mintick, cap, t, form, kind, all_bars)
    assert len(bars) == len(expected_bars)
    for bar, (got, want) in enumerate(zip(bars, expected_bars)):
        # repr too: == takes True for 1 and 0.0 for -0.0, and tuples shared between bars must
        # not stand for a value that merely compares equal
        assert got == want and repr(got) == repr(want), f"bar {bar}"
    assert latest == expected_latest


def test_the_random_markets_exercise_the_windows():
    """Across the cases there are signals, failures of each rule and re-tracked recoveries,
    so the comparison above covers the paths it is meant to."""
    seen = set()
    for seed in range(30):
        market, settings, mintick, cap, t = random_case(seed)
        bars, latest = native.run_window_loop(market, settings, mintick, cap, t, 3)
        for result, windows in bars:
            if result is None:
                continue
            failure, success = result
            if success is not None:
                seen.add("success")
                seen.add("vvip" if success[1] else "non-vvip")
            if failure is not None:
                seen.update(name for name, flag in zip(
                    ["extend", "recover", "signal", "search"], failure[1:5]) if flag)
        if latest:
            seen.add("committed")
    assert seen >= {"success", "vvip", "non-vvip", "extend", "recover", "signal", "search",
                    "committed"}


class RecordingThresholds:
    """A host's thresholds object that records each attribute read."""

    def __init__(self, values):
        self.values, self.reads = values, []

    def __getattr__(self, name):
        self.reads.append(name)
        return self.values[name]


@pytest.mark.parametrize("run", [native.run_window_loop, native.run_history])
def test_the_native_loops_read_each_threshold_once_in_table_order(run):
    market, settings, mintick, cap, t = random_case(3)
    thresholds = RecordingThresholds(vars(t))
    run(market, settings, mintick, cap, thresholds)
    assert thresholds.reads == list(native.WINDOW_THRESHOLDS)
    # the kit passes its window settings as the thresholds: the same names
    assert sorted(WINDOW_SETTINGS) == sorted(native.WINDOW_THRESHOLDS)
