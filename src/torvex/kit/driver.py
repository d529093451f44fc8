"""Driving one engine over a whole set of bars, bar by bar, as a trading host does.

Per bar: the series advance to the bar, ``bar_index`` is set, ``update`` takes in the bar's
pivots (and, near the end of the data, rebuilds and extends the lines), ``update_mavet`` opens
and ages windows on broken lines, ``check_mavet_v3`` judges them, and a success is acted on:
recorded as a signal and committed with ``commit_latest_mavet`` so the same level does not
signal again within ``signal_window`` bars. Failed recoveries are recorded with their reasons.
"""

from __future__ import annotations

import time as _clock
from dataclasses import asdict, dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Mapping

import numpy as np

from .bars import Bars, load_bars
from .host import engine_module, runs_on_stand_ins
from .indicators import HostInputs, host_inputs
from .result_frames import records_frame
from .settings import Settings, as_settings

if TYPE_CHECKING:
    import pandas as pd

__all__ = [
    "ENGINES",
    "Driver",
    "EngineSeries",
    "Failure",
    "FAILURE_REASONS",
    "Line",
    "Pivot",
    "RunResult",
    "Signal",
    "run",
]

# failure flag of the result record -> short name used in summaries and JSON
FAILURE_REASONS = {
    "violate_recover_window": "recover_window",
    "violate_signal_window": "signal_window",
    "violate_search_range_close_above_bar_count": "search_range_close_above",
    "violate_extend_bar_cross": "extend_bar_cross",
}

Progress = Callable[[int, int], None]


@dataclass(frozen=True)
class Line:
    """A line as it stands after the last bar."""

    level: float
    pivots: tuple[float, ...]
    start_bar: int
    end_bar: int
    start_date: str
    end_date: str
    extended: bool
    extend_end_bar: int
    post_extend_end_bar: int
    crossings: int
    violated: bool

    @property
    def reach(self) -> int:
        """The last bar the line is known to hold to: its latest pivot or the last crossing
        within the tolerance, whichever is later."""
        return max(self.end_bar, self.extend_end_bar, self.post_extend_end_bar)


@dataclass(frozen=True)
class Signal:
    bar: int
    date: str
    level: float
    vvip: bool
    break_bar: int
    recover_bar: int
    pivot_count: int


@dataclass(frozen=True)
class Failure:
    bar: int
    date: str
    level: float | None  # None from the first check form, which keeps no failed window
    reasons: tuple[str, ...]
    break_bar: int
    recover_bar: int


@dataclass(frozen=True)
class Pivot:
    bar: int
    date: str
    price: float
    is_high: bool
    is_trending: bool


@dataclass
class RunResult:
    bars: Bars
    settings: Settings
    inputs: HostInputs
    lines: list[Line] = field(default_factory=list)
    signals: list[Signal] = field(default_factory=list)
    failures: list[Failure] = field(default_factory=list)
    pivots: list[Pivot] = field(default_factory=list)
    seconds: float = 0.0
    engine: str = "python"  # the object model that ran: "python" or "native"

    def failure_counts(self) -> dict[str, int]:
        """How many failures carried each reason; one failure can carry several."""
        counts = dict.fromkeys(FAILURE_REASONS.values(), 0)
        for failure in self.failures:
            for reason in failure.reasons:
                counts[reason] += 1
        return counts

    def lines_frame(self) -> pd.DataFrame:
        """The lines as a pandas DataFrame, one row per line, with its `reach`."""
        return records_frame(self.lines, Line, extra=("reach",))

    def signals_frame(self) -> pd.DataFrame:
        """The signals as a pandas DataFrame, one row per signal."""
        return records_frame(self.signals, Signal)

    def failures_frame(self) -> pd.DataFrame:
        """The failed recoveries as a pandas DataFrame; `reasons` holds tuples of names."""
        return records_frame(self.failures, Failure)

    def pivots_frame(self) -> pd.DataFrame:
        """The pivots as a pandas DataFrame, in bar order."""
        return records_frame(self.pivots, Pivot)

    def to_dict(self) -> dict[str, Any]:
        """Everything as plain JSON-ready values (non-finite settings as strings)."""
        bars = self.bars
        return {
            "source": bars.source,
            "bars": len(bars),
            "first_date": bars.dates[0],
            "last_date": bars.dates[-1],
            "settings": {k: _plain(v) for k, v in self.settings.as_dict().items()},
            "lines": [dict(asdict(line), reach=line.reach) for line in self.lines],
            "signals": [asdict(signal) for signal in self.signals],
            "failures": [asdict(failure) for failure in self.failures],
            "failure_counts": self.failure_counts(),
            "pivots": [asdict(pivot) for pivot in self.pivots],
            "seconds": round(self.seconds, 6),
        }


def _plain(value: Any) -> Any:
    if isinstance(value, float) and not np.isfinite(value):
        return str(value)
    return value


class EngineSeries:
    """The ten series one engine reads: the bar's prices and time, the four pivot series and
    the trend flags. A host either preloads whole columns and advances them bar by bar, or
    starts them empty and appends each bar as it arrives."""

    NAMES = (
        "close",
        "open",
        "high",
        "low",
        "time",
        "normal_high",
        "normal_low",
        "trending_high",
        "trending_low",
        "trending",
    )
    __slots__ = (*NAMES, "all")

    def __init__(self, columns: tuple[Any, ...] | None = None) -> None:
        from torvex.series import Series

        if columns is None:
            made = tuple(Series() for _ in range(10))
        else:
            # the whole column is stored once; advance() reveals one bar at a time
            made = tuple(
                Series(np.ascontiguousarray(values, dtype=np.float64), visible=1)
                for values in columns
            )
        for name, one in zip(self.NAMES, made):
            setattr(self, name, one)
        self.all = made

    @classmethod
    def preloaded(cls, bars: Bars, inputs: HostInputs) -> "EngineSeries":
        """Whole columns, the first bar visible."""
        return cls(
            (
                bars.close,
                bars.open,
                bars.high,
                bars.low,
                bars.time,
                inputs.normal_high_snib,
                inputs.normal_low_snib,
                inputs.trending_high_snib,
                inputs.trending_low_snib,
                inputs.is_ma_trending,
            )
        )

    def advance(self) -> None:
        for one in self.all:
            one.advance()


class Driver:
    """One engine, the lists and mapping it shares with its host, and the per-bar step: every
    way of running the engine (`run`, the backtrader indicator) drives it through `step`, so
    they all give the same results."""

    def __init__(self, settings: Settings, series: EngineSeries, last_bar_index: int) -> None:
        settings.check()  # values may have been assigned after construction
        Torvex = engine_module().Torvex
        self.settings = s = settings
        self.series = series
        self.kerds: list[Any] = []
        self.vip_snibs: list[Any] = []
        self.new_vip_snibs: list[Any] = []
        self.mavets: list[Any] = []
        self.latest_mavets: dict[float, int] = {}
        self.signals: list[Signal] = []
        self.failures: list[Failure] = []
        self.engine = Torvex(
            settings,
            self.kerds,
            self.vip_snibs,
            self.new_vip_snibs,
            self.mavets,
            series.normal_high,
            series.normal_low,
            series.trending_high,
            series.trending_low,
            self.latest_mavets,
            series.close,
            series.open,
            series.high,
            series.low,
            0,
            series.time,
            last_bar_index,
            s.mintick,
        )
        # a window reads the closes `search_range` bars back and the previous close
        self._first_window_bar = max(s.search_range, 1)
        self._checks = (
            s.close_above_kerd_threshold,
            s.trap_recover_window_threshold,
            s.signal_window,
            s.close_above_low_threshold,
            s.close_above_recover_low_threshold,
            s.bar_count_close_above_kerd_threshold,
            s.vvip_kerd_min_snib_count,
        )
        self._tracking = (
            s.trap_recover_window_threshold,
            s.search_range,
            s.low_above_kerd_threshold,
        )
        # without draw_from_recent the engine builds no lines itself: the host does it every bar
        self._all_bars = not s.draw_from_recent
        self._first_form = s.check_form == 1
        self._first_checks = (
            s.close_above_kerd_threshold,
            s.trap_recover_window_threshold,
            s.signal_window,
            s.close_above_low_threshold,
            s.bar_count_close_above_kerd_threshold,
        )
        self._vvip_pivots = s.vvip_kerd_min_snib_count

    def step(self, bar: int, cap: float, date: str) -> Signal | None:
        """Drive the engine over bar `bar`, whose series values are current, with the bar's
        average range `cap`; returns the bar's signal, if any (failures are collected)."""
        engine = self.engine
        engine.bar_index = bar
        found = engine.update(self.series.trending, cap)
        if self._all_bars:
            if found:
                engine.add_new_snibs_to_processed_array()
                engine.rebuild_kerd_from_most_recent_snib()
            engine.extend_kerd_to_first_cross()
        if bar >= self._first_window_bar:
            engine.update_mavet(*self._tracking, cap)
        if not self.mavets:
            return None
        if self._first_form:
            first = engine.check_mavet(cap, *self._first_checks)  # commits its own signal
            if first.has_signal:
                window = first.mavet
                assert window is not None
                vvip = window.vip_snib_count >= self._vvip_pivots
                return self._keep(_signal(bar, date, window, vvip))
            if first.close_above_low_and_kerd:  # judged and failed; the form keeps no window
                self.failures.append(_failure(bar, date, None, first))
            return None
        check = engine.check_mavet_v3(cap, *self._checks)
        if check.is_kerd_satisfied():
            success = check.success
            # the engine attaches a copy of the judged window to every result
            assert success is not None and success.mavet is not None
            engine.commit_latest_mavet(success.mavet.break_kerd_at_price)
            return self._keep(_signal(bar, date, success.mavet, success.is_vvip_signal))
        if check.recovery_failed():
            failure = check.failure
            assert failure is not None and failure.mavet is not None
            self.failures.append(_failure(bar, date, failure.mavet, failure))
        return None

    def _keep(self, signal: Signal) -> Signal:
        self.signals.append(signal)
        return signal

    def finish(self, result: RunResult) -> RunResult:
        """Put the signals, failures, final lines and pivots into `result`."""
        dates = result.bars.dates
        result.signals = list(self.signals)
        result.failures = list(self.failures)
        result.lines = [_line(kerd, dates) for kerd in self.kerds]
        result.pivots = sorted(
            (_pivot(snib, dates) for snib in [*self.vip_snibs, *self.new_vip_snibs]),
            key=lambda p: (p.bar, not p.is_high),
        )
        return result


ENGINES = ("auto", "native", "python")


def run(
    bars: Bars | Any,
    settings: Settings | Mapping[str, Any] | None = None,
    progress: Progress | None = None,
    progress_every: int = 0,
    engine: str = "auto",
) -> RunResult:
    """Run one engine over `bars` with `settings` (a `Settings`, a mapping of setting names to
    values, or None for the defaults). `bars` is anything
    `load_bars` takes: `Bars`, a file path, a pandas DataFrame or a numpy structured array.

    `engine` picks the object model: "python" drives `torvex.dto.torvex.Torvex` bar by bar
    over the host's objects; "native" runs the same steps on the native model in one call of
    `torvex.native`, with equal results, far faster; "auto" (the default) takes the native
    model when nothing of a host's own could change the outcome: the engine's host modules
    are the package's stand-ins and `settings` is a plain `Settings`.

    `progress(done, total)` is called every `progress_every` bars (default: about 200 times a
    run) and after the last; the native model calls it once, at the end.
    """
    if engine not in ENGINES:
        raise ValueError(f"engine must be one of {', '.join(ENGINES)}, not {engine!r}")
    bars = load_bars(bars)
    settings = as_settings(settings)
    settings.check()  # values may have been assigned after construction
    count = len(bars)
    inputs = host_inputs(bars.high, bars.low, bars.close, settings)
    result = RunResult(bars=bars, settings=settings, inputs=inputs)
    native = engine == "native" or (
        engine == "auto" and type(settings) is Settings and runs_on_stand_ins()
    )
    if native:
        from .native_path import run_native

        started = _clock.perf_counter()
        result.signals, result.failures, result.lines, result.pivots = run_native(
            bars, settings, inputs
        )
        result.seconds = _clock.perf_counter() - started
        result.engine = "native"
        if progress is not None:
            progress(count, count)
        return result

    series = EngineSeries.preloaded(bars, inputs)
    driver = Driver(settings, series, count - 1)
    step = driver.step
    caps = inputs.close_avg_percent.tolist()
    every = progress_every if progress_every > 0 else max(1, count // 200)
    dates = bars.dates

    started = _clock.perf_counter()
    for bar in range(count):
        if bar:
            series.advance()
        step(bar, caps[bar], dates[bar])
        if progress is not None and (bar + 1) % every == 0:
            progress(bar + 1, count)
    result.seconds = _clock.perf_counter() - started
    if progress is not None and count % every:
        progress(count, count)
    return driver.finish(result)


def _signal(bar: int, date: str, window: Any, vvip: bool) -> Signal:
    return Signal(
        bar=bar,
        date=date,
        level=window.break_kerd_at_price,
        vvip=bool(vvip),
        break_bar=window.break_kerd_at_bar_index,
        recover_bar=window.recover_at_bar_index,
        pivot_count=window.vip_snib_count,
    )


def _failure(bar: int, date: str, window: Any, flags: Any) -> Failure:
    """A failed recovery; `flags` carries the four violate_ flags, `window` may be None (the
    first check form reports no window for a failure: no level, bars -1)."""
    return Failure(
        bar=bar,
        date=date,
        level=None if window is None else window.break_kerd_at_price,
        reasons=tuple(name for flag, name in FAILURE_REASONS.items() if getattr(flags, flag)),
        break_bar=-1 if window is None else window.break_kerd_at_bar_index,
        recover_bar=-1 if window is None else window.recover_at_bar_index,
    )


def _date(dates: tuple[str, ...], bar: int) -> str:
    return dates[bar] if 0 <= bar < len(dates) else ""


def _line(kerd: Any, dates: tuple[str, ...]) -> Line:
    return Line(
        level=float(kerd.kerd_value),
        pivots=tuple(float(v) for v in kerd.snib_values),
        start_bar=int(kerd.start_bar_index),
        end_bar=int(kerd.end_bar_index),
        start_date=_date(dates, int(kerd.start_bar_index)),
        end_date=_date(dates, int(kerd.end_bar_index)),
        extended=bool(kerd.extended),
        extend_end_bar=int(kerd.extend_end_bar_index),
        post_extend_end_bar=int(kerd.post_extend_end_bar_index),
        crossings=int(kerd.bar_crosses_post_extend),
        violated=bool(kerd.violated),
    )


def _pivot(snib: Any, dates: tuple[str, ...]) -> Pivot:
    bar = int(snib.bar_index_at_pivot)
    return Pivot(
        bar=bar,
        date=_date(dates, bar),
        price=float(snib.price),
        is_high=bool(snib.is_high),
        is_trending=bool(snib.is_trending),
    )
