"""Many instruments: one engine run per instrument on an executor, the results as one table.

``scan(universe)`` takes a directory of bar files (one instrument per file, named by its
stem), one long table with a symbol column, or a mapping of symbol to `Bars`, and runs `torvex.kit.run` on every instrument with the
same settings and view: on a local process pool by default, or on a Dask cluster (`scheduler=` a
running one's address, `dask_workers=` a local one of that many workers). Each instrument
becomes one `ScanRow`: its last close, the support and resistance lines around it, its last
signal and counts, or the one-line error that stopped it. An executor never changes a row; only
`seconds` (each instrument's wall time) varies from run to run.
"""

from __future__ import annotations

import dataclasses
import functools
import os
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Mapping

from torvex.kit import Settings
from torvex.kit.bar_symbols import SYMBOL
from torvex.kit.bars import BarOptions
from torvex.kit.results import check_view
from torvex.kit.settings import as_settings

from .pool import DIED, Task, run_on_pool
from .table import COLUMNS, ScanRow, frame, records, table_format, write_table
from .universe import BAR_SUFFIXES, Universe, instruments
from .work import ChartedRow, Instrument, run_instrument

__all__ = [
    "BAR_SUFFIXES",
    "COLUMNS",
    "DIED",
    "Instrument",
    "ScanRow",
    "ScanTable",
    "run_instrument",
    "scan",
    "table_format",
]


@dataclass
class ScanTable:
    """The rows in symbol order, and how they were made."""

    rows: list[ScanRow]
    executor: str
    seconds: float  # wall time of the whole scan
    settings: Settings = field(default_factory=Settings)
    view: str = "end"  # how every instrument's run saw its data
    charts: dict[str, str] = field(default_factory=dict, repr=False)  # symbol -> packed chart

    @property
    def failed(self) -> list[ScanRow]:
        return [row for row in self.rows if row.failed]

    @property
    def bars(self) -> int:
        return sum(row.bars or 0 for row in self.rows)

    def frame(self, backend: str = "auto") -> Any:
        """The table as a DataFrame: pandas ("auto" too) or polars."""
        return frame(self.rows, backend)

    def write(self, path: str | os.PathLike[str]) -> None:
        """CSV, Parquet or JSON records, by the suffix of `path`."""
        write_table(self.rows, path)

    def to_html(self, path: str | os.PathLike[str], source: str | None = None) -> None:
        """The interactive report: this table, each row drawing its instrument's chart when
        clicked; needs a table scanned with ``charts=True`` and the ``report`` extra."""
        from torvex.report import write_scan_report

        write_scan_report(
            COLUMNS, records(self.rows), path, charts=self.charts, tick=self.settings.mintick,
            view=self.view, bars=self.bars, source=source,
        )

    def near(self, ranges: float) -> ScanTable:
        """The instruments whose last close lies within `ranges` average bar ranges of their
        support or resistance; failed rows stay, so that no error goes unseen."""
        kept = [
            row for row in self.rows
            if row.failed or (row.nearest_ranges is not None and row.nearest_ranges <= ranges)
        ]
        return dataclasses.replace(self, rows=kept)

    def sorted_by(self, column: str, descending: bool = False) -> ScanTable:
        """The rows ordered by `column`, empty cells last, ties in symbol order."""
        if column not in COLUMNS:
            raise ValueError(f"no column {column!r}; the columns are {', '.join(COLUMNS)}")
        ordered = sorted(self.rows, key=lambda row: row.symbol)
        present = [row for row in ordered if getattr(row, column) not in (None, "")]
        empty = [row for row in ordered if getattr(row, column) in (None, "")]
        present.sort(key=lambda row: getattr(row, column), reverse=descending)
        return dataclasses.replace(self, rows=present + empty)


def cores() -> int:
    """The cores this process may run on (a container's or taskset's share, not the host's)."""
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return os.cpu_count() or 1


def scan(
    universe: Universe,
    settings: Settings | Mapping[str, Any] | None = None,
    *,
    jobs: int | None = None,
    scheduler: str | None = None,
    dask_workers: int | None = None,
    progress: Callable[[int, int], None] | None = None,
    task: Task = run_instrument,
    view: str = "end",
    date_format: str | None = None,
    delimiter: str | None = None,
    clip: bool = False,
    symbol_column: str = SYMBOL,
    sort: bool = False,
    charts: bool = False,
) -> ScanTable:
    """Run every instrument of `universe` and collect one row each, sorted by symbol, with
    `settings` (a `Settings`, a mapping of setting names to values, or None for the defaults).

    `jobs` is the process pool's size (default: the number of cores); `scheduler` or
    `dask_workers` send the runs to Dask instead. `progress(done, total)` is called as each
    instrument's row arrives. `task` replaces the per-instrument work; it must be a
    module-level function (it is sent to the workers by name) taking an `Instrument` and the
    settings. `view` is the view of every run, as in `torvex.kit.run`: "end" (the default) or
    "live", for which the rows describe the last bar as a live host saw it; each `Instrument`
    carries it to its task.

    `date_format`, `delimiter` and `clip` read every instrument's bars as `load_bars` does;
    a long table's symbols are in its column `symbol_column`, and `sort` orders each symbol's
    rows by date. With `charts` the workers also pack each instrument's chart (bars, lines, signals, pivots)
    for `to_html`, passing ``chart=True`` to the task."""
    settings = as_settings(settings)
    check_view(view)
    if scheduler is not None and dask_workers is not None:
        raise ValueError("give a Dask scheduler address or a local worker count, not both")
    started = time.perf_counter()
    options = BarOptions(date_format=date_format, delimiter=delimiter, clip=clip)
    todo = [
        dataclasses.replace(one, view=view)
        for one in instruments(universe, options, symbol_column, sort)
    ]
    rows: list[ScanRow] = []
    packed: dict[str, str] = {}
    if charts:
        task = functools.partial(task, chart=True)

    def done(row: ScanRow) -> None:
        if isinstance(row, ChartedRow):
            packed[row.symbol] = row.chart
            row = row.row()
        rows.append(row)
        if progress is not None:
            progress(len(rows), len(todo))

    if progress is not None:
        progress(0, len(todo))  # the total is known before the first row

    if scheduler is not None or dask_workers is not None:
        from .cluster import run_on_dask

        if dask_workers is not None and dask_workers < 1:
            raise ValueError("a local Dask cluster needs at least 1 worker")
        run_on_dask(todo, task, settings, done, scheduler=scheduler, local_workers=dask_workers)
        executor = (
            f"Dask cluster at {scheduler}"
            if scheduler is not None
            else f"local Dask cluster of {dask_workers} workers"
        )
    else:
        workers = jobs if jobs is not None else cores()
        if workers < 1:
            raise ValueError("a process pool needs at least 1 job")
        workers = min(workers, max(len(todo), 1))
        run_on_pool(todo, task, settings, workers, done)
        executor = f"process pool of {workers} {'job' if workers == 1 else 'jobs'}"
    rows.sort(key=lambda row: row.symbol)
    return ScanTable(rows, executor, time.perf_counter() - started, settings, view, packed)
