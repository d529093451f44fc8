"""Prices on an instrument's tick grid, as every printed or written output shows them (never in
a run's own numbers). A leaf: the kit, the scan and the report all use it."""

from __future__ import annotations

import math

__all__ = ["decimals", "round_to_tick"]


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
