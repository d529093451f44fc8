"""The engine's window operations through torvex.dto.torvex with hand-made bars, for what only
the Python model can get wrong: the host's lists and series (the package's and a plain Python
one), the results as records with copies of their windows, the engine's own rounding and choice
of a success, thresholds converted at their use, and what survives a failing host object. The
window rules themselves are the core's: tests/cpp tests them case by case on the native model,
and test_windows_differential.py holds this model to it.

Unless a test says otherwise the window is at level 100, broken at bar 40, and every margin is
1 % (close_avg_percent 1, thresholds 1): the level is cleared by a close above 101 and a low L
by a close above L * 1.01.
"""

import gc
import sys
import types

import pytest
from settings import Settings

from torvex.dto.kerd import Kerd
from torvex.dto.mavet import (
    Mavet,
    MavetFailure,
    MavetResult,
    MavetResultV2,
    MavetSuccess,
)
from torvex.dto.torvex import Torvex
from torvex.series import Series
from plain_series import PlainSeries

NAN = float("nan")


def package_series(values):
    return Series(values)


SERIES = pytest.mark.parametrize("make_series", [package_series, PlainSeries],
                                 ids=["package", "plain"])


class Market:
    """Bars 0..n-1, flat at close 100 and low 99 unless shaped; the engine is moved to a bar
    by replacing its series with ones that end there."""

    def __init__(self, make_series, n=120, engine_class=Torvex, settings=None):
        self.make_series = make_series
        self.close = [100.0] * n
        self.low = [99.0] * n
        self.kerds, self.mavets, self.latest = [], [], {}
        self.settings = settings if settings is not None else Settings(
            kerd_extend_bar_cross_threshold=3)
        nan = make_series([NAN])
        self.engine = engine_class(self.settings, self.kerds, [], [], self.mavets, nan, nan, nan,
                                   nan, self.latest, None, None, None, None, 0, None, n - 1, 0.01)

    def bar(self, i, close, low):
        self.close[i], self.low[i] = close, low

    def at(self, i):
        e = self.engine
        e.close = self.make_series(self.close[:i + 1])
        e.low = self.make_series(self.low[:i + 1])
        e.open = e.close
        e.high = self.make_series([c + 1 for c in self.close[:i + 1]])
        e.bar_index = i
        return e

    def window(self, price=100.0, broke_at=40, closes_above=10, crosses=0, pivots=1):
        w = Mavet(price, broke_at, None, crosses, closes_above, pivots)
        self.mavets.append(w)
        return w

    def recovering_bar(self, i=45):
        """Bar i completes a recovery at once: close 103 clears the level and bar i-1's low."""
        self.bar(i - 1, 100, 99)
        self.bar(i, 103, 101)


def line(level, crosses=0, pivots=1):
    return types.SimpleNamespace(kerd_value=level, bar_crosses_post_extend=crosses,
                                 snib_values=[level] * pivots)


def v3(engine, trap=10, signal_window=10, bar_count=5, vvip=3):
    return engine.check_mavet_v3(1, 1, trap, signal_window, 1, 1, bar_count, vvip)


def v1(engine, trap=10, signal_window=10, bar_count=5):
    return engine.check_mavet(1, 1, trap, signal_window, 1, bar_count)


def fields(w):
    return (w.break_kerd_at_price, w.break_kerd_at_bar_index, w.recover_at_bar_index,
            w.break_kerd_extend_bar_cross, w.bar_count_close_above_kerd, w.vip_snib_count,
            w.recovered)


# ---- update_mavet and commit_latest_mavet


@SERIES
def test_update_mavet_appends_windows_to_the_host_list(make_series):
    m = Market(make_series)
    closes = [100, 99, 101, 98, 100]  # bars 5..9: three at or above the level
    for i, c in enumerate(closes):
        m.bar(5 + i, c, c - 1)
    m.bar(10, 99, 98)
    mavets = m.mavets
    m.kerds.extend([line(100.0, crosses=2, pivots=4), line(90.0)])
    assert m.at(10).update_mavet(5, 5, 1, 1) is None
    assert m.engine.mavets is mavets and len(mavets) == 1
    assert type(mavets[0]) is Mavet
    assert fields(mavets[0]) == (100.0, 10, -1, 2, 3, 4, False)


def test_a_real_line_opens_a_window():
    m = Market(package_series)
    m.bar(9, 101, 100)
    m.bar(10, 99, 98)
    e = m.at(10)
    k = Kerd(e.close, e.open, e.high, e.low, 10, None, 119, 0.01, 3, 5, 3, 5, 100.0, 300.0,
             [100.0, 100.0], 1.0, bar_crosses_post_extend=1)
    m.kerds.append(k)
    e.update_mavet(5, 2, 1, 1)
    assert fields(m.mavets[0]) == (100.0, 10, -1, 1, 2, 2, False)


@SERIES
def test_commit_keys_by_the_engines_rounding(make_series):
    m = Market(make_series)
    m.at(20).commit_latest_mavet(100.004)
    m.at(30).commit_latest_mavet(99.996)
    m.at(31).commit_latest_mavet(101)
    assert m.latest == {round(100.0 / 0.01) * 0.01: 30, round(101 / 0.01) * 0.01: 31}


def test_commit_passes_the_price_as_given_to_an_overriding_round_to_mintick():
    seen = []

    class Engine(Torvex):
        def round_to_mintick(self, price):
            seen.append(price)
            return ("level", price)

    m = Market(package_series, engine_class=Engine)
    price = 7
    m.at(12).commit_latest_mavet(price)
    assert seen == [7] and type(seen[0]) is int
    assert m.latest == {("level", 7): 12}


# ---- check_mavet_v3 and check_mavet: the results as records (the rules themselves are the
# core's, tested on the native model and against it)

VIOLATIONS = ["violate_extend_bar_cross", "violate_recover_window", "violate_signal_window",
              "violate_search_range_close_above_bar_count"]


def failing_market():
    """A recovery on bar 45 that fails all four rules with the thresholds of v3 and v1."""
    m = Market(package_series)
    m.recovering_bar()
    w = m.window(crosses=4)
    m.latest[m.engine.round_to_mintick(100.0)] = 40
    return m, w


def test_a_third_form_failure_is_a_record_with_a_copy_of_the_window():
    m, w = failing_market()
    result = v3(m.at(45), trap=5, bar_count=11)
    f = result.failure
    assert type(result) is MavetResultV2 and type(f) is MavetFailure and result.success is None
    assert f.close_above_low_and_kerd is True and all(getattr(f, v) for v in VIOLATIONS)
    assert f.mavet is not w and fields(f.mavet) == fields(w)
    assert (w.recover_at_bar_index, w.recovered) == (45, True)


def test_a_first_form_failure_is_a_record_without_a_window():
    m, w = failing_market()
    result = v1(m.at(45), trap=5, bar_count=11)
    assert type(result) is MavetResult
    assert (result.has_signal, result.close_above_low_and_kerd, result.mavet) == (False, True, None)
    assert all(getattr(result, v) for v in VIOLATIONS)
    assert (w.recover_at_bar_index, w.recovered) == (45, False)


@pytest.mark.parametrize("trap, passes", [(5.5, False), (6.0, True)])
def test_a_float_threshold_compares_as_a_number(trap, passes):
    m = Market(package_series)
    m.recovering_bar()
    m.window()  # broken at 40, recovered at 45: 6 bars
    assert v3(m.at(45), trap=trap).is_kerd_satisfied() is passes


def test_a_success_is_a_record_with_a_copy_of_the_window():
    m = Market(package_series)
    m.recovering_bar()
    w = m.window(pivots=3)
    result = v3(m.at(45))
    assert type(result.success) is MavetSuccess and result.failure is None
    assert result.is_vvip_signal() and result.success.signal_debug_line is None
    assert result.success.mavet is not w and fields(result.success.mavet) == fields(w)
    assert m.latest == {}


# ---- one outcome per bar


def test_no_windows_give_an_empty_result():
    m = Market(package_series)
    result = v3(m.at(45))
    assert (result.failure, result.success) == (None, None)
    assert not result.recovery_has_result()


def test_copies_in_results_are_independent_of_the_live_windows():
    m = Market(package_series)
    m.recovering_bar()
    w = m.window()
    success = v3(m.at(45)).success
    w.recover_at_bar_index = 77
    w.break_kerd_at_price = 1.0
    assert (success.mavet.recover_at_bar_index, success.mavet.break_kerd_at_price) == (45, 100.0)
    assert success.mavet.recovered is True


def test_commits_space_signals_on_a_level():
    m = Market(package_series)
    m.recovering_bar(45)
    m.window()
    result = v3(m.at(45))
    m.engine.commit_latest_mavet(result.success.mavet.break_kerd_at_price)
    m.window(100.004, broke_at=48)  # rounds to the committed level
    m.recovering_bar(50)
    assert v3(m.at(50)).violate_signal_window()
    m.window(100.004, broke_at=53)
    m.recovering_bar(56)
    assert v3(m.at(56)).is_kerd_satisfied()


def test_a_subclass_chooses_the_success():
    seen = []

    class Engine(Torvex):
        def get_success_by_vvip(self, successes):
            seen.append(list(successes))
            return successes[-1]

    m = Market(package_series, engine_class=Engine)
    m.recovering_bar()
    m.window(100.0, pivots=5)
    m.window(99.0)
    result = v3(m.at(45))
    assert len(seen) == 1 and len(seen[0]) == 2
    assert result.success is seen[0][1]


def test_unused_thresholds_are_never_looked_at():
    m = Market(package_series)
    m.recovering_bar()
    e = m.at(45)
    assert e.check_mavet_v3(None, None, None, None, None, None, None, None).success is None
    assert e.check_mavet(None, None, None, None, None, None).mavet is None
    e.update_mavet(None, None, None, None)
    # A recovery with no committed level never needs signal_window, a failure never the vvip
    # count.
    m.window()
    assert e.check_mavet_v3(1, 1, 10, None, 1, 1, 5, 3).is_kerd_satisfied()
    m.window(closes_above=0)
    assert e.check_mavet_v3(1, 1, 10, None, 1, 1, 5, None).recovery_failed()


# ---- get_success_by_vvip on any host list


def success(vvip):
    return types.SimpleNamespace(is_vvip_signal=vvip)


@pytest.mark.parametrize("make", [list, tuple])
def test_get_success_by_vvip_reads_any_host_sequence(make):
    e = Market(package_series).engine
    items = [success(0), success([1]), success(True)]
    assert e.get_success_by_vvip(make(items)) is items[1]
    assert e.get_success_by_vvip(make(items[:1])) is items[0]
    assert e.get_success_by_vvip(make([])) is None
    records = [MavetSuccess(True, False), MavetSuccess(True, True)]
    assert e.get_success_by_vvip(successes=make(records)) is records[1]


def test_get_success_by_vvip_errors_come_out_unchanged():
    e = Market(package_series).engine
    with pytest.raises(AttributeError, match="is_vvip_signal"):
        e.get_success_by_vvip([success(False), object()])
    with pytest.raises(TypeError):
        e.get_success_by_vvip(None)


# ---- failures: the error unchanged, earlier changes kept


def test_a_line_lacking_an_attribute_keeps_earlier_windows_and_skips_ageing():
    m = Market(package_series)
    m.window(50.0, broke_at=0)
    m.kerds.extend([line(100.0), types.SimpleNamespace(kerd_value=100.0), line(100.0)])
    m.bar(9, 101, 100)
    m.bar(10, 99, 98)
    with pytest.raises(AttributeError, match="bar_crosses_post_extend"):
        m.at(10).update_mavet(1, 0, 1, 1)
    assert [w.break_kerd_at_bar_index for w in m.mavets] == [0, 10]


class HugeCount:
    def __len__(self):
        return 2**31


@pytest.mark.parametrize("bad", [line(100.0, crosses=2**31),
                                 types.SimpleNamespace(kerd_value=100.0,
                                                       bar_crosses_post_extend=0,
                                                       snib_values=HugeCount())],
                         ids=["crossings", "pivot count"])
def test_a_count_beyond_int32_fails_and_keeps_earlier_windows(bad):
    m = Market(package_series)
    m.kerds.extend([line(100.0), bad, line(100.0)])
    m.bar(9, 101, 100)
    m.bar(10, 99, 98)
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        m.at(10).update_mavet(1, 0, 1, 1)
    assert len(m.mavets) == 1


@SERIES
def test_a_series_that_cannot_reach_the_search_range(make_series):
    m = Market(make_series)
    m.kerds.append(line(100.0))
    m.bar(2, 101, 100)
    m.bar(3, 99, 98)
    m.at(3).update_mavet(1, 3, 1, 1)
    assert len(m.mavets) == 1
    with pytest.raises(IndexError):
        m.engine.update_mavet(1, 4, 1, 1)
    assert len(m.mavets) == 1


@pytest.mark.parametrize("search_range", [4.0, "4", None])
def test_search_range_must_be_an_integer(search_range):
    m = Market(package_series)
    m.kerds.append(line(100.0))
    with pytest.raises(TypeError):
        m.at(10).update_mavet(1, search_range, 1, 1)


def test_a_window_lacking_a_field_keeps_earlier_marks():
    m = Market(package_series)
    m.recovering_bar()
    w = m.window()
    m.mavets.append(types.SimpleNamespace(break_kerd_at_price=100.0))
    later = m.window()
    with pytest.raises(AttributeError, match="recovered"):
        v3(m.at(45))
    assert (w.recovered, w.recover_at_bar_index) == (True, 45)
    assert (later.recovered, later.recover_at_bar_index) == (False, -1)


def test_a_missing_setting_fails_after_the_recovery_mark():
    m = Market(package_series, settings=types.SimpleNamespace())
    m.recovering_bar()
    w = m.window()
    with pytest.raises(AttributeError, match="kerd_extend_bar_cross_threshold"):
        v3(m.at(45))
    assert (w.recovered, w.recover_at_bar_index) == (True, 45)


def test_an_unreachable_recovery_bar_fails_and_keeps_earlier_marks():
    m = Market(PlainSeries)
    m.recovering_bar()
    first = m.window()
    m.window().recover_at_bar_index = -5  # before the first bar
    with pytest.raises(IndexError, match="out of reach"):
        v3(m.at(45))
    assert first.recovered


def test_a_recovery_bar_beyond_int32_fails_on_the_write():
    m = Market(package_series)
    m.recovering_bar()
    w = m.window()
    e = m.at(45)
    e.bar_index = 2**31
    with pytest.raises(OverflowError, match="value too large to convert to int"):
        v3(e)
    assert w.recover_at_bar_index == -1 and not w.recovered


def test_the_setting_is_read_at_each_judgement():
    class Recording:
        reads = 0

        @property
        def kerd_extend_bar_cross_threshold(self):
            Recording.reads += 1
            return 3

    m = Market(package_series, settings=Recording())
    m.recovering_bar()
    m.window()
    m.window(99.0)
    m.window(50.0).recovered = True
    v3(m.at(45))
    assert Recording.reads == 2


def test_repeated_calls_do_not_leak():
    m = Market(package_series)
    m.kerds.extend([line(100.0), line(99.5)])
    m.bar(9, 101, 100)
    m.bar(10, 99, 98)
    e = m.at(10)
    failing = [lambda: e.update_mavet(5, "x", 1, 1), lambda: e.get_success_by_vvip(3),
               lambda: e.check_mavet_v3(1, 1, 10, 10, 1, 1, 5)]

    def loop(times):
        for _ in range(times):
            del m.mavets[:]
            e.update_mavet(5, 3, 1, 1)
            v3(e)
            v1(e)
            e.commit_latest_mavet(100.0)
            e.get_success_by_vvip([success(False)])
            for call in failing:
                try:
                    call()
                except TypeError:
                    pass

    loop(100)
    gc.collect()
    before = sys.getallocatedblocks()
    loop(1000)
    gc.collect()
    # A reference kept per call would leave at least a thousand blocks behind.
    assert sys.getallocatedblocks() - before < 100


@pytest.mark.parametrize("hook", ["subclass", "class field replaced"])
def test_window_fields_behind_host_code_are_read_through_it(monkeypatch, hook):
    # The package's own windows are read and written in place; a window whose fields run host
    # code goes through it, with the same outcome.
    reads = []

    def run(window_class):
        m = Market(package_series)
        m.recovering_bar()
        w = window_class(100.0, 40, None, 0, 10, 1)
        m.mavets.append(w)
        succeeded = v3(m.at(45)).recovery_succeeded()
        seen = list(reads)
        return seen, succeeded, fields(w)

    if hook == "subclass":
        class Watched(Mavet):
            def __getattribute__(self, name):
                reads.append(name)
                return super().__getattribute__(name)

        watched = run(Watched)
    else:
        own = Mavet.__dict__["recovered"]
        monkeypatch.setattr(Mavet, "recovered", property(
            lambda w: reads.append("recovered") or own.__get__(w),
            lambda w, value: own.__set__(w, value)))
        watched = run(Mavet)
        monkeypatch.undo()
    del reads[:]
    own = run(Mavet)
    assert "recovered" in watched[0] and own[0] == []
    assert watched[1:] == own[1:] and own[1]
