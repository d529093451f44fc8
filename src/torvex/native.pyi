"""The native batch path: the core algorithms on plain data."""

from collections.abc import Callable, Mapping, Sequence
from typing import Any, SupportsFloat, SupportsIndex, TypeAlias, TypedDict

_Number: TypeAlias = SupportsFloat | SupportsIndex

# A line handed in: a dict (a dict subclass at the most) with the line's attributes and its base
# values. Required: start_bar_index, end_bar_index, start_time, end_time, kerd_value,
# kerd_accum_value, snib_values (a sequence of numbers) and close_avg_percent; the others
# default as in Kerd, bar_index, last_bar_index and mintick to 0.
_LineArg: TypeAlias = Mapping[str, Any]

# Bars and markets: dicts of number sequences, oldest bar first, the last element the current
# bar. Bars hold "close" and "open"; a market also "high", "low", "time", "normal_high_snib",
# "normal_low_snib", "trending_high_snib", "trending_low_snib" and "is_ma_trending", each with
# one value per bar.
_Columns: TypeAlias = Mapping[str, Sequence[_Number]]

# Every setting the engine reads as (name, kind), kind "flag", "count" or "number"; the names
# of a market's columns; the window thresholds the loops read from `thresholds`, in that order.
SETTINGS: tuple[tuple[str, str], ...]
MARKET_COLUMNS: tuple[str, ...]
WINDOW_THRESHOLDS: tuple[str, ...]

class _Line(TypedDict):
    """A line handed back: every attribute, with the base values."""

    bar_index: int
    last_bar_index: int
    mintick: float
    start_bar_index: int
    end_bar_index: int
    start_time: float  # an int when whole, as host times are
    end_time: float
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

# A window in field order: break_kerd_at_price, break_kerd_at_bar_index, recover_at_bar_index,
# break_kerd_extend_bar_cross, bar_count_close_above_kerd, vip_snib_count, recovered.
_Window: TypeAlias = tuple[float, int, int, int, int, int, bool]
# check_mavet's result: has_signal, close_above_low_and_kerd, the four violations, the window.
_FirstFormResult: TypeAlias = tuple[bool, bool, bool, bool, bool, bool, _Window | None]
# check_mavet_v3's result as (failure, success): the failure's close_above_low_and_kerd, its four
# violations and window; the success's has_signal, is_vvip_signal and window.
_Failure: TypeAlias = tuple[bool, bool, bool, bool, bool, _Window | None]
_Success: TypeAlias = tuple[bool, bool, _Window | None]
_ThirdFormResult: TypeAlias = tuple[_Failure | None, _Success | None]

def calculate_weighted_kerd_value(
    snib_values: Sequence[_Number],
    last_snib_weight: _Number,
    second_last_snib_weight: _Number,
    snib_weight: _Number,
) -> float: ...
def round_to_mintick(line: _LineArg, price: _Number) -> float: ...
def not_equal(line: _LineArg, target: _LineArg) -> bool: ...
def overlap(line: _LineArg, target: _LineArg, threshold: _Number) -> bool: ...
def is_kerd_bar_crosses_violated_if_merged(
    bars: _Columns | None,
    line: _LineArg,
    end_kerd: _LineArg,
    bar_cross_threshold: _Number,
    last_snib_weight: _Number,
    second_last_snib_weight: _Number,
    snib_weight: _Number,
    current_cross_count: _Number,
) -> bool: ...
def is_kerd_length_passed_if_merged(
    line: _LineArg, end_kerd: _LineArg, length_limit: _Number
) -> bool: ...
def merge(
    line: _LineArg,
    target: _LineArg,
    last_snib_weight: _Number,
    second_last_snib_weight: _Number,
    snib_weight: _Number,
    backward: object,
) -> _Line: ...

# `settings` is any object with the engine's settings as attributes (torvex.kit.Settings is
# one), `thresholds` any object with the window thresholds as attributes.
#
# run_window_loop runs on every bar: update; with a true all_bars, the host's line work
# (add_new_snibs_to_processed_array and rebuild_kerd_from_most_recent_snib when update found a
# pivot, then extend_kerd_to_first_cross); from bar max(search_range, 1) on, update_mavet; when
# windows are open, the check of `form` (check_mavet for 1, check_mavet_v3 for 3) and the commit
# of a check_mavet_v3 signal. With a true `live`, last_bar_index is each bar's own index before
# its update (the live view: nothing depends on a later bar); otherwise the market's last bar
# (the end view). That is the flow of a host that drives the lines itself
# (draw_from_recent off), bar for bar what torvex.dto.torvex gives for the same calls.
def run_engine(
    market: _Columns,
    settings: Any,
    mintick: _Number,
    close_avg_percent: Sequence[_Number],
) -> list[tuple[bool, list[_Line], int, int]]: ...
def run_window_loop(
    market: _Columns,
    settings: Any,
    mintick: _Number,
    close_avg_percent: Sequence[_Number],
    thresholds: Any,
    form: SupportsIndex = 3,
    all_bars: object = False,
    live: object = False,
) -> tuple[
    list[tuple[_FirstFormResult | _ThirdFormResult | None, list[_Window]]],
    dict[float, int],
]: ...

# The bars with a signal or a failure, the lines at the end, the pivots as (bar_index_at_pivot,
# price, is_high, is_trending): processed, then pending.
_History: TypeAlias = tuple[
    list[tuple[int, _FirstFormResult | _ThirdFormResult]],
    list[_Line],
    list[tuple[int, float, bool, bool]],
]

run_history: Callable[..., _History]  # the arguments of run_window_loop

class LiveInputs:
    """The kit's host inputs computed as bars arrive, equal bit for bit to
    torvex.kit.indicators.host_inputs over the whole columns, work per bar bounded by the
    settings' windows. The windows are read once from `settings`' attributes."""

    def __init__(self, settings: Any) -> None: ...
    def add(
        self, high: _Number, low: _Number, close: _Number
    ) -> tuple[float, float, float, float, float, float]:
        """The new bar's (normal_high_snib, normal_low_snib, trending_high_snib,
        trending_low_snib, is_ma_trending, close_avg_percent); a pivot is reported m bars
        after its bar, NaN where none is; the trend flag is 1.0 or 0.0."""
    def copy(self) -> LiveInputs: ...
    @property
    def bars(self) -> int:
        """Number of bars taken."""
    @classmethod
    def _from_state(cls, state: bytes) -> LiveInputs: ...

# A bar's outcome from LiveStream: (bar, check, support, resistance, pivots); check is None
# when no window was open to check, else the result as run_window_loop gives it for the check
# form; support and resistance are (level, pivot_count) or None; pivots, those intake took on
# the bar, as pivots() gives them.
_Level: TypeAlias = tuple[float, int]
_Pivot: TypeAlias = tuple[int, float, bool, bool]
_Outcome: TypeAlias = tuple[
    int,
    _FirstFormResult | _ThirdFormResult | None,
    _Level | None,
    _Level | None,
    tuple[_Pivot, ...],
]

class LiveStream:
    """One instrument in the live view (the data ends at each bar as it is added), bar by bar,
    on the native model, with its inputs computed as LiveInputs computes them: bar for bar
    what run_history(..., live=True) gives over the same bars. Settings, window thresholds,
    mintick and input windows are read once from `settings`' attributes. It keeps only the
    bars and pivots the rules can still reach."""

    def __init__(self, settings: Any, check_form: SupportsIndex = 3) -> None: ...
    def add(
        self, time: _Number, open: _Number, high: _Number, low: _Number, close: _Number
    ) -> _Outcome:
        """Close a bar: its outcome; a signal is committed. A bad bar (a price or time that is
        no finite number, a time not after the previous bar's, a time beyond the engine's
        32-bit times) raises ValueError and changes nothing."""
    def peek(
        self, time: _Number, open: _Number, high: _Number, low: _Number, close: _Number
    ) -> _Outcome:
        """The outcome add would give for this bar; the stream is left unchanged."""
    def lines(self) -> list[_Line]: ...
    def pivots(self) -> list[tuple[int, float, bool, bool]]:
        """The pivots still held (processed, then pending); in draw-from-recent mode those no
        rebuild can use any more are gone."""
    def copy(self) -> LiveStream: ...
    @property
    def bars(self) -> int:
        """Number of bars added."""
    @property
    def kept_bars(self) -> int:
        """Number of the latest bars held, those the rules can still reach."""
    @classmethod
    def _from_state(cls, state: bytes) -> LiveStream: ...
