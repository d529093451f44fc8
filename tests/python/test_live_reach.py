"""In the live view with draw_from_recent, every rebuild is followed on the same bar by the
pruning that keeps only lines ending at or after bar - bar_count_to_snib. A processed pivot
whose own line is pruned and which the length test keeps from joining any kept line (its bar
lies more than kerd_length_threshold bars before the earliest kept end) can change no result:
dropping such pivots before each bar, on the Python model itself, changes no line, signal,
failure or reported pivot, over random markets and settings."""

import math
import random

import pytest

from test_native_live import python_live
from test_native_run import random_bars, random_settings
from torvex.kit import host_inputs
from torvex.kit.driver import Driver, EngineSeries, RunResult


def reaches_kept_lines(pivot_bar, bar, bar_count_to_snib, kerd_length_threshold, short=0):
    """Whether a pivot at pivot_bar can still start or join a line the pruning keeps (with
    `short`, a bound that many bars too short)."""
    if not pivot_bar + bar_count_to_snib < bar:
        return True  # its own line is kept
    # the length test of a join into the kept line with the earliest end
    return float(bar - bar_count_to_snib - pivot_bar) <= kerd_length_threshold - short


def python_live_dropping(bars, settings, short=0):
    """The Python model in the live view, the unreachable leading processed pivots taken out
    of the engine's list before each bar (and reported with the rest at the end)."""
    inputs = host_inputs(bars.high, bars.low, bars.close, settings)
    series = EngineSeries.preloaded(bars, inputs)
    driver = Driver(settings, series, 0)
    caps, dates, dropped = inputs.close_avg_percent.tolist(), bars.dates, []
    for bar in range(len(bars)):
        if bar:
            series.advance()
        snibs = driver.vip_snibs
        first = 0
        while first < len(snibs) and not reaches_kept_lines(
                snibs[first].bar_index_at_pivot, bar, settings.bar_count_to_snib,
                settings.kerd_length_threshold, short):
            first += 1
        dropped.extend(snibs[:first])
        del snibs[:first]
        driver.engine.last_bar_index = bar
        driver.step(bar, caps[bar], dates[bar])
    driver.vip_snibs[:0] = dropped
    return driver.finish(RunResult(bars=bars, settings=settings, inputs=inputs)), len(dropped)


def reach_settings(seed, count):
    rng = random.Random(seed)
    settings = random_settings(seed, count, True, rng.choice([1, 3]))
    settings.bar_count_to_snib = rng.choice([5, 20, count // 6, count // 3])
    settings.kerd_length_threshold = rng.choice([0, 3, 17, 40, 150, -5, math.inf])
    settings.high_snib_m_on_trend = rng.choice([0, 1, 6])  # pivots out of bar order
    settings.low_snib_m_on_trend = rng.choice([0, 2, 7])
    settings.trend_ma_length = rng.choice([5, 10])
    settings.trend_slope_percent = rng.choice([0.1, 0.5])
    return settings


@pytest.mark.parametrize("seed", range(16))
def test_dropping_unreachable_pivots_changes_nothing(seed):
    count = random.Random(seed).randrange(300, 500)
    bars, settings = random_bars(seed, count), reach_settings(seed, count)
    whole, _ = python_live(bars, settings)
    dropping, dropped = python_live_dropping(bars, settings)
    for name in ("lines", "signals", "failures", "pivots"):
        assert repr(getattr(dropping, name)) == repr(getattr(whole, name)), name
    if not math.isinf(settings.kerd_length_threshold) or settings.kerd_length_threshold < 0:
        assert dropped > 0


def test_a_bound_ten_bars_short_changes_results():
    """The test can fail: dropping pivots ten bars inside the bound changes some results."""
    changed = 0
    for seed in range(16):
        count = random.Random(seed).randrange(300, 500)
        bars, settings = random_bars(seed, count), reach_settings(seed, count)
        whole, _ = python_live(bars, settings)
        short, _ = python_live_dropping(bars, settings, short=10)
        changed += any(repr(getattr(short, name)) != repr(getattr(whole, name))
                       for name in ("lines", "signals", "failures"))
    assert changed > 0
