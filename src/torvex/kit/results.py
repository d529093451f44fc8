"""What a run gives back: the lines, signals, failed recoveries and pivots as the kit's own
records, the `RunResult` that holds them, and the conversions from what either object model
(the engine's records, or the native model's tuples and dicts) hands back."""

from __future__ import annotations

import os
from dataclasses import asdict, dataclass, field
from typing import Any, Sequence

import numpy as np

from .bars import Bars
from .indicators import HostInputs
from .levels import round_to_tick
from .result_frames import records_frame
from .settings import Settings

__all__ = [
    "FAILURE_REASONS",
    "VIEWS",
    "Failure",
    "Line",
    "Pivot",
    "RunResult",
    "Signal",
    "check_view",
    "failure_record",
    "line_record",
    "pivot_record",
    "signal_record",
]

# How a run sees the data. "end": as of its last bar (the engine is told where the data ends,
# so lines and signals near the end may use what a host on an earlier bar could not know).
# "live": as a live host does, the data ending at each bar as it is taken, so every bar's
# levels and signals are those a host would have shown on that bar.
VIEWS = ("end", "live")


def check_view(view: Any, where: str = "view") -> str:
    """`view` when it is one of VIEWS; a one-line ValueError otherwise."""
    if view not in VIEWS:
        raise ValueError(f"{where} must be one of {', '.join(VIEWS)}, not {view!r}")
    return str(view)


# failure flag of the result record -> short name used in summaries and JSON
FAILURE_REASONS = {
    "violate_recover_window": "recover_window",
    "violate_signal_window": "signal_window",
    "violate_search_range_close_above_bar_count": "search_range_close_above",
    "violate_extend_bar_cross": "extend_bar_cross",
}

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
    checked: bool = False  # past its first crossing after the extension: crossings are counted

    @property
    def reach(self) -> int:
        """The last bar the engine carried the line to. Once extended, to its first crossing
        bar and on to the last crossing within the tolerance, whichever is later; before, to
        its latest pivot. A merge clears `extended` and may keep the other fields from before
        it: they count again only on a line that is past its first crossing (`checked`), whose
        crossings the engine goes on counting."""
        if self.extended or self.checked:
            return max(self.end_bar, self.extend_end_bar, self.post_extend_end_bar)
        return self.end_bar


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
    view: str = "end"  # how the run saw the data: one of VIEWS

    def failure_counts(self) -> dict[str, int]:
        """How many failures carried each reason; one failure can carry several."""
        counts = dict.fromkeys(FAILURE_REASONS.values(), 0)
        for failure in self.failures:
            for reason in failure.reasons:
                counts[reason] += 1
        return counts

    def lines_frame(self, backend: str = "auto") -> Any:
        """The lines as a DataFrame, one row per line, with its `reach`. `backend` is
        "pandas", "polars" or "auto" (polars where the bars came as polars, else pandas);
        levels are rounded to the tick, dates carry the bars' zone."""
        return self._frame(self.lines, Line, backend, extra=("reach",))

    def signals_frame(self, backend: str = "auto") -> Any:
        """The signals as a DataFrame, one row per signal (`backend` as for `lines_frame`)."""
        return self._frame(self.signals, Signal, backend)

    def failures_frame(self, backend: str = "auto") -> Any:
        """The failed recoveries as a DataFrame; `reasons` holds the names of each (`backend`
        as for `lines_frame`)."""
        return self._frame(self.failures, Failure, backend)

    def pivots_frame(self, backend: str = "auto") -> Any:
        """The pivots as a DataFrame, in bar order (`backend` as for `lines_frame`)."""
        return self._frame(self.pivots, Pivot, backend)

    def _frame(self, records: list[Any], kind: type, backend: str, extra: tuple = ()) -> Any:
        return records_frame(records, kind, self.bars, self.settings.mintick, extra, backend)

    def to_html(self, path: str | os.PathLike[str], name: str | None = None) -> None:
        """Write the interactive chart of this run to `path`, one self-contained HTML file
        (needs the ``report`` extra); `name` heads it (default: the bars' source)."""
        from torvex.report import write_run_report

        write_run_report(self, path, name)

    def to_dict(self) -> dict[str, Any]:
        """Everything as plain JSON-ready values (non-finite settings as strings; levels
        rounded to the tick; dates as ISO 8601 text, with the offset when the bars had a
        zone)."""
        bars = self.bars
        tick = self.settings.mintick

        def shown(record: Any, **more: Any) -> dict[str, Any]:
            values = dict(asdict(record), **more)
            if "level" in values:
                values["level"] = round_to_tick(values["level"], tick)
            return values

        return {
            "source": bars.source,
            "view": self.view,
            "bars": len(bars),
            "first_date": bars.dates[0],
            "last_date": bars.dates[-1],
            "settings": {k: _plain(v) for k, v in self.settings.as_dict().items()},
            "lines": [shown(line, reach=line.reach) for line in self.lines],
            "signals": [shown(signal) for signal in self.signals],
            "failures": [shown(failure) for failure in self.failures],
            "failure_counts": self.failure_counts(),
            "pivots": [asdict(pivot) for pivot in self.pivots],
            "seconds": round(self.seconds, 6),
        }


def _plain(value: Any) -> Any:
    if isinstance(value, float) and not np.isfinite(value):
        return str(value)
    return value




def signal_record(bar: int, date: str, window: Any, vvip: bool) -> Signal:
    return Signal(
        bar=bar,
        date=date,
        level=window.break_kerd_at_price,
        vvip=bool(vvip),
        break_bar=window.break_kerd_at_bar_index,
        recover_bar=window.recover_at_bar_index,
        pivot_count=window.vip_snib_count,
    )


def failure_record(bar: int, date: str, window: Any, flags: Any) -> Failure:
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


def _date(dates: Sequence[str], bar: int) -> str:
    return dates[bar] if 0 <= bar < len(dates) else ""


def line_record(kerd: Any, dates: Sequence[str]) -> Line:
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
        checked=bool(kerd.historical_extend_bar_crosses_checked),
    )


def pivot_record(snib: Any, dates: Sequence[str]) -> Pivot:
    bar = int(snib.bar_index_at_pivot)
    return Pivot(
        bar=bar,
        date=_date(dates, bar),
        price=float(snib.price),
        is_high=bool(snib.is_high),
        is_trending=bool(snib.is_trending),
    )
