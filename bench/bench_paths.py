"""The import paths of the benchmarks, set up when imported: the package (a staging build, as
the sanitizer run makes, through TORVEX_PACKAGE_ROOT), the tests' shared plain series, and the
host stand-ins where the host's own modules are missing. A benchmark imports it first."""

import importlib.util
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

sys.path.insert(0, os.environ.get("TORVEX_PACKAGE_ROOT", os.path.join(ROOT, "src")))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))
if importlib.util.find_spec("indicators") is None:
    sys.path.append(os.path.join(ROOT, "host"))
