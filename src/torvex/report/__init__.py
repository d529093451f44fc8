"""Interactive HTML reports: one self-contained file per run or scan, opened from disk.

* `write_run_report(result, path)`: candles with zoom and pan, each final line as a segment
  from its first pivot to where the engine carried it (dashed on to the last bar while it
  holds), the pivots, the signals at their level and, on request, the failed recoveries;
* `write_scan_report(table, path)`: the scan's table, sortable and filterable, whose rows
  draw their instrument's chart when clicked (the table must carry charts: ``scan(...,
  charts=True)``).

The charting library, Lightweight Charts, comes with the ``report`` extra and is inlined into
every file; `require` says in one line when it is missing.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING

from .library import ReportUnavailable, library_script
from .payload import chart_payload, decode_chart, encoded_chart, segment

if TYPE_CHECKING:
    from torvex.kit import RunResult
    from torvex.scan import ScanTable

__all__ = [
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
    result: RunResult, path: str | os.PathLike[str], name: str | None = None
) -> None:
    """Write the page of one run to `path`; `name` heads it (default: the bars' source)."""
    from .page import run_page, write_page

    write_page(run_page(result, name), path)


def write_scan_report(
    table: ScanTable, path: str | os.PathLike[str], source: str | None = None
) -> None:
    """Write the page of a scan to `path`; `source` (the universe scanned) heads it."""
    from .page import scan_page, write_page

    write_page(scan_page(table, source), path)
