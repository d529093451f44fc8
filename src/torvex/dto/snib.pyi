"""Pivot record."""

from typing import Any, SupportsIndex

from typing_extensions import disjoint_base

_Int = SupportsIndex | float

@disjoint_base
class Snib:
    """One confirmed pivot. Integer fields are signed 32-bit (floats truncate toward zero),
    booleans store the truth value of what is assigned; no other attribute can be added."""

    n: int
    m: int
    price: float
    close_at_pivot: float
    bar_index_at_pivot: int
    bar_time_at_pivot: int
    is_high: bool
    is_trending: bool
    used: bool
    close_avg_percent: float
    def __init__(
        self,
        n: _Int,
        m: _Int,
        price: float,
        close_at_pivot: float,
        bar_index_at_pivot: _Int,
        bar_time_at_pivot: _Int,
        is_high: object,
        is_trending: object,
        close_avg_percent: float,
        used: object = False,
    ) -> None: ...
    def copy(self) -> Snib: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...]) -> None: ...

def __pyx_unpickle_Snib(type: type[Snib], checksum: int, state: tuple[Any, ...] | None) -> Snib: ...
