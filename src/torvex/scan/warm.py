"""Imported once by the process that forks the pool's workers, so that none of them pays for
importing the engine and the host modules on its first instrument."""

from torvex.kit import ensure_host_modules

ensure_host_modules()

import torvex.dto.torvex  # noqa: E402,F401
import torvex.series  # noqa: E402,F401
import torvex.scan.work  # noqa: E402,F401
