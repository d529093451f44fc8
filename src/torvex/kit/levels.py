"""Support and resistance around a price (the nearest standing lines below and above it), and
levels as they are shown: rounded to the instrument's tick (`torvex.ticks`) in every printed or
written output, never in a run's own numbers."""

from __future__ import annotations

import math
from collections.abc import Iterable
from typing import NamedTuple

from torvex.ticks import decimals, round_to_tick

__all__ = ["Level", "decimals", "nearest_levels", "round_to_tick"]


class Level(NamedTuple):
    price: float
    pivots: int


def nearest_levels(
    lines: Iterable[tuple[float, bool, int]], price: float
) -> tuple[Level | None, Level | None]:
    """Among the unviolated lines, given as ``(level, violated, pivot_count)``: the highest at or
    below `price` (support) and the lowest above it (resistance), None where there is none.
    A NaN level never qualifies, nor does anything against a NaN price; the first line in
    order wins a tie."""
    support: Level | None = None
    resistance: Level | None = None
    if math.isnan(price):
        return None, None
    for level, violated, pivots in lines:
        if violated or math.isnan(level):
            continue
        if level <= price:
            if support is None or level > support.price:
                support = Level(level, pivots)
        elif resistance is None or level < resistance.price:
            resistance = Level(level, pivots)
    return support, resistance
