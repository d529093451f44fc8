"""Imported once by the process that forks the pool's workers, so that none of them pays for
importing the engine and the host modules on its first instrument."""

from torvex.kit.host import engine_module

engine_module()

import torvex.series  # noqa: E402,F401
import torvex.scan.work  # noqa: E402,F401
