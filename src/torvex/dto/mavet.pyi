"""Window record and window check results."""

from typing import Any, SupportsIndex

from typing_extensions import disjoint_base

_Int = SupportsIndex | float

@disjoint_base
class Mavet:
    """One break of a line and its recovery; `recover_at_bar_index` is -1 while none is known."""

    break_kerd_at_price: float
    break_kerd_at_bar_index: int
    recover_at_bar_index: int
    break_kerd_extend_bar_cross: int
    bar_count_close_above_kerd: int
    vip_snib_count: int
    recovered: bool
    def __init__(
        self,
        break_kerd_at_price: float,
        break_kerd_at_bar_index: _Int,
        recover_at_bar_index: _Int | None = None,
        break_kerd_extend_bar_cross: _Int = 0,
        bar_count_close_above_kerd: _Int = 0,
        vip_snib_count: _Int = 0,
    ) -> None: ...
    def copy(self) -> Mavet: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...]) -> None: ...

@disjoint_base
class MavetResult:
    """Result of the first window check form."""

    has_signal: bool
    close_above_low_and_kerd: bool
    violate_extend_bar_cross: bool
    violate_recover_window: bool
    violate_signal_window: bool
    violate_search_range_close_above_bar_count: bool
    mavet: Mavet | None
    def __init__(
        self,
        has_signal: object = False,
        close_above_low_and_kerd: object = False,
        violate_extend_bar_cross: object = False,
        violate_recover_window: object = False,
        violate_signal_window: object = False,
        violate_search_range_close_above_bar_count: object = False,
        mavet: Mavet | None = None,
    ) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...]) -> None: ...

@disjoint_base
class MavetFailure:
    """A window that recovered on this bar but failed a validation."""

    close_above_low_and_kerd: bool
    violate_extend_bar_cross: bool
    violate_recover_window: bool
    violate_signal_window: bool
    violate_search_range_close_above_bar_count: bool
    mavet: Mavet | None
    def __init__(
        self,
        close_above_low_and_kerd: object = False,
        violate_extend_bar_cross: object = False,
        violate_recover_window: object = False,
        violate_signal_window: object = False,
        violate_search_range_close_above_bar_count: object = False,
        mavet: Mavet | None = None,
    ) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...]) -> None: ...

@disjoint_base
class MavetSuccess:
    """A window that recovered on this bar and passed every validation."""

    has_signal: bool
    is_vvip_signal: bool
    signal_debug_line: Any
    mavet: Mavet | None
    def __init__(
        self,
        has_signal: object = False,
        is_vvip_signal: object = False,
        signal_debug_line: Any = None,
        mavet: Mavet | None = None,
    ) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...]) -> None: ...

@disjoint_base
class MavetResultV2:
    """Result of the third window check form: at most one failure and one success."""

    failure: MavetFailure | None
    success: MavetSuccess | None
    def __init__(
        self, failure: MavetFailure | None = None, success: MavetSuccess | None = None
    ) -> None: ...
    def recovery_succeeded(self) -> bool: ...
    def recovery_failed(self) -> bool: ...
    def recovery_has_result(self) -> bool: ...
    def no_signal_but_close_above(self) -> bool: ...
    def is_kerd_satisfied(self) -> bool: ...
    def is_vvip_signal(self) -> bool: ...
    def is_non_vvip_signal(self) -> bool: ...
    def violate_extended_bar_cross(self) -> bool: ...
    def violate_search_range_close_above_bar_count(self) -> bool: ...
    def violate_recover_window(self) -> bool: ...
    def violate_signal_window(self) -> bool: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...]) -> None: ...

@disjoint_base
class FlatternMavetResultV2:
    """A `MavetResultV2` flattened into plain values."""

    break_kerd_at_price: float
    is_kerd_satisfied: bool
    is_vvip_signal: bool
    is_non_vvip_signal: bool
    no_signal_but_close_above: bool
    violate_extended_bar_cross: bool
    violate_search_range_close_above_bar_count: bool
    violate_recover_window: bool
    violate_signal_window: bool
    def __init__(
        self,
        break_kerd_at_price: float = -1,
        is_kerd_satisfied: object = False,
        is_vvip_signal: object = False,
        is_non_vvip_signal: object = False,
        no_signal_but_close_above: object = False,
        violate_extended_bar_cross: object = False,
        violate_search_range_close_above_bar_count: object = False,
        violate_recover_window: object = False,
        violate_signal_window: object = False,
    ) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...]) -> None: ...

def from_mavet_result_v2(result: MavetResultV2) -> FlatternMavetResultV2: ...
def __pyx_unpickle_Mavet(
    type: type[Mavet], checksum: int, state: tuple[Any, ...] | None
) -> Mavet: ...
def __pyx_unpickle_MavetResult(
    type: type[MavetResult], checksum: int, state: tuple[Any, ...] | None
) -> MavetResult: ...
def __pyx_unpickle_MavetFailure(
    type: type[MavetFailure], checksum: int, state: tuple[Any, ...] | None
) -> MavetFailure: ...
def __pyx_unpickle_MavetSuccess(
    type: type[MavetSuccess], checksum: int, state: tuple[Any, ...] | None
) -> MavetSuccess: ...
def __pyx_unpickle_MavetResultV2(
    type: type[MavetResultV2], checksum: int, state: tuple[Any, ...] | None
) -> MavetResultV2: ...
def __pyx_unpickle_FlatternMavetResultV2(
    type: type[FlatternMavetResultV2], checksum: int, state: tuple[Any, ...] | None
) -> FlatternMavetResultV2: ...
