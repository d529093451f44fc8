"""native.LiveInputs gives, bar by bar, exactly what the kit's whole-column input functions
give at that bar: bit for bit, over windows short and long (numpy sums a window of more than
8 values, and of more than 128, in other orders), plateaus of equal prices, and through
copies and pickles."""

import pickle
import random
import types

import numpy as np
import pytest

from torvex import native
from torvex.kit import Settings, host_inputs
from torvex.bt.inputs import INPUT_NAMES


def random_prices(seed, count):
    """Closes, highs and lows on a coarse grid (equal highs make plateaus) at a random scale,
    with ranges of very different sizes, so that window sums round."""
    rng = np.random.default_rng(seed)
    scale = 10.0 ** rng.uniform(-3, 4)
    close = scale * (50 + np.cumsum(rng.choice([-2, -1, 0, 1, 2], count)) * 0.25)
    close = np.abs(close) + scale * 0.25 + rng.standard_normal(count) * scale * 1e-3
    spread = scale * np.abs(rng.standard_normal((2, count))) * 10.0 ** rng.uniform(-4, 0, count)
    return close + np.round(spread[0], 2), close - np.round(spread[1], 2), close


def input_settings(seed):
    rng = random.Random(seed)
    return Settings(
        high_snib_n=rng.choice([0, 1, 3, 9]), high_snib_m=rng.choice([0, 1, 2, 5]),
        low_snib_n=rng.choice([0, 2, 5, 12]), low_snib_m=rng.choice([0, 1, 4]),
        high_snib_n_on_trend=rng.choice([1, 5]), high_snib_m_on_trend=rng.choice([0, 3]),
        low_snib_n_on_trend=rng.choice([1, 5]), low_snib_m_on_trend=rng.choice([0, 3]),
        trend_ma_length=rng.choice([1, 7, 8, 9, 50, 128, 129, 200, 300]),
        trend_slope_bars=rng.choice([1, 3, 10, 40]),
        trend_slope_percent=rng.choice([0.0, 0.01, 0.5, 2.0]),
        close_avg_length=rng.choice([1, 2, 8, 9, 14, 128, 129, 257]))


def streamed(inputs, high, low, close):
    rows = [inputs.add(h, lo, c) for h, lo, c in zip(high.tolist(), low.tolist(), close.tolist())]
    return np.array(rows, dtype=np.float64).reshape(len(rows), len(INPUT_NAMES))


def assert_bits_equal(rows, whole, start=0):
    for i, name in enumerate(INPUT_NAMES):
        expected = getattr(whole, name).astype(np.float64)[start:]
        got = rows[:, i]
        # the same bits: NaN with its sign, zeros with theirs
        mismatch = np.flatnonzero(got.view(np.int64) != expected.view(np.int64))
        assert mismatch.size == 0, (name, start + mismatch[:5], got[mismatch[:5]],
                                    expected[mismatch[:5]])


@pytest.mark.parametrize("seed", range(24))
def test_bar_by_bar_equals_the_whole_columns_bit_for_bit(seed):
    count = 400 + 40 * seed
    high, low, close = random_prices(seed, count)
    settings = input_settings(seed)
    rows = streamed(native.LiveInputs(settings), high, low, close)
    assert_bits_equal(rows, host_inputs(high, low, close, settings))


def test_the_random_cases_reach_pivots_trends_and_long_windows():
    pivots = trends = 0
    for seed in range(24):
        high, low, close = random_prices(seed, 400 + 40 * seed)
        whole = host_inputs(high, low, close, input_settings(seed))
        pivots += int(np.isfinite(whole.normal_high_snib).sum() > 0)
        trends += int(whole.is_ma_trending.any())
    lengths = {input_settings(seed).trend_ma_length for seed in range(24)}
    assert pivots >= 20 and trends >= 20 and max(lengths) > 128


@pytest.mark.parametrize("seed", range(4))
def test_copies_and_pickles_continue_exactly(seed):
    high, low, close = random_prices(seed, 700)
    settings = input_settings(seed + 100)
    whole = host_inputs(high, low, close, settings)
    inputs = native.LiveInputs(settings)
    half = 350
    streamed(inputs, high[:half], low[:half], close[:half])
    copy, restored = inputs.copy(), pickle.loads(pickle.dumps(inputs))
    assert restored.bars == copy.bars == half
    for one in (inputs, copy, restored):
        assert_bits_equal(streamed(one, high[half:], low[half:], close[half:]), whole, half)


def test_prices_that_are_not_finite_give_what_the_whole_columns_give():
    high, low, close = random_prices(7, 300)
    for array, at, value in ((high, 40, np.nan), (low, 90, np.inf), (close, 150, np.nan),
                             (close, 200, 0.0), (low, 260, -np.inf)):
        array[at] = value
    settings = input_settings(7).replace(trend_ma_length=20, close_avg_length=9)
    rows = streamed(native.LiveInputs(settings), high, low, close)
    whole = host_inputs(high, low, close, settings)
    for i, name in enumerate(INPUT_NAMES):
        np.testing.assert_array_equal(rows[:, i], getattr(whole, name).astype(np.float64))


@pytest.mark.parametrize("name, value", [("high_snib_n", -1), ("low_snib_m_on_trend", -2),
                                         ("trend_ma_length", 0), ("trend_slope_bars", 0),
                                         ("close_avg_length", 0)])
def test_windows_the_whole_columns_refuse_are_refused(name, value):
    settings = types.SimpleNamespace(**Settings().as_dict())
    setattr(settings, name, value)
    with pytest.raises(ValueError, match=name):
        native.LiveInputs(settings)


@pytest.mark.parametrize("state", [b"", b"LiveInputs/1", b"\x00" * 64])
def test_a_damaged_state_is_a_value_error(state):
    inputs = native.LiveInputs(Settings())
    inputs.add(10.0, 9.0, 9.5)
    blob = pickle.dumps(inputs)
    good = inputs.__reduce__()[1][0]
    for bad in (state, good[:-1], good + b"\x00", good[:40] + b"\xff" * (len(good) - 40)):
        with pytest.raises(ValueError) as error:  # a cut blob, or one no inputs could leave
            native.LiveInputs._from_state(bad)
        assert "\n" not in str(error.value)
    assert pickle.loads(blob).bars == 1
