"""The extension modules: snib (pivot record), mavet (window and result records),
kerd (price lines) and torvex (the engine).

The engine imports its siblings by their short names (``from kerd import Kerd``), as hosts
written for it expect. Importing this package installs a finder that resolves the short names
``kerd``, ``snib`` and ``mavet`` to this package's modules, so both import paths give the very
same module objects and classes. The finder:

* acts lazily: nothing is imported until a short name is first imported, so ``snib`` and
  ``mavet`` keep loading where the host's modules (needed by ``kerd``) are absent;
* never overrides the host: it sits at the end of ``sys.meta_path``, after the interpreter's
  path finder, so a module of that name already in ``sys.modules`` or findable anywhere on
  ``sys.path`` wins, and only a name nothing else provides comes to us;
* only answers top-level imports of exactly those three names.
"""

import importlib
import importlib.abc
import importlib.util
import sys

_SIBLINGS = ("kerd", "snib", "mavet")


class _SiblingLoader(importlib.abc.Loader):
    """Loads a short name as the package module itself, not as a copy."""

    def __init__(self, target):
        self._target = target
        self._spec = None

    def create_module(self, spec):
        # The import system stores this very object under the short name as well.
        module = importlib.import_module(self._target)
        self._spec = module.__spec__
        return module

    def exec_module(self, module):
        # The import system gave the module the short name's spec; it keeps its own.
        module.__spec__ = self._spec


class SiblingFinder(importlib.abc.MetaPathFinder):
    """Resolves ``kerd``, ``snib`` and ``mavet`` to ``torvex.dto.<name>``."""

    def find_spec(self, fullname, path=None, target=None):
        if path is not None or fullname not in _SIBLINGS:
            return None
        return importlib.util.spec_from_loader(fullname, _SiblingLoader(f"{__name__}.{fullname}"))


def _install():
    # By name, so that reloading this package does not add a second finder.
    for finder in sys.meta_path:
        kind = type(finder)
        if kind.__module__ == __name__ and kind.__qualname__ == SiblingFinder.__qualname__:
            return
    sys.meta_path.append(SiblingFinder())


_install()
