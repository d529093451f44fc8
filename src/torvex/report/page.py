"""The report pages as one self-contained HTML file each: the charting library, the page's own
script and style, and the data, all inline, so that the file opens from disk with no network."""

from __future__ import annotations

import html
import json
import math
import os
from importlib import resources
from typing import Any, Iterable, Mapping, Sequence

from torvex.ticks import decimals

from .library import library_script
from .payload import encoded_chart
from .shapes import ChartRun

__all__ = ["run_page", "scan_page", "write_page"]


def _asset(name: str) -> str:
    return (resources.files("torvex.report") / "assets" / name).read_text(encoding="utf-8")


def _json(value: Any) -> str:
    """JSON to inline in a <script> element: no '<', so no '</script>' can end it early."""
    return json.dumps(value, separators=(",", ":"), allow_nan=False, default=str).replace(
        "<", "\\u003c"
    )


def _page(kind: str, title: str, body: str, data: str, charts: Iterable[str]) -> str:
    """The page's parts in the order the browser needs them: the page's own data and script
    first, so that a scan's table is on screen while the packed charts after it are still
    being read; then the charting library and the charts."""
    parts = [
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n",
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n",
        f"<title>{html.escape(title)}</title>\n<style>\n{_asset('report.css')}</style>\n",
        f"</head>\n<body data-page=\"{kind}\">\n{body}\n{data}",
        f"<script>\n{_asset('chart.js')}\n{_asset('pages.js')}\n</script>\n",
        f"<script>\n{library_script()}\n</script>\n",
    ]
    parts.extend(charts)
    parts.append("</body>\n</html>\n")
    return "".join(parts)


def _chart_block(element_id: str, encoded: str) -> str:
    # base64 text: nothing in it can end the element
    return f'<script type="text/plain" id="{element_id}">{encoded}</script>\n'


def view_of(thing: Any) -> str:
    return str(getattr(thing, "view", "end"))


def run_page(result: ChartRun, name: str | None = None) -> str:
    """The page of one run: its chart, drawn at load."""
    name = name if name is not None else result.bars.source
    title = f"{name}: torvex, {view_of(result)} view"
    body = (
        f"<header><h1>{html.escape(title)}</h1><p id=\"summary\"></p></header>\n"
        "<div class=\"controls\" id=\"controls\"></div>\n<div class=\"chart\" id=\"chart\"></div>"
    )
    return _page("run", title, body, "", [_chart_block("chart-data", encoded_chart(result, name))])


def _cell(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def scan_page(
    columns: Sequence[str],
    records: Sequence[Mapping[str, Any]],
    charts: Mapping[str, str],
    *,
    tick: float,
    view: str,
    bars: int,
    source: str | None = None,
) -> str:
    """The page of a scan: its table, one record per instrument with a value for each of
    `columns` (its `symbol`, and its `error` where it failed), and each instrument's chart
    from `charts` drawn when its row is clicked (rows without one say so)."""
    columns = list(columns)
    rows = [[_cell(record.get(c)) for c in columns] for record in records]
    failed = sum(1 for record in records if record.get("error"))
    title = f"torvex scan{f' of {source}' if source else ''}, {view} view"
    counts = (
        f"{len(rows)} instruments ({failed} failed), {bars:,} bars, {view} view"
        + ("" if charts else "; scanned without charts")
    )
    body = (
        f"<header><h1>{html.escape(title)}</h1><p>{html.escape(counts)}</p></header>\n"
        "<section class=\"table-pane\"><div class=\"tools\">"
        "<input id=\"filter\" type=\"search\" placeholder=\"filter by symbol\" autocomplete=\"off\">"
        "<span id=\"count\"></span><span>click a row for its chart; a header sorts</span></div>"
        "<div class=\"scroll\"><table id=\"scan\"><thead></thead><tbody></tbody></table></div>"
        "</section>\n<section class=\"chart-pane\"><div class=\"chart-head\">"
        "<h2 id=\"chart-title\">no instrument chosen</h2><p id=\"chart-summary\"></p></div>"
        "<div class=\"controls\" id=\"controls\"></div><div class=\"chart\" id=\"chart\"></div>"
        "</section>"
    )
    data = {
        "columns": columns,
        "rows": rows,
        "digits": decimals(tick),
        # columns of prices and ratios, shown with their decimals even where a value is whole
        "decimal": [
            c for c in range(len(columns)) if any(isinstance(row[c], float) for row in rows)
        ],
    }
    blocks = []
    for i, record in enumerate(records):
        encoded = charts.get(record["symbol"])
        if encoded is not None and not record.get("error"):
            blocks.append(_chart_block(f"chart-{i}", encoded))
    table_data = f'<script type="application/json" id="table-data">{_json(data)}</script>\n'
    return _page("scan", title, body, table_data, blocks)


def write_page(text: str, path: str | os.PathLike[str]) -> None:
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
