"""The charting library inlined into every report: TradingView's Lightweight Charts, whose
standalone build ships inside the ``bn-lightweight-charts`` package (the ``report`` extra).

Only the JavaScript file is used; the carrier package itself is never imported (it imports
pandas). A report needs the library's version-5 interface (series markers at a price, panes).
"""

from __future__ import annotations

import functools
import importlib.util
import os
import re

__all__ = ["CARRIER", "ReportUnavailable", "library_script", "library_version"]

CARRIER = "bn_lightweight_charts"
_FILE = os.path.join("js", "lightweight-charts.js")
_VERSION = re.compile(r"Lightweight Charts\S*\s+v(\d+)\.(\d+)\.(\d+)")
_MAJOR = 5
INSTALL = "pip install 'torvex[report]'"


class ReportUnavailable(Exception):
    """The charting library cannot be had; one line for the user."""


def _path() -> str:
    spec = importlib.util.find_spec(CARRIER)
    folders = list(spec.submodule_search_locations or []) if spec is not None else []
    for folder in folders:
        path = os.path.join(folder, _FILE)
        if os.path.isfile(path):
            return path
    raise ReportUnavailable(f"an HTML report needs Lightweight Charts; install it with: {INSTALL}")


@functools.lru_cache(maxsize=1)
def _load() -> tuple[str, tuple[int, int, int]]:
    path = _path()
    with open(path, encoding="utf-8") as f:
        text = f.read()
    found = _VERSION.search(text[:400])
    version = tuple(int(part) for part in found.groups()) if found else (0, 0, 0)
    if version[0] != _MAJOR or "LightweightCharts" not in text:
        shown = ".".join(map(str, version)) if found else "unknown"
        raise ReportUnavailable(
            f"{path}: Lightweight Charts {_MAJOR}.x is needed, found version {shown}; "
            f"reinstall it with: {INSTALL}"
        )
    # the file is inlined in a <script> element, which this sequence would end early
    return text.replace("</script", "<\\/script"), version  # type: ignore[return-value]


def library_script() -> str:
    """The library's standalone build, ready to inline; ReportUnavailable when missing."""
    return _load()[0]


def library_version() -> str:
    return ".".join(map(str, _load()[1]))
