"""Making the host's modules importable.

The engine imports ``backtrader``, ``indicators.common.base_indicator`` and ``settings`` at load.
Inside a trading host these are the host's own. Without one, the package's stand-ins take their
place: their directory is appended to ``sys.path``, so a real module of the same name, anywhere
earlier on the path, still wins. Installed packages carry the stand-ins as ``torvex/_host``; a
source checkout has them in the repository's ``host/``.
"""

from __future__ import annotations

import importlib.util
import os
import sys

__all__ = ["HOST_MODULES", "ensure_host_modules", "stand_in_directory"]

HOST_MODULES = ("backtrader", "indicators.common.base_indicator", "settings")

_PACKAGE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def stand_in_directory() -> str | None:
    """Where the stand-ins live: the installed package's ``_host``, else the checkout's
    ``host/``; None when neither exists."""
    for candidate in (
        os.path.join(_PACKAGE, "_host"),
        os.path.join(os.path.dirname(os.path.dirname(_PACKAGE)), "host"),
    ):
        if os.path.isfile(os.path.join(candidate, "settings.py")) or os.path.isdir(
            os.path.join(candidate, "indicators")
        ):
            return candidate
    return None


def _importable(name: str) -> bool:
    try:
        return importlib.util.find_spec(name) is not None
    except (ImportError, ValueError):
        # a parent package that is missing or broken: the module cannot be imported
        return False


def ensure_host_modules() -> list[str]:
    """Make the three host modules importable, preferring the host's own. Returns the names
    that the stand-ins provide (empty when the host has them all). Raises ImportError when
    some are missing and no stand-ins are shipped."""
    missing = [name for name in HOST_MODULES if not _importable(name)]
    if not missing:
        return []
    directory = stand_in_directory()
    if directory is None:
        raise ImportError(
            f"host modules {', '.join(missing)} are not importable and the torvex stand-ins "
            "are not installed"
        )
    if directory not in sys.path:
        sys.path.append(directory)
    importlib.invalidate_caches()
    still = [name for name in missing if not _importable(name)]
    if still:
        raise ImportError(f"host modules {', '.join(still)} are not importable from {directory}")
    return missing
