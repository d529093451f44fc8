"""The engine."""

from typing import Any, MutableMapping, MutableSequence, Sequence

from .kerd import Kerd
from .mavet import Mavet, MavetResult, MavetResultV2, MavetSuccess
from .snib import Snib

# At run time `Torvex` derives from the host's indicators.common.base_indicator.BaseIndicator,
# which provides the eight base values and `round_to_mintick`. `settings` is any object with the
# attributes the engine reads (torvex.kit.Settings is one); series are objects indexed by offset
# from the current bar (torvex.series.Series or any host series).

class Torvex:
    close: Any
    open: Any
    high: Any
    low: Any
    bar_index: int
    time: Any
    last_bar_index: int
    mintick: float
    settings: Any
    kerds: MutableSequence[Kerd]
    vip_snibs: MutableSequence[Snib]
    new_vip_snibs: MutableSequence[Snib]
    mavets: MutableSequence[Mavet]
    normal_high_snib: Any
    normal_low_snib: Any
    trending_high_snib: Any
    trending_low_snib: Any
    latest_mavets: MutableMapping[float, int]
    def __init__(
        self,
        settings: Any,
        kerds: MutableSequence[Kerd],
        vip_snibs: MutableSequence[Snib],
        new_vip_snibs: MutableSequence[Snib],
        mavets: MutableSequence[Mavet],
        normal_high_snib: Any,
        normal_low_snib: Any,
        trending_high_snib: Any,
        trending_low_snib: Any,
        latest_mavets: MutableMapping[float, int],
        close: Any = None,
        open: Any = None,
        high: Any = None,
        low: Any = None,
        bar_index: int | None = None,
        time: Any = None,
        last_bar_index: int | None = None,
        mintick: float | None = None,
    ) -> None: ...
    def round_to_mintick(self, price: float) -> float: ...
    def add_new_snibs_to_pending(self, is_ma_trending: Any, close_avg_percent: float) -> bool: ...
    def add_new_snibs_to_processed_array(self) -> None: ...
    def sort_kerds_by_end_bar_index(self) -> None: ...
    def remove_kerd_by_end_bar_index(self) -> None: ...
    def extend_kerd_to_first_cross(self) -> None: ...
    def sort_and_filter_kerds(self) -> None: ...
    def clear_all_kerd(self) -> None: ...
    def rebuild_kerd_from_most_recent_snib(
        self, close_avg_percent: float | None = None
    ) -> None: ...
    def extend_kerd_to_first_cross_from_history(self) -> None: ...
    def update_mavet(
        self,
        trap_recover_window_threshold: float,
        search_range: int,
        low_above_kerd_threshold: float,
        close_avg_percent: float,
    ) -> None: ...
    def check_mavet(
        self,
        close_avg_percent: float,
        close_above_kerd_threshold: float,
        trap_recover_window_threshold: float,
        signal_window: float,
        close_above_low_threshold: float,
        bar_count_close_above_kerd_threshold: float,
    ) -> MavetResult: ...
    def check_mavet_v3(
        self,
        close_avg_percent: float,
        close_above_kerd_threshold: float,
        trap_recover_window_threshold: float,
        signal_window: float,
        close_above_low_threshold: float,
        close_above_recover_low_threshold: float,
        bar_count_close_above_kerd_threshold: float,
        vvip_kerd_min_snib_count: float,
    ) -> MavetResultV2: ...
    def commit_latest_mavet(self, break_kerd_at_price: float) -> None: ...
    def update(self, is_ma_trending: Any, close_avg_percent: float) -> bool: ...
    def get_success_by_vvip(self, successes: Sequence[MavetSuccess]) -> MavetSuccess | None: ...
