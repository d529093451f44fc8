"""Whether the engine's operations run with the Python model's accelerators (on unless the build
left them out or TORVEX_ACCELERATORS=0 turned them off at import). A few tests check what an
accelerator does beyond the behaviour (what it reads only once, what it leaves uncalled); on the
plain path every read and call is made, and those checks do not apply."""

import os
import pickle
import subprocess
import sys


def accelerated() -> bool:
    from torvex.dto import torvex

    return bool(torvex._accelerated)


_PLAIN_CALL = """
import importlib, pickle, sys
from torvex.dto import torvex
assert not torvex._accelerated
module, function, args = pickle.loads(sys.stdin.buffer.read())
result = getattr(importlib.import_module(module), function)(*args)
sys.stdout.buffer.write(pickle.dumps(result))
"""


def on_plain_path(module: str, function: str, *args):
    """module.function(*args) in an interpreter whose engine runs with every accelerator off:
    the plain path's answer, for a test that breaks an accelerator's rule from host code."""
    env = {**os.environ, "TORVEX_ACCELERATORS": "0",
           "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    done = subprocess.run([sys.executable, "-c", _PLAIN_CALL], env=env, capture_output=True,
                          input=pickle.dumps((module, function, args)), check=False)
    assert done.returncode == 0, done.stderr.decode()
    return pickle.loads(done.stdout)
