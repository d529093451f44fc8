import math
import os
import subprocess
import sys
import textwrap
from types import SimpleNamespace

import pytest

from indicators.common.base_indicator import BaseIndicator
from leak_check import block_growth
from torvex.dto import kerd as kerd_module
from torvex.dto.kerd import Kerd, calculate_weighted_kerd_value, swap
from torvex.series import Series

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PACKAGE_ROOT = os.environ.get("TORVEX_PACKAGE_ROOT", os.path.join(ROOT, "src"))

OPTIONAL = dict(bar_crosses=0, violated=False, extended=False, extend_end_bar_index=0,
                bar_crosses_post_extend=0, historical_extend_bar_crosses_checked=False,
                post_extend_end_bar_index=0)


class LogSeries:
    """A host series over a list: s[0] the last value, s[-k] k bars back; logs its reads."""

    def __init__(self, values, log=None, name=""):
        self.values, self.log, self.name = list(values), log, name

    def __getitem__(self, offset):
        if self.log is not None:
            self.log.append((self.name, offset))
        if offset > 0 or -offset >= len(self.values):
            raise IndexError("before the first bar")
        return self.values[len(self.values) - 1 + offset]


def line(start=0, end=0, value=10.0, values=None, *, close=None, open=None, bar_index=0,
         mintick=0.01, **extra):
    return Kerd(close, open, None, None, bar_index, None, bar_index, mintick, start, end,
                1000 + start, 1000 + end, value, value, [value] if values is None else values,
                1.0, **extra)


def bars(pairs, log=None, series=LogSeries):
    """close and open series over (open, close) pairs, oldest first."""
    opens = [o for o, _ in pairs]
    closes = [c for _, c in pairs]
    if series is LogSeries:
        return dict(close=LogSeries(closes, log, "close"), open=LogSeries(opens, log, "open"))
    return dict(close=series(closes), open=series(opens))


# ---- construction

def test_constructor_sets_base_values_then_attributes_with_defaults(monkeypatch):
    seen = {}

    def base_init(self, *args):
        seen["args"] = args
        seen["line_attrs_before"] = [a for a in ("start_bar_index", "snib_values")
                                     if hasattr(self, a)]
        self.close = args[0]
        self.bar_index = args[4]

    monkeypatch.setattr(BaseIndicator, "__init__", base_init)
    values = [1.0, 2.0]
    k = Kerd("c", "o", "h", "l", 7, "t", 9, 0.5, 1, 2, 101, 102, 1.5, 3.0, values, 0.25)
    assert seen["args"] == ("c", "o", "h", "l", 7, "t", 9, 0.5)
    assert seen["line_attrs_before"] == []
    assert {name: getattr(k, name) for name in OPTIONAL} == OPTIONAL
    assert (k.start_bar_index, k.end_bar_index, k.start_time, k.end_time) == (1, 2, 101, 102)
    assert k.snib_values is values
    values.append(3.0)
    assert k.snib_values == [1.0, 2.0, 3.0]
    # Attribute values are stored as given, and new attributes can be added.
    k.kerd_value = "anything"
    k.note = 5
    assert (k.kerd_value, k.note) == ("anything", 5)


def test_constructor_by_keyword_and_argument_errors():
    k = Kerd(close=None, open=None, high=None, low=None, bar_index=3, time=None, last_bar_index=4,
             mintick=0.1, start_bar_index=1, end_bar_index=1, start_time=5, end_time=5,
             kerd_value=2.0, kerd_accum_value=2.0, snib_values=[2.0], close_avg_percent=0.5,
             violated=True)
    assert isinstance(k, BaseIndicator) and k.violated is True and k.last_bar_index == 4
    with pytest.raises(TypeError):
        Kerd(None, None, None, None, 0, None, 0, 0.1, 1, 1, 5, 5, 2.0, 2.0, [2.0])
    with pytest.raises(TypeError):
        line(nonsense=1)
    with pytest.raises(TypeError, match="given by name"):
        Kerd(None, None, None, None, 0, None, 0, 0.1, 1, 1, 5, 5, 2.0, 2.0, [2.0], 0.5,
             start_bar_index=1)
    # A keyword name built at run time is not interned; it still matches.
    built = "".join(["extend_end_", "bar_index"])
    assert line(**{built: 4}).extend_end_bar_index == 4


def test_class_is_built_like_a_class_statement():
    assert Kerd.__module__ == "torvex.dto.kerd" and Kerd.__qualname__ == "Kerd"
    assert Kerd.__bases__ == (BaseIndicator,)
    assert kerd_module.BaseIndicator is BaseIndicator
    assert kerd_module.math is math and kerd_module.DataSeries.__name__ == "DataSeries"
    assert Kerd.overlap.__doc__ == ("Check if the target kerd_value overlaps with the source "
                                    "kerd_value based on the given threshold.")
    assert swap.__doc__ == "Swap two elements in a list of Kerd objects at specified indices."

    class Sub(Kerd):
        def overlap(self, target, threshold):
            return "mine"

    s = Sub(None, None, None, None, 0, None, 0, 0.1, 1, 1, 5, 5, 2.0, 2.0, [2.0], 0.5)
    assert s.overlap(s, 1) == "mine" and Kerd.overlap(s, s, 1) is True


# ---- weighting and rounding

@pytest.mark.parametrize("values, weights, expected", [
    ([10, 20, 30], (3, 2, 1), 140 / 6),
    ([4.0, 8.0], (1, 3, 100), 5.0),
    ([], (3, 2, 1), 0.0),
    ([], (None, "x", object()), 0.0),           # unused weights are never looked at
    ([5.0], (0, 2, 1), 0.0),
    ([5.0], (2, "unused", None), 5.0),
    ([7.0, 9.0], (1, -1, 1), 0.0),
    ((1.0, 3.0), (1, 1, 1), 2.0),               # any sized, indexable object
    ([0.1, 0.2, 0.3], (1, 1, 1), (0.1 + 0.2 + 0.3) / 3),
])
def test_weighted_value(values, weights, expected):
    assert calculate_weighted_kerd_value(values, *weights) == expected


@pytest.mark.parametrize("values, weights", [
    ([1.0, "a"], (1, 1, 1)),
    ([1.0, None], (1, 1, 1)),
    ([1.0, 2.0], ("w", 1, 1)),
    ([1.0, 2.0, 3.0], (1, 1, None)),
    (5, (1, 1, 1)),                              # no length
    ((x for x in [1.0]), (1, 1, 1)),             # no length
])
def test_weighted_value_rejects_non_numbers(values, weights):
    with pytest.raises(TypeError):
        calculate_weighted_kerd_value(values, *weights)


def test_update_kerd_value_reads_own_values_unrounded():
    k = line(values=[10.0, 20.0, 30.0], mintick=1.0)
    assert k.update_kerd_value(3, 2, 1) is None
    assert k.kerd_value == 140 / 6
    k.snib_values = ["bad"]
    with pytest.raises(TypeError):
        k.update_kerd_value(3, 2, 1)
    assert k.kerd_value == 140 / 6


@pytest.mark.parametrize("mintick, price, expected", [
    (0.25, 0.125, 0.0), (0.25, 0.375, 0.5), (0.01, 1.23456, 123 * 0.01), (1, 2.5, 2.0),
    (1, -2.5, -2.0), (1, 3.5, 4.0), (0.5, 7, 7.0),
    (0.01, -0.003, 0.0), (-0.01, 0.003, -0.0),  # a whole number of ticks has no sign of its own
])
def test_round_to_mintick_halves_to_even(mintick, price, expected):
    result = line(mintick=mintick).round_to_mintick(price)
    assert repr(result) == repr(expected) and type(result) is float


@pytest.mark.parametrize("mintick, price, error", [
    (0, 1.0, ZeroDivisionError), (0.0, 1.0, ZeroDivisionError), (0.1, "1", TypeError),
    ("x", 1.0, TypeError), (0.1, math.nan, ValueError), (0.1, math.inf, OverflowError),
])
def test_round_to_mintick_errors(mintick, price, error):
    with pytest.raises(error):
        line(mintick=mintick).round_to_mintick(price)


# ---- comparison and tests

def test_not_equal_needs_all_six_and_compares_like_python():
    a, b = line(1, 2, 10.0), line(3, 4, 11.0)
    assert a.not_equal(b) and not a.not_equal(a)
    b.kerd_accum_value = a.kerd_accum_value
    assert not a.not_equal(b)
    # NaN differs from itself, as `!=` says, even for the same object.
    nan = math.nan
    a.kerd_value = b.kerd_value = nan
    b.kerd_accum_value = 99.0
    assert a.not_equal(b)
    # It stops at the first equal pair: later attributes are not read.
    stub = SimpleNamespace(start_bar_index=1)
    assert a.not_equal(stub) is False
    with pytest.raises(AttributeError):
        a.not_equal(SimpleNamespace(start_bar_index=9))


@pytest.mark.parametrize("level, other, threshold, expected", [
    (100, 98, 2, True), (100, 102, 2, True), (100, 97.99, 2, False), (100, 102.01, 2, False),
    (100, 101.52, 1.5, False), (101.52, 100, 1.5, True),
])
def test_overlap_band_is_own(level, other, threshold, expected):
    assert line(value=level).overlap(line(value=other), threshold) is expected


def test_overlap_accepts_any_object_with_a_level_and_rejects_bad_thresholds():
    assert line(value=100.0).overlap(SimpleNamespace(kerd_value=100), 0)
    with pytest.raises(AttributeError):
        line().overlap(object(), 1)
    with pytest.raises(TypeError):
        line().overlap(line(), "1")


def test_crossing_scan_reads_close_then_open_over_the_gap():
    log = []
    # Bars 0..5, current bar 5. self ends at bar 1, end_kerd at bar 4: bars 1..3 are scanned.
    series = bars([(0, 0), (9, 11), (10, 11), (11, 9), (9, 11), (9, 11)], log)
    self_line = line(0, 1, 10.0, bar_index=5, **series)
    end_kerd = line(4, 4, 10.0)
    assert self_line.is_kerd_bar_crosses_violated_if_merged(end_kerd, 1, 1, 1, 1, 0) is True
    assert log == [("close", -4), ("open", -4), ("close", -3), ("open", -3),
                   ("close", -2), ("open", -2)]
    assert self_line.is_kerd_bar_crosses_violated_if_merged(end_kerd, 2, 1, 1, 1, 0) is False
    assert self_line.is_kerd_bar_crosses_violated_if_merged(end_kerd, 3, 1, 1, 1, 2) is True
    assert self_line.snib_values == [10.0] and end_kerd.snib_values == [10.0]


@pytest.mark.parametrize("series_type", [LogSeries, Series])
def test_crossing_scan_uses_the_merged_level(series_type):
    series = bars([(0, 0), (10.5, 11.5), (0, 0)], series=series_type)
    self_line = line(0, 1, 10.0, bar_index=2, **series)
    end_kerd = line(2, 2, 12.0)
    # (10 + 12 * 3) / 4 = 11.5 only touches the body; equal weights give 11, inside it.
    assert not self_line.is_kerd_bar_crosses_violated_if_merged(end_kerd, 0, 3, 1, 1, 0)
    assert self_line.is_kerd_bar_crosses_violated_if_merged(end_kerd, 0, 1, 1, 1, 0)


def test_crossing_scan_without_bars_reads_no_series():
    k = line(0, 3, 10.0, bar_index=3)          # no series at all
    del k.close
    same_end = line(1, 3, 10.0)
    assert not k.is_kerd_bar_crosses_violated_if_merged(same_end, 3, 1, 1, 1, 3)
    assert k.is_kerd_bar_crosses_violated_if_merged(same_end, 3, 1, 1, 1, 4)
    assert k.is_kerd_bar_crosses_violated_if_merged(same_end, 3.5, 1, 1, 1, 3.75)


class Boom(Exception):
    pass


class RaisingSeries:
    def __getitem__(self, offset):
        raise Boom(offset)


@pytest.mark.parametrize("close, open, error", [
    (RaisingSeries(), LogSeries([1.0] * 9), Boom),
    (Series([9.0, 11.0]), Series([9.0, 11.0]), IndexError),   # runs out of history
    (LogSeries([9.0, 11.0]), LogSeries([9.0, 11.0]), IndexError),
    (LogSeries([1.0] * 9), None, TypeError),                   # not subscriptable
    (LogSeries(["x"] * 9), LogSeries([1.0] * 9), TypeError),  # not a number
])
def test_crossing_scan_passes_series_errors(close, open, error):
    k = line(0, 0, 10.0, bar_index=5, close=close, open=open)
    with pytest.raises(error):
        k.is_kerd_bar_crosses_violated_if_merged(line(3, 3), 0, 1, 1, 1, 0)


def test_crossing_count_converts_where_python_would():
    series = bars([(9, 11), (9, 11), (9, 11)])
    k = line(0, 0, 10.0, bar_index=2, **series)
    with pytest.raises(TypeError):        # the first crossing adds 1 to it
        k.is_kerd_bar_crosses_violated_if_merged(line(2, 2), 0, 1, 1, 1, None)
    with pytest.raises(AttributeError):   # lines lacking attributes
        k.is_kerd_bar_crosses_violated_if_merged(SimpleNamespace(end_bar_index=2), 0, 1, 1, 1, 0)


@pytest.mark.parametrize("start, end, limit, expected", [
    (10, 20, 10, True), (10, 21, 10, False), (10, 20, 10.5, True), (10, 5, -5, True),
])
def test_length_limit_is_inclusive(start, end, limit, expected):
    assert line(start, start).is_kerd_length_passed_if_merged(line(end, end), limit) is expected


def test_extreme_bar_indices_do_not_wrap():
    # Differences of 64-bit bar indices are exact: a span past 2**63 is too long, not negative,
    # and an offset no series can serve fails instead of reading a wrapped one.
    assert not line(-2**63, -2**63).is_kerd_length_passed_if_merged(line(2**63 - 1, 2**63 - 1), 0)
    k = line(-2**63, -2**63, 10.0, bar_index=5, **bars([(9, 11)] * 9))
    with pytest.raises(OverflowError):
        k.is_kerd_bar_crosses_violated_if_merged(line(5, 5), 0, 1, 1, 1, 0)


# ---- merging

def test_forward_merge_extends_the_shared_list_and_resets_extension():
    values = [1.0, 2.0]
    k = line(1, 2, 1.5, values, extended=True, historical_extend_bar_crosses_checked=True,
             bar_crosses_post_extend=4, post_extend_end_bar_index=7, extend_end_bar_index=6,
             bar_crosses=2, violated=True)
    k.kerd_accum_value = 3.0
    target = line(5, 5, 3.0, [3.0])
    target.kerd_accum_value = 30.0
    assert k.merge(target, 3, 2, 1, False) is True
    assert k.snib_values is values and values == [1.0, 2.0, 3.0]
    assert k.kerd_accum_value == 6.0 and k.kerd_value == (1 + 4 + 9) / 6
    assert (k.start_bar_index, k.end_bar_index, k.end_time) == (1, 5, 1005)
    assert (k.extended, k.historical_extend_bar_crosses_checked, k.bar_crosses_post_extend,
            k.post_extend_end_bar_index, k.extend_end_bar_index) == (False, False, 0, 0, 0)
    assert (k.bar_crosses, k.violated) == (2, True)
    assert target.snib_values == [3.0]


@pytest.mark.parametrize("backward", [True, 1, "yes", [0]])
def test_backward_merge_builds_a_new_list(backward):
    values = [1.0, 2.0]
    k = line(5, 6, 1.5, values, extended=True, extend_end_bar_index=8,
             historical_extend_bar_crosses_checked=True)
    k.merge(line(2, 2, 3.0, [3.0]), 3, 2, 1, backward)
    assert k.snib_values == [3.0, 1.0, 2.0] and values == [1.0, 2.0]
    assert (k.start_bar_index, k.start_time, k.end_bar_index) == (2, 1002, 6)
    assert (k.extended, k.extend_end_bar_index, k.historical_extend_bar_crosses_checked) == (
        False, 8, True)


def test_merge_of_lines_sharing_an_attribute_changes_nothing():
    k = line(1, 2, 1.0)
    before = dict(vars(k))
    assert k.merge(line(1, 4, 2.0), 3, 2, 1, None) is True
    assert vars(k) == before


class SecondReadFails:
    """A line whose attribute `name` can be read once (by not_equal) and then raises."""

    def __init__(self, name, source):
        self.__dict__.update(vars(source))
        self._name, self._reads = name, 0

    def __getattribute__(self, attr):
        state = object.__getattribute__(self, "__dict__")
        if attr == state.get("_name"):
            state["_reads"] += 1
            if state["_reads"] > 1:
                raise Boom(attr)
        return object.__getattribute__(self, attr)


@pytest.mark.parametrize("backward, name, done", [
    # The attribute copied in the fourth step fails: steps 1 to 3 stay done, 5 is not reached.
    (False, "end_bar_index", dict(snib_values=[1.0, 2.0], kerd_accum_value=3.0, kerd_value=1.5,
                                  end_bar_index=2, extended=True)),
    (False, "end_time", dict(end_bar_index=4, end_time=1002, extended=True)),
    (True, "start_time", dict(snib_values=[2.0, 1.0], kerd_accum_value=3.0, kerd_value=1.5,
                              start_bar_index=4, start_time=1001, extended=True)),
    # The target's level is read after the list has changed.
    (True, "kerd_value", dict(snib_values=[2.0, 1.0], kerd_accum_value=1.0, kerd_value=1.0)),
])
def test_merge_failing_part_way_keeps_earlier_steps(backward, name, done):
    k = line(1, 2, 1.0, [1.0], extended=True)
    target = SecondReadFails(name, line(4, 4, 2.0, [2.0]))
    with pytest.raises(Boom):
        k.merge(target, 1, 1, 1, backward)
    assert {attr: getattr(k, attr) for attr in done} == done


def test_forward_merge_takes_any_iterable_like_extend():
    k = line(1, 2, 1.0, [1.0])
    k.merge(SimpleNamespace(**{**vars(line(4, 4, 2.0)), "snib_values": iter([2.0])}), 1, 1, 1, 0)
    assert k.snib_values == [1.0, 2.0]
    with pytest.raises(TypeError, match="not iterable"):
        k.merge(SimpleNamespace(**{**vars(line(6, 6, 5.0)), "snib_values": 3.0}), 1, 1, 1, 0)


def test_merge_errors_from_values_and_weights():
    k = line(1, 2, 1.0, (1.0,))
    with pytest.raises(AttributeError):            # a tuple cannot be extended in place
        k.merge(line(4, 4, 2.0), 1, 1, 1, False)
    k = line(1, 2, 1.0, [1.0])
    with pytest.raises(TypeError):                 # list + tuple
        k.merge(line(4, 4, 2.0, (2.0,)), 1, 1, 1, True)
    assert k.snib_values == [1.0] and k.kerd_accum_value == 1.0
    with pytest.raises(TypeError):
        k.merge(line(4, 4, 2.0, [2.0]), "w", 1, 1, False)
    assert k.snib_values == [1.0, 2.0] and k.kerd_accum_value == 3.0 and k.kerd_value == 1.0


# ---- swap

def test_swap_exchanges_in_place():
    a, b, c = object(), object(), object()
    kerds = [a, b, c]
    assert swap(kerds, 0, 2) is None and kerds == [c, b, a]
    swap(kerds, 1, 1)
    assert kerds == [c, b, a]


@pytest.mark.parametrize("x, y", [(-1, 0), (0, -1), (3, 0), (0, 3), (10**30, 0), (-10**30, 1)])
def test_swap_rejects_out_of_range(x, y):
    kerds = [1, 2, 3]
    with pytest.raises(IndexError, match=r"^Index out of range for the list of Kerd objects\.$"):
        swap(kerds, x, y)
    assert kerds == [1, 2, 3]


def test_swap_passes_host_errors():
    with pytest.raises(TypeError):
        swap((1, 2), 0, 1)
    with pytest.raises(TypeError):
        swap([1, 2], 0.0, 1)
    with pytest.raises(TypeError):
        swap(5, 0, 1)


# ---- module load

def run_python(code, host_dir, *flags):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE_ROOT, str(host_dir)]))
    return subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True)


def write_host(tmp_path, base_source, backtrader="class DataSeries: pass\n"):
    package = tmp_path / "indicators" / "common"
    package.mkdir(parents=True)
    (tmp_path / "indicators" / "__init__.py").write_text("")
    (package / "__init__.py").write_text("")
    (package / "base_indicator.py").write_text(textwrap.dedent(base_source))
    if backtrader is not None:
        (tmp_path / "backtrader.py").write_text(backtrader)


def test_class_goes_through_the_base_metaclass(tmp_path):
    write_host(tmp_path, """
        calls = []

        class Meta(type):
            @classmethod
            def __prepare__(mcls, name, bases):
                calls.append(("prepare", name))
                return {"prepared": True}

            def __new__(mcls, name, bases, ns):
                calls.append(("new", name, sorted(k for k in ns if not k.startswith("__"))))
                return super().__new__(mcls, name, bases, ns)

        class BaseIndicator(metaclass=Meta):
            def __init__(self, close, open, high, low, bar_index, time, last_bar_index, mintick):
                self.close, self.open, self.bar_index, self.mintick = close, open, bar_index, mintick
    """)
    result = run_python("""
        from indicators.common import base_indicator as b
        from torvex.dto.kerd import Kerd
        print(type(Kerd).__name__, b.calls[-2], b.calls[-1][0], b.calls[-1][1], Kerd.prepared)
        print(b.calls[-1][2])
        k = Kerd(None, None, None, None, 0, None, 0, 0.5, 1, 1, 5, 5, 2.0, 2.0, [2.0], 0.5)
        print(k.round_to_mintick(0.75))
    """, tmp_path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "Meta ('prepare', 'Kerd') new Kerd True"
    assert lines[1] == str(sorted(["prepared", "round_to_mintick", "not_equal",
                                   "update_kerd_value", "merge", "overlap",
                                   "is_kerd_bar_crosses_violated_if_merged",
                                   "is_kerd_length_passed_if_merged"]))
    assert lines[2] == "1.0"


@pytest.mark.parametrize("backtrader, error", [
    (None, "ModuleNotFoundError: No module named 'backtrader'"),
    ("X = 1\n", "ImportError: cannot import name 'DataSeries' from 'backtrader'"),
])
def test_failed_import_aborts_the_load(tmp_path, backtrader, error):
    write_host(tmp_path, "class BaseIndicator: pass\n", backtrader)
    # -S: without site-packages, where a real backtrader may be installed
    result = run_python("import torvex.dto.kerd", tmp_path, "-S")
    assert result.returncode != 0 and error in result.stderr


# ---- references

def kerd_workload():
    series = bars([(9, 11), (10, 12), (11, 9), (9, 11)])
    k = line(0, 0, 10.0, [9.0, 10.0], bar_index=3, **series)
    other = line(2, 3, 10.5, [10.5])
    k.overlap(other, 2)
    k.is_kerd_bar_crosses_violated_if_merged(other, 1, 3, 2, 1, 0)
    k.is_kerd_length_passed_if_merged(other, 5)
    k.merge(other, 3, 2, 1, False)
    k.merge(line(-3, -2, 9.5), 3, 2, 1, True)
    k.round_to_mintick(10.005)
    calculate_weighted_kerd_value((1.0, 2.0, 3.0), 3, 2, 1)
    swap([k, other], 0, 1)
    for action in (lambda: k.round_to_mintick("x"), lambda: line(mintick=0).round_to_mintick(1),
                   lambda: swap([k], 0, 1), lambda: calculate_weighted_kerd_value(5, 1, 1, 1),
                   lambda: k.merge(SecondReadFails("end_time", line(7, 8, 1.0)), 1, 1, 1, 0),
                   lambda: line(0, 0, bar_index=9, **series).is_kerd_bar_crosses_violated_if_merged(
                       line(5, 5), 0, 1, 1, 1, 0),
                   lambda: Kerd(1, 2)):
        try:
            action()
        except (TypeError, ZeroDivisionError, IndexError, Boom):
            pass


def test_repeated_use_does_not_grow_memory():
    growth = block_growth(kerd_workload, 200, 2000)
    assert min(growth) < 200, growth
