"""The kit's host inputs (pivots, trend flag, average range) of each bar as it arrives, equal
bit for bit to `torvex.kit.host_inputs` over the whole columns."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .settings import Settings

__all__ = ["INPUT_NAMES", "bar_inputs"]

# one bar's inputs, in this order
INPUT_NAMES = (
    "normal_high_snib",
    "normal_low_snib",
    "trending_high_snib",
    "trending_low_snib",
    "is_ma_trending",
    "close_avg_percent",
)


def bar_inputs(settings: Settings) -> Any:
    """A fresh computation of the inputs bar by bar (`torvex.native.LiveInputs`, work per bar
    bounded by the settings' windows): ``add(high, low, close)`` gives the newest bar's six
    inputs as floats, in `INPUT_NAMES` order; ``copy()`` and pickling keep its place."""
    from torvex import native

    return native.LiveInputs(settings)
