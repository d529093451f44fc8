import importlib.util
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# A sanitizer run points TORVEX_PACKAGE_ROOT at its staging copy of the package.
SRC = os.environ.get("TORVEX_PACKAGE_ROOT", os.path.join(ROOT, "src"))
HOST = os.path.join(ROOT, "host")

if SRC not in sys.path:
    sys.path.insert(0, SRC)

# The host's own modules win; the stand-ins are used only where they are absent.
if importlib.util.find_spec("indicators") is None and HOST not in sys.path:
    sys.path.append(HOST)
