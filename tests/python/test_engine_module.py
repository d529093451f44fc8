"""Loading torvex.dto.torvex, the short sibling names, and the Torvex constructor."""

import os
import subprocess
import sys
import textwrap

import pytest
from settings import Settings

import torvex.dto  # noqa: F401  (installs the sibling finder)
from torvex.dto.torvex import Torvex

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# A sanitizer run points TORVEX_PACKAGE_ROOT at its staging copy of the package.
SRC = os.environ.get("TORVEX_PACKAGE_ROOT", os.path.join(ROOT, "src"))
HOST = os.path.join(ROOT, "host")


def run_python(code, *path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path))
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                            capture_output=True, text=True, timeout=120, check=False)
    return result


def test_load_imports_math_the_host_modules_then_the_siblings_in_order():
    result = run_python("""
        import sys
        import torvex.dto
        seen = []
        class Recorder:
            def find_spec(self, name, path=None, target=None):
                seen.append(name)
        sys.modules.pop("math", None)
        sys.meta_path.insert(0, Recorder())
        import torvex.dto.torvex as t
        wanted = ["math", "backtrader", "indicators.common.base_indicator", "settings", "kerd",
                  "snib", "mavet"]
        print([name for name in seen if name in wanted])
        import math, backtrader, settings, kerd, snib, mavet
        import indicators.common.base_indicator as base
        assert t.math is math and t.DataSeries is backtrader.DataSeries
        assert t.BaseIndicator is base.BaseIndicator and t.Settings is settings.Settings
        assert t.Kerd is kerd.Kerd and t.Snib is snib.Snib and t.Mavet is mavet.Mavet
        assert t.MavetResultV2 is mavet.MavetResultV2
        assert t.Torvex.__bases__ == (base.BaseIndicator,)
        """, SRC, HOST)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[0] == (
        "['math', 'backtrader', 'indicators.common.base_indicator', 'settings', 'kerd', 'snib', "
        "'mavet']")


@pytest.mark.parametrize("setup, error", [
    ("sys.modules['settings'] = None", "ModuleNotFoundError: import of settings halted"),
    ("sys.modules['mavet'] = types.ModuleType('mavet')\n"
     + "for n in ('Mavet', 'MavetResult', 'MavetFailure', 'MavetSuccess'):\n"
     + "    setattr(sys.modules['mavet'], n, object)",
     "ImportError: cannot import name 'MavetResultV2' from 'mavet'"),
])
def test_a_failed_import_aborts_the_load_with_its_error(setup, error):
    code = "import sys, types\n" + setup + textwrap.dedent("""
        try:
            import torvex.dto.torvex
        except ImportError as e:
            print(type(e).__name__ + ": " + str(e))
        print("torvex.dto.torvex" in sys.modules)
        """)
    result = run_python(code, SRC, HOST)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith(error)
    assert lines[1] == "False"


def test_short_names_are_the_package_modules_themselves():
    import kerd
    import mavet
    import snib

    import torvex.dto.kerd
    import torvex.dto.mavet
    import torvex.dto.snib
    import torvex.dto.torvex as engine

    assert kerd is torvex.dto.kerd and snib is torvex.dto.snib and mavet is torvex.dto.mavet
    assert engine.Kerd is torvex.dto.kerd.Kerd


def test_a_host_module_of_a_short_name_wins(tmp_path):
    (tmp_path / "snib.py").write_text("class Snib:\n    pass\n")
    result = run_python("""
        import torvex.dto.torvex as t, snib, sys
        import torvex.dto.snib
        print(snib.__file__.endswith("snib.py"), t.Snib is snib.Snib,
              torvex.dto.snib.Snib is not snib.Snib)
        """, str(tmp_path), SRC, HOST)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "True", "True"]


def test_record_modules_load_without_the_host_modules():
    result = run_python("""
        import torvex.dto.snib
        import snib, mavet
        print(snib is torvex.dto.snib, mavet.Mavet.__module__)
        try:
            import kerd
        except ImportError as e:
            print(type(e).__name__, e)
        """, SRC)
    assert result.returncode == 0, result.stderr
    # The first host module that is missing: backtrader may be installed for real.
    assert result.stdout.splitlines() in (
        ["True torvex.dto.mavet", "ModuleNotFoundError No module named 'backtrader'"],
        ["True torvex.dto.mavet", "ModuleNotFoundError No module named 'indicators'"])


def _host_with_metaclass(tmp_path):
    """Host modules whose BaseIndicator has a metaclass and records what its initialiser
    sees; a close of "boom" makes it fail."""
    (tmp_path / "backtrader").mkdir()
    (tmp_path / "backtrader" / "__init__.py").write_text("class DataSeries:\n    pass\n")
    common = tmp_path / "indicators" / "common"
    common.mkdir(parents=True)
    (tmp_path / "indicators" / "__init__.py").write_text("")
    (common / "__init__.py").write_text("")
    (common / "base_indicator.py").write_text(textwrap.dedent("""
        created = []
        class Meta(type):
            def __new__(mcls, name, bases, ns):
                created.append((name, sorted(k for k in ns if not k.startswith("__"))))
                return super().__new__(mcls, name, bases, ns)
        class BaseIndicator(metaclass=Meta):
            def __init__(self, close, open, high, low, bar_index, time, last_bar_index,
                         mintick):
                self.seen = dict(vars(self))
                if close == "boom":
                    raise RuntimeError("base refused")
                self.close, self.open, self.high, self.low = close, open, high, low
                self.bar_index, self.time = bar_index, time
                self.last_bar_index, self.mintick = last_bar_index, mintick
        """))
    (tmp_path / "settings.py").write_text("class Settings:\n    pass\n")


def test_the_class_is_made_by_the_host_metaclass_and_the_base_initialiser_runs_first(tmp_path):
    _host_with_metaclass(tmp_path)
    result = run_python("""
        from torvex.dto.torvex import Torvex
        from indicators.common.base_indicator import Meta, created
        args = [object()] + [[], [], [], []] + [object()] * 4 + [{}]
        e = Torvex(*args, 1.0, 2.0)
        names = dict(created)["Torvex"]
        print(type(Torvex) is Meta, [n for n, _ in created], "update" in names)
        print(e.seen, e.close, e.open, e.high, e.bar_index, e.mintick)
        print(all(getattr(e, n) is a for n, a in zip(
            ["settings", "kerds", "vip_snibs", "new_vip_snibs", "mavets", "normal_high_snib",
             "normal_low_snib", "trending_high_snib", "trending_low_snib", "latest_mavets"],
            args)))
        fresh = Torvex.__new__(Torvex)
        try:
            Torvex.__init__(fresh, *args, "boom")
        except RuntimeError as error:
            print(error, hasattr(fresh, "settings"))
        """, str(tmp_path), SRC)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "True ['BaseIndicator', 'Kerd', 'Torvex'] True",
        "{} 1.0 2.0 None None None",
        "True",
        "base refused False",
    ]


def test_constructor_argument_rules():
    lists = [[], [], [], []]
    with pytest.raises(TypeError):
        Torvex(Settings(), *lists, None, None, None, None)  # nine arguments
    settings, latest = Settings(), {}
    engine = Torvex(settings=settings, kerds=lists[0], vip_snibs=lists[1],
                    new_vip_snibs=lists[2], mavets=lists[3], normal_high_snib=None,
                    normal_low_snib=None, trending_high_snib=None, trending_low_snib=None,
                    latest_mavets=latest, mintick=0.25)
    assert engine.settings is settings and engine.latest_mavets is latest
    assert engine.kerds is lists[0] and engine.mavets is lists[3]
    assert (engine.close, engine.bar_index, engine.mintick) == (None, None, 0.25)
    assert engine.round_to_mintick(0.375) == 0.5
