import importlib.util
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# A sanitizer run points TORVEX_PACKAGE_ROOT at its staging copy of the package.
SRC = os.environ.get("TORVEX_PACKAGE_ROOT", os.path.join(ROOT, "src"))
# The stand-ins where the package under test keeps them (a staged copy has them inside, as an
# installed package does), else the checkout's.
HOST = os.path.join(SRC, "torvex", "_host")
if not os.path.isdir(HOST):
    HOST = os.path.join(ROOT, "host")

if SRC not in sys.path:
    sys.path.insert(0, SRC)

# The host's own modules win; the stand-ins are used only where they are absent.
if importlib.util.find_spec("indicators") is None and HOST not in sys.path:
    sys.path.append(HOST)

# Randomized tests: a modest, repeatable run in the normal suite; the sanitizer run sets
# TORVEX_HYPOTHESIS=sanitize for more examples, and "fuzz" is for long random runs by hand
# (TORVEX_FUZZ_EXAMPLES examples per test, 5000 unless set).
from hypothesis import HealthCheck
from hypothesis import settings as hypothesis_settings

_QUIET = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow])
hypothesis_settings.register_profile("suite", max_examples=40, derandomize=True, **_QUIET)
hypothesis_settings.register_profile("sanitize", max_examples=200, derandomize=True, **_QUIET)
_FUZZ_EXAMPLES = int(os.environ.get("TORVEX_FUZZ_EXAMPLES", "5000"))
hypothesis_settings.register_profile("fuzz", max_examples=_FUZZ_EXAMPLES, **_QUIET)
hypothesis_settings.load_profile(os.environ.get("TORVEX_HYPOTHESIS", "suite"))
