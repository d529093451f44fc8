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
from types import ModuleType

__all__ = [
    "HOST_MODULES",
    "engine_module",
    "ensure_host_modules",
    "load_engine_with_stand_ins",
    "runs_on_stand_ins",
    "stand_in_directory",
]

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


# the host modules a project is likely to have names of its own for; backtrader is left to the
# real one whenever it is installed
_PRIVATE_MODULES = (
    ("settings", "settings.py", False),
    ("indicators", os.path.join("indicators", "__init__.py"), True),
    ("indicators.common", os.path.join("indicators", "common", "__init__.py"), True),
    (
        "indicators.common.base_indicator",
        os.path.join("indicators", "common", "base_indicator.py"),
        False,
    ),
)
_ENGINE = "torvex.dto.torvex"


def engine_module() -> ModuleType:
    """The engine module: as already loaded (its host modules are then bound); else imported
    after `ensure_host_modules`, unless a project has a ``settings`` or ``indicators`` of its
    own but no host base class: those are then the project's, not a host's, and the engine is
    loaded with the stand-ins alone (`load_engine_with_stand_ins`)."""
    loaded = sys.modules.get(_ENGINE)
    if loaded is not None:
        return loaded
    if not _importable("indicators.common.base_indicator") and (
        _importable("settings") or _importable("indicators")
    ):
        return load_engine_with_stand_ins()
    ensure_host_modules()
    return importlib.import_module(_ENGINE)


def runs_on_stand_ins() -> bool:
    """Whether the engine module's base class is the package's stand-in, so that no host
    module of a project's own takes part in how the engine behaves."""
    directory = stand_in_directory()
    code = getattr(engine_module().BaseIndicator.__init__, "__code__", None)
    if directory is None or code is None:
        return False
    return os.path.dirname(os.path.dirname(os.path.dirname(code.co_filename))) == directory


def load_engine_with_stand_ins() -> ModuleType:
    """The engine module, loaded with the package's stand-ins as its host modules, whatever a
    project calls its own ``settings`` or ``indicators``: the stand-ins are put in
    ``sys.modules`` only for the engine's import and the names are then restored exactly as
    they were (present, absent, or the project's). An engine module already loaded is returned
    as it is."""
    loaded = sys.modules.get(_ENGINE)
    if loaded is not None:
        return loaded
    directory = stand_in_directory()
    if directory is None:
        raise ImportError("the torvex host stand-ins are not installed")
    provided = list(_PRIVATE_MODULES)
    if not _importable("backtrader"):
        provided.append(("backtrader", os.path.join("backtrader", "__init__.py"), True))
    missing = object()
    saved = {name: sys.modules.get(name, missing) for name, _, _ in provided}
    try:
        for name, relative, package in provided:
            path = os.path.join(directory, relative)
            spec = importlib.util.spec_from_file_location(
                name, path, submodule_search_locations=[os.path.dirname(path)] if package else None
            )
            assert spec is not None and spec.loader is not None
            module = importlib.util.module_from_spec(spec)
            sys.modules[name] = module
            spec.loader.exec_module(module)
            parent, _, child = name.rpartition(".")
            if parent:
                setattr(sys.modules[parent], child, module)
        return importlib.import_module(_ENGINE)
    finally:
        for name, before in saved.items():
            if before is missing:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = before  # type: ignore[assignment]
