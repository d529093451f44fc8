"""The kit's host inputs (pivots, trend flags, average range) as backtrader bars arrive.

A preloaded feed has every bar up front: the inputs are computed once over the whole columns,
exactly as `torvex.kit.run` computes them. A feed that is not preloaded (or a live one) gives
one bar at a time: every input of a bar depends only on a bounded number of bars up to it, so
the same functions run over that many trailing bars and the newest value is taken, which is
the very value the whole-column computation gives for that bar.
"""

from __future__ import annotations

from collections import deque
from typing import TYPE_CHECKING

import numpy as np

from torvex.kit.indicators import HostInputs, host_inputs

if TYPE_CHECKING:
    from torvex.kit.settings import Settings

__all__ = ["INPUT_NAMES", "BarInputs", "WholeInputs", "TrailingInputs", "input_span"]

# one bar's inputs, in this order
INPUT_NAMES = (
    "normal_high_snib",
    "normal_low_snib",
    "trending_high_snib",
    "trending_low_snib",
    "is_ma_trending",
    "close_avg_percent",
)
BarInputs = tuple[float, float, float, float, float, float]


def input_span(settings: Settings) -> int:
    """How many bars, the newest included, decide every input of the newest bar: a pivot's
    window (n bars before, m after), the two moving averages of the trend slope, the average
    range's window."""
    s = settings
    return max(
        s.high_snib_n + s.high_snib_m + 1,
        s.low_snib_n + s.low_snib_m + 1,
        s.high_snib_n_on_trend + s.high_snib_m_on_trend + 1,
        s.low_snib_n_on_trend + s.low_snib_m_on_trend + 1,
        s.trend_ma_length + s.trend_slope_bars,
        s.close_avg_length,
    )


class WholeInputs:
    """Inputs of every bar of a preloaded feed, computed once."""

    def __init__(self, high: np.ndarray, low: np.ndarray, close: np.ndarray, settings: Settings):
        self._inputs = host_inputs(high, low, close, settings)
        columns = [getattr(self._inputs, name).astype(np.float64).tolist() for name in INPUT_NAMES]
        self._rows = list(zip(*columns))

    def at(self, bar: int, high: float, low: float, close: float) -> BarInputs:
        return self._rows[bar]  # type: ignore[no-any-return]

    def inputs(self, count: int) -> HostInputs:
        """The inputs of the first `count` bars."""
        return HostInputs(*(getattr(self._inputs, name)[:count] for name in INPUT_NAMES))


class TrailingInputs:
    """Inputs bar by bar from the trailing bars; `at` must see every bar once, in order."""

    def __init__(self, settings: Settings) -> None:
        self._settings = settings
        span = input_span(settings)
        self._high: deque[float] = deque(maxlen=span)
        self._low: deque[float] = deque(maxlen=span)
        self._close: deque[float] = deque(maxlen=span)
        self._seen: list[BarInputs] = []

    def at(self, bar: int, high: float, low: float, close: float) -> BarInputs:
        if bar != len(self._seen):
            raise ValueError(f"bar {bar} arrived after {len(self._seen)} bars")
        self._high.append(high)
        self._low.append(low)
        self._close.append(close)
        latest = host_inputs(
            np.array(self._high), np.array(self._low), np.array(self._close), self._settings
        )
        row: BarInputs = tuple(  # type: ignore[assignment]
            float(getattr(latest, name)[-1]) for name in INPUT_NAMES
        )
        self._seen.append(row)
        return row

    def inputs(self, count: int) -> HostInputs:
        columns = list(zip(*self._seen[:count])) or [()] * len(INPUT_NAMES)
        arrays = [np.array(column, dtype=np.float64) for column in columns]
        arrays[4] = arrays[4].astype(bool)
        return HostInputs(*arrays)
