"""Support and resistance around a price (the nearest standing lines below and above it), and
levels as they are shown: rounded to the instrument's tick in every printed or written output,
never in a run's own numbers."""

from __future__ import annotations

import math
from collections.abc import Iterable
from typing import NamedTuple

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


def decimals(tick: float) -> int:
    """Decimal places that show prices on a grid of `tick`."""
    digits = 0
    while digits < 8 and abs(round(tick, digits) - tick) > 1e-12:
        digits += 1
    return digits


def round_to_tick(level: float | None, tick: float) -> float | None:
    """`level` on the grid of `tick` (halves to the even neighbour, as the engine rounds),
    written with the tick's decimals; None and NaN stay as they are."""
    if level is None or not math.isfinite(level):
        return level
    return round(round(level / tick) * tick, decimals(tick))
