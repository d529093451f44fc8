"""Support and resistance around a price: the nearest standing lines below and above it."""

from __future__ import annotations

import math
from collections.abc import Iterable
from typing import NamedTuple

__all__ = ["Level", "nearest_levels"]


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
