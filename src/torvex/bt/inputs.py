"""The kit's host inputs (pivots, trend flags, average range) as backtrader bars arrive, for
the end view.

A preloaded feed has every bar up front: the inputs are computed once over the whole columns,
exactly as `torvex.kit.run` computes them. A feed that is not preloaded (or a live one) gives
one bar at a time: `torvex.kit.bar_inputs` computes each bar's inputs as it arrives, with work
bounded by the settings' windows, equal bit for bit to the whole-column computation.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from torvex.kit.bar_inputs import INPUT_NAMES, bar_inputs
from torvex.kit.indicators import HostInputs, host_inputs

if TYPE_CHECKING:
    from torvex.kit.settings import Settings

__all__ = ["BarInputs", "WholeInputs", "TrailingInputs"]

BarInputs = tuple[float, float, float, float, float, float]


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
    """Inputs bar by bar as the bars arrive; `at` must see every bar once, in order."""

    def __init__(self, settings: Settings) -> None:
        self._live = bar_inputs(settings)
        self._seen: list[BarInputs] = []

    def at(self, bar: int, high: float, low: float, close: float) -> BarInputs:
        if bar != len(self._seen):
            raise ValueError(f"bar {bar} arrived after {len(self._seen)} bars")
        row: BarInputs = self._live.add(high, low, close)
        self._seen.append(row)
        return row

    def inputs(self, count: int) -> HostInputs:
        columns = list(zip(*self._seen[:count])) or [()] * len(INPUT_NAMES)
        arrays = [np.array(column, dtype=np.float64) for column in columns]
        arrays[4] = arrays[4].astype(bool)
        return HostInputs(*arrays)
