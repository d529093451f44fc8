"""Interactive HTML reports: one self-contained file per run or scan, opened from disk.

* `write_run_report(result, path)`: candles with zoom and pan, each final line as a segment
  from its first pivot to where the engine carried it (dashed on to the last bar while it
  holds), the pivots, the signals at their level and, on request, the failed recoveries;
* `write_scan_report(columns, records, path, ...)`: a scan's table, sortable and filterable,
  whose rows draw their instrument's chart when clicked.

The report reads plain data and imports nothing of the kit, the scan or the command line:
`RunResult.to_html` and `ScanTable.to_html` hand it what it draws (a scan's charts come from
``scan(..., charts=True)``).

The charting library, Lightweight Charts, comes with the ``report`` extra and is inlined into
every file; `require` says in one line when it is missing.
"""

from __future__ import annotations

import os
from typing import Any, Mapping, Sequence

from .library import ReportUnavailable, library_script
from .payload import chart_payload, decode_chart, encoded_chart, segment
from .shapes import ChartRun

__all__ = [
    "ChartRun",
    "ReportUnavailable",
    "chart_payload",
    "decode_chart",
    "encoded_chart",
    "require",
    "segment",
    "write_run_report",
    "write_scan_report",
]


def require() -> None:
    """Raise ReportUnavailable now, before a long run, when no report could be written."""
    library_script()


def write_run_report(
    result: ChartRun, path: str | os.PathLike[str], name: str | None = None
) -> None:
    """Write the page of one run to `path`; `name` heads it (default: the bars' source)."""
    from .page import run_page, write_page

    write_page(run_page(result, name), path)


def write_scan_report(
    columns: Sequence[str],
    records: Sequence[Mapping[str, Any]],
    path: str | os.PathLike[str],
    *,
    charts: Mapping[str, str],
    tick: float,
    view: str,
    bars: int,
    source: str | None = None,
) -> None:
    """Write the page of a scan to `path`: one record per instrument (with its `symbol`, and
    its `error` where it failed), `charts` its packed charts by symbol (`encoded_chart`),
    `tick` the grid its prices are shown on, `bars` how many it ran; `source` (the universe
    scanned) heads it."""
    from .page import scan_page, write_page

    page = scan_page(columns, records, charts, tick=tick, view=view, bars=bars, source=source)
    write_page(page, path)
