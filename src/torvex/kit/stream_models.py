"""The live view bar by bar on either object model, for `torvex.kit.Stream`.

Both take checked bars with their engine times and hand back the bar's outcome as the kit's
records: (signal or None, failures, support, resistance, pivots taken on the bar). Neither
keeps signals or failures: a stream's outcomes are its caller's.
"""

from __future__ import annotations

from types import SimpleNamespace
from typing import TYPE_CHECKING, Any, Sequence

from .bar_inputs import bar_inputs
from .driver import Driver, EngineSeries
from .engine_state import engine_state, put_engine_state
from .levels import Level, nearest_levels
from .native_path import SnibFields, check_records
from .results import Failure, Line, Pivot, Signal, line_record, pivot_record

if TYPE_CHECKING:
    from .settings import Settings

__all__ = ["NativeModel", "PythonModel", "RawOutcome"]

RawOutcome = tuple[
    Signal | None, tuple[Failure, ...], Level | None, Level | None, tuple[Pivot, ...]
]


def _in_order(pivots: Any, dates: Sequence[str]) -> tuple[Pivot, ...]:
    records = (pivot_record(snib, dates) for snib in pivots)
    return tuple(sorted(records, key=lambda p: (p.bar, not p.is_high)))


class PythonModel:
    """`Driver.step` in the live view over series the bars are appended to, on
    `torvex.dto.torvex.Torvex` and the host's objects. A copy rebuilds the engine from its
    state over copies of the series, so a peek (a copy that takes the bar) costs as much as the
    history is long: the Python model is the reference, the native one the fast path."""

    name = "python"

    def __init__(
        self,
        settings: Settings,
        columns: Sequence[Sequence[float]] | None = None,
        state: dict[str, Any] | None = None,
        inputs: Any = None,
    ) -> None:
        self.settings = settings
        self.series = EngineSeries() if columns is None else EngineSeries(columns, visible=None)
        self.driver = Driver(settings, self.series, 0, live=True)
        if state is not None:
            put_engine_state(self.driver, state)
        self.inputs = inputs if inputs is not None else bar_inputs(settings)
        self._appends = tuple(one.append for one in self.series.all)

    def add(
        self, bar: int, time: int, o: float, h: float, lo: float, c: float, date: str,
        dates: Sequence[str],
    ) -> RawOutcome:
        inputs = self.inputs.add(h, lo, c)
        high_pivot, low_pivot, trending_high, trending_low, trending, cap = inputs
        # in EngineSeries order
        for append, value in zip(self._appends, (c, o, h, lo, time, high_pivot, low_pivot,
                                                 trending_high, trending_low, trending)):
            append(value)
        driver = self.driver
        processed, pending = driver.vip_snibs, driver.new_vip_snibs
        had = len(processed) + len(pending)
        signal = driver.step(bar, cap, date)
        failures = tuple(driver.failures)
        driver.failures.clear()
        driver.signals.clear()
        # the live view never lets a pivot go: this bar's are the last ones
        taken = () if len(processed) + len(pending) == had else _in_order(
            [*processed, *pending][had:], dates)
        support, resistance = nearest_levels(
            ((k.kerd_value, k.violated, len(k.snib_values)) for k in driver.kerds), c)
        return signal, failures, support, resistance, taken

    def peek(
        self, bar: int, time: int, o: float, h: float, lo: float, c: float, date: str,
        dates: Sequence[str],
    ) -> RawOutcome:
        return self.copy().add(bar, time, o, h, lo, c, date, dates)

    def levels(self, dates: Sequence[str]) -> list[Line]:
        return [line_record(kerd, dates) for kerd in self.driver.kerds]

    def pivots(self, dates: Sequence[str]) -> list[Pivot]:
        return list(_in_order([*self.driver.vip_snibs, *self.driver.new_vip_snibs], dates))

    def oldest_named(self) -> int:
        """The earliest bar a line or pivot may name: the Python model keeps every pivot."""
        return 0

    def _parts(self) -> tuple[Any, ...]:
        columns = [one.values() for one in self.series.all]
        return self.settings, columns, engine_state(self.driver), self.inputs.copy()

    def copy(self) -> PythonModel:
        return PythonModel(*self._parts())

    def __reduce__(self) -> tuple[Any, ...]:
        return PythonModel, self._parts()


class NativeModel:
    """`torvex.native.LiveStream`: the same steps in C++, its inputs computed by the same C++
    as `torvex.native.LiveInputs`, keeping only the bars and pivots the rules can reach."""

    name = "native"

    def __init__(self, settings: Settings, live: Any = None) -> None:
        from torvex import native

        self.settings = settings
        self.live = native.LiveStream(settings, settings.check_form) if live is None else live
        self._first_form = settings.check_form == 1
        self._vvip_pivots = settings.vvip_kerd_min_snib_count

    def _outcome(self, raw: Any, date: str, dates: Sequence[str]) -> RawOutcome:
        bar, check, support, resistance, pivots = raw
        signal = failure = None
        if check is not None:
            signal, failure = check_records(bar, date, check, self._first_form, self._vvip_pivots)
        taken = _in_order((SnibFields(*one) for one in pivots), dates) if pivots else ()
        return (
            signal,
            () if failure is None else (failure,),
            None if support is None else Level(*support),
            None if resistance is None else Level(*resistance),
            taken,
        )

    def add(
        self, bar: int, time: int, o: float, h: float, lo: float, c: float, date: str,
        dates: Sequence[str],
    ) -> RawOutcome:
        return self._outcome(self.live.add(time, o, h, lo, c), date, dates)

    def peek(
        self, bar: int, time: int, o: float, h: float, lo: float, c: float, date: str,
        dates: Sequence[str],
    ) -> RawOutcome:
        return self._outcome(self.live.peek(time, o, h, lo, c), date, dates)

    def levels(self, dates: Sequence[str]) -> list[Line]:
        return [line_record(SimpleNamespace(**kerd), dates) for kerd in self.live.lines()]

    def pivots(self, dates: Sequence[str]) -> list[Pivot]:
        return list(_in_order((SnibFields(*one) for one in self.live.pivots()), dates))

    def oldest_named(self) -> int:
        """The earliest bar a line or pivot it keeps names."""
        bars = [snib[0] for snib in self.live.pivots()]
        bars += [kerd["start_bar_index"] for kerd in self.live.lines()]
        return min(bars, default=self.live.bars)

    def copy(self) -> NativeModel:
        return NativeModel(self.settings, self.live.copy())

    def __reduce__(self) -> tuple[Any, ...]:
        return NativeModel, (self.settings, self.live)
