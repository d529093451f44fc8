"""The live view on the native model (the data ends at each bar as it is stepped) equals the
Python model driven the same way: a Driver whose engine's last_bar_index is set to the bar
before every step. Lines are compared attribute by attribute, with their base values."""

import random

import numpy as np
import pytest

from test_native_run import random_bars, random_settings
from torvex import native
from torvex.kit import Settings, host_inputs, sample_bars
from torvex.kit.driver import Driver, EngineSeries, RunResult
from torvex.kit.native_path import run_native

LINE_KEYS = (
    "bar_index", "last_bar_index", "mintick", "start_bar_index", "end_bar_index", "start_time", "end_time", "kerd_value",
    "kerd_accum_value", "snib_values", "close_avg_percent", "bar_crosses", "violated",
    "extended", "extend_end_bar_index", "bar_crosses_post_extend",
    "historical_extend_bar_crosses_checked", "post_extend_end_bar_index")


def python_live(bars, settings):
    """The Python model with last_bar_index set to each bar before its step."""
    inputs = host_inputs(bars.high, bars.low, bars.close, settings)
    series = EngineSeries.preloaded(bars, inputs)
    driver = Driver(settings, series, 0)
    caps, dates = inputs.close_avg_percent.tolist(), bars.dates
    for bar in range(len(bars)):
        if bar:
            series.advance()
        driver.engine.last_bar_index = bar
        driver.step(bar, caps[bar], dates[bar])
    result = driver.finish(RunResult(bars=bars, settings=settings, inputs=inputs))
    lines = [{key: getattr(kerd, key) for key in LINE_KEYS} for kerd in driver.kerds]
    return result, lines


def native_live(bars, settings):
    inputs = host_inputs(bars.high, bars.low, bars.close, settings)
    signals, failures, lines, pivots = run_native(bars, settings, inputs, live=True)
    market = {name: np.asarray(getattr(inputs if hasattr(inputs, name) else bars, name),
                               dtype=float).tolist() for name in native.MARKET_COLUMNS}
    _, kerds, _ = native.run_history(market, settings, settings.mintick,
                                     inputs.close_avg_percent.tolist(), settings,
                                     settings.check_form, not settings.draw_from_recent, True)
    raw = [{key: kerd[key] for key in LINE_KEYS} for kerd in kerds]
    return (signals, failures, lines, pivots), raw


def assert_same_live(bars, settings):
    python, python_lines = python_live(bars, settings)
    (signals, failures, lines, pivots), native_lines = native_live(bars, settings)
    # repr compares floats exactly; times are whole numbers either way
    assert repr(signals) == repr(python.signals)
    assert repr(failures) == repr(python.failures)
    assert repr(lines) == repr(python.lines)
    assert repr(pivots) == repr(python.pivots)
    assert len(native_lines) == len(python_lines)
    for mine, theirs in zip(native_lines, python_lines):
        assert mine == {key: (list(v) if key == "snib_values" else v)
                        for key, v in theirs.items()}
    return python


CASES = [(seed, recent, form) for seed in (3, 11) for recent in (True, False) for form in (3, 1)]


@pytest.mark.parametrize("seed, draw_from_recent, check_form", CASES)
def test_live_view_equals_the_python_model_on_random_markets(seed, draw_from_recent, check_form):
    count = random.Random(seed).randrange(250, 450)
    settings = random_settings(seed, count, draw_from_recent, check_form)
    if draw_from_recent:
        settings.bar_count_to_snib = count // 5  # lines are pruned on every bar
    result = assert_same_live(random_bars(seed, count), settings)
    assert result.lines and result.pivots


def test_live_view_spreads_signals_over_the_history_where_the_end_view_has_them_at_its_end():
    bars = sample_bars()
    settings = Settings(bar_count_to_snib=200)
    result = assert_same_live(bars, settings)
    assert min(signal.bar for signal in result.signals) < len(bars) // 2
