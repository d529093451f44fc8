"""Price lines."""

from typing import Any, MutableSequence, Sequence

# At run time `Kerd` derives from the host's indicators.common.base_indicator.BaseIndicator and
# keeps an instance dictionary: the attributes below are plain, untyped-at-run-time attributes,
# and a host may add its own.

class Kerd:
    # base values, shared with the engine
    close: Any
    open: Any
    high: Any
    low: Any
    bar_index: int
    time: Any
    last_bar_index: int
    mintick: float
    # the line
    start_bar_index: int
    end_bar_index: int
    start_time: int
    end_time: int
    kerd_value: float
    kerd_accum_value: float
    snib_values: list[float]
    close_avg_percent: float
    bar_crosses: int
    violated: bool
    extended: bool
    extend_end_bar_index: int
    bar_crosses_post_extend: int
    historical_extend_bar_crosses_checked: bool
    post_extend_end_bar_index: int
    def __init__(
        self,
        close: Any,
        open: Any,
        high: Any,
        low: Any,
        bar_index: int,
        time: Any,
        last_bar_index: int,
        mintick: float,
        start_bar_index: int,
        end_bar_index: int,
        start_time: int,
        end_time: int,
        kerd_value: float,
        kerd_accum_value: float,
        snib_values: list[float],
        close_avg_percent: float,
        bar_crosses: int = 0,
        violated: bool = False,
        extended: bool = False,
        extend_end_bar_index: int = 0,
        bar_crosses_post_extend: int = 0,
        historical_extend_bar_crosses_checked: bool = False,
        post_extend_end_bar_index: int = 0,
    ) -> None: ...
    def round_to_mintick(self, price: float) -> float: ...
    def not_equal(self, target: Kerd) -> bool: ...
    def update_kerd_value(
        self, last_snib_weight: float, second_last_snib_weight: float, snib_weight: float
    ) -> None: ...
    def merge(
        self,
        target: Kerd,
        last_snib_weight: float,
        second_last_snib_weight: float,
        snib_weight: float,
        backward: object,
    ) -> bool: ...
    def overlap(self, target: Kerd, threshold: float) -> bool: ...
    def is_kerd_bar_crosses_violated_if_merged(
        self,
        end_kerd: Kerd,
        bar_cross_threshold: float,
        last_snib_weight: float,
        second_last_snib_weight: float,
        snib_weight: float,
        current_cross_count: int,
    ) -> bool: ...
    def is_kerd_length_passed_if_merged(self, end_kerd: Kerd, length_limit: float) -> bool: ...

def calculate_weighted_kerd_value(
    snib_values: Sequence[float],
    last_snib_weight: float,
    second_last_snib_weight: float,
    snib_weight: float,
) -> float: ...
def swap(kerds: MutableSequence[Kerd], x_index: int, y_index: int) -> None: ...
