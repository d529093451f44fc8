"""One module object per extension module, whichever name imports it: `kerd` with the package
directory on sys.path, or `torvex.dto.kerd`, in any order; a host's own module of that name
still wins. Each case runs in a fresh interpreter."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SRC = os.environ.get("TORVEX_PACKAGE_ROOT", os.path.join(ROOT, "src"))
DTO = os.path.join(SRC, "torvex", "dto")
HOST = os.path.join(ROOT, "host")
RECORDS = ("snib", "mavet", "kerd")

PROBE = textwrap.dedent("""
    import importlib, json, sys
    for name in sys.argv[1].split(","):
        importlib.import_module(name)
    out = {}
    for name in ("snib", "mavet", "kerd"):
        short, full = sys.modules.get(name), sys.modules.get("torvex.dto." + name)
        out[name] = {"host": getattr(short, "HOST_OWN", False), "same": short is full,
                     "spec": full.__spec__.name}
    if "torvex.dto.torvex" in sys.modules:
        engine = sys.modules["torvex.dto.torvex"]
        out["engine_classes"] = engine.Kerd is sys.modules["kerd"].Kerd
    import mavet, torvex.dto.mavet as m
    if not out["mavet"]["host"]:
        # Results built from one name's class are accepted by the other name's functions.
        flat = mavet.from_mavet_result_v2(m.MavetResultV2())
        out["cross"] = type(flat) is m.FlatternMavetResultV2 and isinstance(flat, mavet.FlatternMavetResultV2)
    print(json.dumps(out))
""")


def run(code, path, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path))
    done = subprocess.run([sys.executable, "-c", code, *args], env=env, capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.fixture
def host_mavet(tmp_path):
    """A host's own `mavet` module, ahead of ours on the path."""
    (tmp_path / "mavet.py").write_text("HOST_OWN = True\n")
    return str(tmp_path)


ORDERS = {
    "short first": "snib,mavet,kerd,torvex.dto.snib,torvex.dto.mavet,torvex.dto.kerd",
    "full first": "torvex.dto.snib,torvex.dto.mavet,torvex.dto.kerd,snib,mavet,kerd",
    "engine first": "torvex.dto.torvex,mavet,snib,kerd,torvex.dto.kerd",
}


# The engine needs our mavet (a host replacing it replaces the engine's too): an order that
# imports the engine is tried with ours only.
IDENTITY_CASES = [
    pytest.param(order, dto_on_path, host_own,
                 id=f"{'host mavet' if host_own else 'ours'}-"
                    f"{'dto on path' if dto_on_path else 'package only'}-{order}")
    for order in ORDERS for dto_on_path in (True, False) for host_own in (False, True)
    if not (host_own and "torvex.dto.torvex" in ORDERS[order])
]


@pytest.mark.parametrize("order, dto_on_path, host_own", IDENTITY_CASES)
def test_each_module_exists_once(order, dto_on_path, host_own, request):
    names = ORDERS[order]
    path = [request.getfixturevalue("host_mavet")] if host_own else []
    path += [SRC] + ([DTO] if dto_on_path else []) + [HOST]
    if not dto_on_path:
        # Without the package directory, short names resolve once the package is imported.
        names = "torvex.dto," + names
    out = json.loads(run(PROBE, path, names))
    for name in RECORDS:
        host = host_own and name == "mavet"
        assert out[name] == {"host": host, "same": not host, "spec": f"torvex.dto.{name}"}, name
    if "engine_classes" in out:
        assert out["engine_classes"]
    if not host_own:
        assert out["cross"]


MAKE = textwrap.dedent("""
    import importlib, pickle, sys
    snib = importlib.import_module(sys.argv[1] + "snib")
    mavet = importlib.import_module(sys.argv[1] + "mavet")
    window = mavet.Mavet(101.25, 40, None, 2, 3, 4)
    result, result.success = mavet.MavetResultV2(), mavet.MavetSuccess()
    result.success.mavet = window
    records = [snib.Snib(5, 3, 101.25, 100.5, 42, 1700000000, True, False, 0.75, True), window,
               result]
    sys.stdout.write(pickle.dumps(records).hex())
""")

LOAD = textwrap.dedent("""
    import importlib, pickle, sys
    snib = importlib.import_module(sys.argv[1] + "snib")
    mavet = importlib.import_module(sys.argv[1] + "mavet")
    s, w, r = pickle.loads(bytes.fromhex(sys.stdin.read()))
    assert type(s) is snib.Snib and s.price == 101.25 and s.bar_time_at_pivot == 1700000000
    assert type(w) is mavet.Mavet and w.break_kerd_at_price == 101.25
    assert type(r) is mavet.MavetResultV2 and r.success.mavet.vip_snib_count == 4
    print("loaded")
""")

# (path, prefix): a host importing by short name with the package directory on the path, a host
# importing the package, and one that has only the package directory (no `torvex` package).
WAYS = {
    "short": ([SRC, DTO, HOST], ""),
    "full": ([SRC, HOST], "torvex.dto."),
    "directory only": ([DTO, HOST], ""),
}


# A pickle naming torvex.dto needs the torvex package to load: the directory alone loads only
# what it made itself.
PICKLE_CASES = [(maker, loader) for maker in WAYS for loader in WAYS
                if loader != "directory only" or maker == "directory only"]


@pytest.mark.parametrize("maker, loader", PICKLE_CASES)
def test_pickles_load_through_either_name(maker, loader):
    made = run(MAKE, *WAYS[maker])
    path, prefix = WAYS[loader]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path))
    done = subprocess.run([sys.executable, "-c", LOAD, prefix], input=made, env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stdout == "loaded\n", done.stderr

