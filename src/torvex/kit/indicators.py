"""Host-side inputs of the engine, computed from plain OHLC arrays.

The engine does not find pivots, trends or volatility itself; a host hands them over per bar.
These functions compute them for a whole array at once, so that a bar-by-bar driver only has to
advance series over the results.

Pivot rule. A pivot high at bar ``p`` is reported on bar ``p + m`` (the engine takes the pivot
bar ``m`` bars back) when ``high[p]`` is strictly higher than each of the ``n`` bars before it
and at least as high as each of the ``m`` bars after it. With equal highs on a plateau only the
first bar of the plateau is a pivot: later bars of the plateau are not strictly higher than the
first, and the first is not beaten by the equal ones after it. A pivot needs its whole window:
no pivot in the first ``n`` bars, none reported before bar ``n + m``. Lows are the mirror image
(strictly lower than the bars before, at most as low as the bars after).

Trend rule. The trend flag of bar ``t`` is true when the simple moving average of the closes
over ``trend_ma_length`` bars has moved, up or down, by at least ``trend_slope_percent`` percent
of its value ``trend_slope_bars`` bars earlier. Bars before both averages exist are not trending.

Average range. ``close_avg_percent`` of bar ``t`` is the mean of ``(high - low) / close * 100``
over the last ``close_avg_length`` bars up to and including ``t``; the first bars average what
there is so far, so every bar has a value.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray

    from .settings import Settings

__all__ = [
    "pivot_highs",
    "pivot_lows",
    "trend_flags",
    "close_avg_percent",
    "HostInputs",
    "bars_for_a_pivot",
    "host_inputs",
]


def _as_prices(values: ArrayLike) -> NDArray[np.float64]:
    array = np.asarray(values, dtype=np.float64)
    if array.ndim != 1:
        raise ValueError("expected a one-dimensional array of prices")
    return array


def _check_window(name: str, value: int) -> None:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 0:
        raise ValueError(f"{name} must be a whole number >= 0, got {value!r}")


def _window_max(values: NDArray[np.float64], width: int) -> NDArray[np.float64]:
    """Maximum of each full window of `width` values (window i covers values[i : i + width]).
    One elementwise pass per offset: much cheaper than a strided view for the short windows
    of pivots, and for short arrays, where a bar-by-bar host calls this on every bar."""
    count = len(values) - width + 1
    result = values[:count].copy()
    for k in range(1, width):
        np.maximum(result, values[k : k + count], out=result)
    return result


def _pivots(values: NDArray[np.float64], n: int, m: int) -> NDArray[np.float64]:
    """Pivot highs of `values`; lows are the pivot highs of the negated values."""
    _check_window("n", n)
    _check_window("m", m)
    count = len(values)
    reported = np.full(count, np.nan)
    if count < n + m + 1:
        return reported
    bars = np.arange(n, count - m)
    keep = np.ones(len(bars), dtype=bool)
    if n:
        # window i covers values[i : i + n]; the bars before pivot p start at p - n
        before = _window_max(values, n)
        keep &= values[bars] > before[bars - n]
    if m:
        after = _window_max(values, m)
        keep &= values[bars] >= after[bars + 1]
    pivots = bars[keep]
    reported[pivots + m] = values[pivots]
    return reported


def pivot_highs(high: ArrayLike, n: int, m: int) -> NDArray[np.float64]:
    """Per bar, the high of the pivot reported on that bar (the pivot lies `m` bars back), or
    NaN when none is."""
    return _pivots(_as_prices(high), n, m)


def pivot_lows(low: ArrayLike, n: int, m: int) -> NDArray[np.float64]:
    """Per bar, the low of the pivot low reported on that bar, or NaN."""
    return -_pivots(-_as_prices(low), n, m)


def _rolling_mean(values: NDArray[np.float64], length: int) -> NDArray[np.float64]:
    """Mean of each full window of `length` values ending at a bar; NaN before the first."""
    means = np.full(len(values), np.nan)
    if len(values) >= length:
        # each window summed on its own: no drift from a running sum over long series
        means[length - 1 :] = sliding_window_view(values, length).mean(axis=1)
    return means


def trend_flags(
    close: ArrayLike, ma_length: int = 50, slope_bars: int = 10, slope_percent: float = 2.0
) -> NDArray[np.bool_]:
    """Per bar, whether the moving average of the closes moved at least `slope_percent`
    percent over the last `slope_bars` bars."""
    if ma_length < 1 or slope_bars < 1:
        raise ValueError("ma_length and slope_bars must be at least 1")
    prices = _as_prices(close)
    average = _rolling_mean(prices, ma_length)
    flags = np.zeros(len(prices), dtype=bool)
    if len(prices) > slope_bars:
        now, then = average[slope_bars:], average[:-slope_bars]
        with np.errstate(invalid="ignore"):
            # NaN (no average yet) compares false
            flags[slope_bars:] = np.abs(now - then) * 100.0 >= slope_percent * np.abs(then)
    return flags


def close_avg_percent(
    high: ArrayLike, low: ArrayLike, close: ArrayLike, length: int = 14
) -> NDArray[np.float64]:
    """Per bar, the mean bar range in percent of the close over the last `length` bars."""
    if length < 1:
        raise ValueError("length must be at least 1")
    h, lo, c = _as_prices(high), _as_prices(low), _as_prices(close)
    if not len(h) == len(lo) == len(c):
        raise ValueError("high, low and close must have the same length")
    ranges = (h - lo) / c * 100.0
    result = _rolling_mean(ranges, length)
    warmup = min(length - 1, len(ranges))
    result[:warmup] = np.cumsum(ranges[:warmup]) / np.arange(1, warmup + 1)
    return result


@dataclass(frozen=True)
class HostInputs:
    """The per-bar inputs a host hands the engine, one array each, one element per bar."""

    normal_high_snib: NDArray[np.float64]
    normal_low_snib: NDArray[np.float64]
    trending_high_snib: NDArray[np.float64]
    trending_low_snib: NDArray[np.float64]
    is_ma_trending: NDArray[np.bool_]
    close_avg_percent: NDArray[np.float64]


def host_inputs(
    high: ArrayLike, low: ArrayLike, close: ArrayLike, settings: Settings
) -> HostInputs:
    """All host-side inputs for the bars, with the windows and lengths of `settings`."""
    s = settings
    return HostInputs(
        normal_high_snib=pivot_highs(high, s.high_snib_n, s.high_snib_m),
        normal_low_snib=pivot_lows(low, s.low_snib_n, s.low_snib_m),
        trending_high_snib=pivot_highs(high, s.high_snib_n_on_trend, s.high_snib_m_on_trend),
        trending_low_snib=pivot_lows(low, s.low_snib_n_on_trend, s.low_snib_m_on_trend),
        is_ma_trending=trend_flags(
            close, s.trend_ma_length, s.trend_slope_bars, s.trend_slope_percent
        ),
        close_avg_percent=close_avg_percent(high, low, close, s.close_avg_length),
    )


def bars_for_a_pivot(settings: Settings) -> int:
    """The fewest bars in which these settings can report any pivot: a normal one needs its
    whole window (`n` bars before, the pivot, `m` after); a trending one also needs a trend
    flag at its bar, which needs `trend_ma_length + trend_slope_bars` bars up to it."""
    s = settings
    trend = s.trend_ma_length + s.trend_slope_bars - 1  # the first bar a flag can be set on
    return min(
        s.high_snib_n + s.high_snib_m + 1,
        s.low_snib_n + s.low_snib_m + 1,
        max(s.high_snib_n_on_trend, trend) + s.high_snib_m_on_trend + 1,
        max(s.low_snib_n_on_trend, trend) + s.low_snib_m_on_trend + 1,
    )
