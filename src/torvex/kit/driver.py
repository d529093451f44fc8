"""Driving one engine over a whole set of bars, bar by bar, as a trading host does.

Per bar: the series advance to the bar, ``bar_index`` is set (and, in the live view,
``last_bar_index`` with it), ``update`` takes in the bar's pivots (and, near the end of the
data, rebuilds and extends the lines), ``update_mavet`` opens and ages windows on broken lines,
``check_mavet_v3`` judges them, and a success is acted on: recorded as a signal and committed
with ``commit_latest_mavet`` so the same level does not signal again within ``signal_window``
bars. Failed recoveries are recorded with their reasons.
"""

from __future__ import annotations

import time as _clock
from typing import Any, Callable, Mapping

import numpy as np

from .bars import Bars, load_bars
from .host import engine_module, runs_on_stand_ins
from .indicators import HostInputs, host_inputs
from .native_path import run_native
from .results import (
    FAILURE_REASONS,
    Failure,
    Line,
    Pivot,
    RunResult,
    Signal,
    check_view,
    failure_record,
    line_record,
    pivot_record,
    signal_record,
)
from .settings import Settings, as_settings

__all__ = [
    "ENGINES",
    "Driver",
    "check_engine",
    "picks_native",
    "EngineSeries",
    "Failure",
    "FAILURE_REASONS",
    "Line",
    "Pivot",
    "RunResult",
    "Signal",
    "run",
]

Progress = Callable[[int, int], None]


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

    def __init__(self, columns: tuple[Any, ...] | None = None, visible: int | None = 1) -> None:
        """Empty series, or `columns` stored once with their first `visible` values shown
        (advance() reveals the next; None shows them all, to append bars after them)."""
        from torvex.series import Series

        if columns is None:
            made = tuple(Series() for _ in range(10))
        else:
            made = tuple(
                Series(np.ascontiguousarray(values, dtype=np.float64), visible=visible)
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
    way of running the engine (`run`, the backtrader indicator, the stream) drives it through
    `step`, so they all give the same results.

    In the end view the engine is told once where the data ends (`last_bar_index`); with
    `live`, `step` sets ``last_bar_index`` to each bar before its update, as a live host does,
    and the given value is only the one the engine starts with."""

    def __init__(
        self, settings: Settings, series: EngineSeries, last_bar_index: int, live: bool = False
    ) -> None:
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
        self.live = live

    def step(self, bar: int, cap: float, date: str) -> Signal | None:
        """Drive the engine over bar `bar`, whose series values are current, with the bar's
        average range `cap`; returns the bar's signal, if any (failures are collected)."""
        engine = self.engine
        engine.bar_index = bar
        if self.live:
            engine.last_bar_index = bar
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
                return self._keep(signal_record(bar, date, window, vvip))
            if first.close_above_low_and_kerd:  # judged and failed; the form keeps no window
                self.failures.append(failure_record(bar, date, None, first))
            return None
        check = engine.check_mavet_v3(cap, *self._checks)
        if check.is_kerd_satisfied():
            success = check.success
            # the engine attaches a copy of the judged window to every result
            assert success is not None and success.mavet is not None
            engine.commit_latest_mavet(success.mavet.break_kerd_at_price)
            return self._keep(signal_record(bar, date, success.mavet, success.is_vvip_signal))
        if check.recovery_failed():
            failure = check.failure
            assert failure is not None and failure.mavet is not None
            self.failures.append(failure_record(bar, date, failure.mavet, failure))
        return None

    def _keep(self, signal: Signal) -> Signal:
        self.signals.append(signal)
        return signal

    def finish(self, result: RunResult) -> RunResult:
        """Put the signals, failures, final lines and pivots into `result`."""
        dates = result.bars.dates
        result.signals = list(self.signals)
        result.failures = list(self.failures)
        result.lines = [line_record(kerd, dates) for kerd in self.kerds]
        result.pivots = sorted(
            (pivot_record(snib, dates) for snib in [*self.vip_snibs, *self.new_vip_snibs]),
            key=lambda p: (p.bar, not p.is_high),
        )
        return result


ENGINES = ("auto", "native", "python")


def check_engine(engine: Any) -> str:
    """`engine` when it is one of ENGINES; a one-line ValueError otherwise."""
    if engine not in ENGINES:
        raise ValueError(f"engine must be one of {', '.join(ENGINES)}, not {engine!r}")
    return str(engine)


def picks_native(engine: str, settings: Settings) -> bool:
    """Whether `engine` means the native model: "native", or "auto" when nothing of a host's
    own could change the outcome (the engine's host modules are the package's stand-ins and
    `settings` is a plain `Settings`)."""
    return engine == "native" or (
        engine == "auto" and type(settings) is Settings and runs_on_stand_ins()
    )


def run(
    bars: Bars | Any,
    settings: Settings | Mapping[str, Any] | None = None,
    progress: Progress | None = None,
    progress_every: int = 0,
    engine: str = "auto",
    view: str = "end",
    clip: bool = False,
) -> RunResult:
    """Run one engine over `bars` with `settings` (a `Settings`, a mapping of setting names to
    values, or None for the defaults). `bars` is anything
    `load_bars` takes: `Bars`, a file path, a pandas or polars DataFrame, an Arrow table or
    a numpy structured array.

    `view` is how the run sees the data. "end" (the default): as of its last bar, the engine
    told where the data ends, which with `draw_from_recent` puts every pivot, line and signal
    in the last `2 * bar_count_to_snib` bars and lets results near the end depend on where the
    data stops. "live": as a live host sees it, the data ending at each bar in turn, so every
    bar's signals are those a host would have had on that bar and no result depends on a later
    bar; the lines are those standing at the last bar. The live view costs more per bar, and
    more as the history grows.

    `engine` picks the object model: "python" drives `torvex.dto.torvex.Torvex` bar by bar
    over the host's objects; "native" runs the same steps on the native model in one call of
    `torvex.native`, with equal results, far faster; "auto" (the default) takes the native
    model when nothing of a host's own could change the outcome: the engine's host modules
    are the package's stand-ins and `settings` is a plain `Settings`.

    `clip` moves open and close into low..high where they lie outside it, as `load_bars`
    does (such bars are refused otherwise); it does nothing to `Bars`, which are checked.

    `progress(done, total)` is called every `progress_every` bars (default: about 200 times a
    run) and after the last; the native model calls it once, at the end.
    """
    check_engine(engine)
    live = check_view(view) == "live"
    bars = load_bars(bars, clip=clip)
    settings = as_settings(settings)
    settings.check()  # values may have been assigned after construction
    count = len(bars)
    inputs = host_inputs(bars.high, bars.low, bars.close, settings)
    result = RunResult(bars=bars, settings=settings, inputs=inputs, view=view)
    if picks_native(engine, settings):
        started = _clock.perf_counter()
        result.signals, result.failures, result.lines, result.pivots = run_native(
            bars, settings, inputs, live
        )
        result.seconds = _clock.perf_counter() - started
        result.engine = "native"
        if progress is not None:
            progress(count, count)
        return result

    series = EngineSeries.preloaded(bars, inputs)
    driver = Driver(settings, series, count - 1, live)
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
