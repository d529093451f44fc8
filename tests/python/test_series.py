import array
import math
import operator
import sys

import pytest

from torvex.series import Series

NAN = float("nan")


def test_offsets_read_back_from_the_current_bar():
    s = Series([1.0, 2.0, 3.0])
    assert (s[0], s[-1], s[-2]) == (3.0, 2.0, 1.0)
    assert len(s) == 3
    assert s.values() == [1.0, 2.0, 3.0]
    assert type(s).__module__ == "torvex.series" and type(s).__qualname__ == "Series"


@pytest.mark.parametrize(
    "values, index, message",
    [
        ([1.0, 2.0], 1, "ahead of the current bar"),
        ([1.0, 2.0], -2, "before the first bar: 2 bars are visible"),
        ([1.0], -(2**62), "before the first bar: 1 bar is visible"),
        ([1.0], 2**80, "out of range"),
        ([], 0, "no bars yet"),
    ],
)
def test_out_of_reach_offsets_raise_index_error(values, index, message):
    with pytest.raises(IndexError, match=message):
        Series(values)[index]


@pytest.mark.parametrize("index", [0.0, "0", None, slice(None)])
def test_non_integer_index_is_a_type_error(index):
    with pytest.raises(TypeError, match="series indices must be integers"):
        Series([1.0])[index]


@pytest.mark.parametrize(
    "op", [operator.lt, operator.le, operator.eq, operator.ne, operator.gt, operator.ge]
)
@pytest.mark.parametrize("a, b", [(1.0, 2.0), (2.0, 2.0), (3.0, 2.0), (NAN, 2.0), (2.0, NAN)])
def test_comparisons_use_the_current_value(op, a, b):
    sa, sb = Series([9.0, a]), Series([b])
    assert op(sa, sb) is op(a, b)
    assert op(sa, b) is op(a, b)
    assert op(a, sb) is op(a, b)


def test_comparison_with_integers_is_exact():
    big = 2**53 + 1  # not representable as a double
    s = Series([float(2**53)])
    assert s < big and s != big and not s >= big


def test_min_max_follow_python_order_with_nan():
    nan, one = Series([NAN]), Series([1.0])
    assert min(nan, one) is nan and min(one, nan) is one
    assert max(nan, one) is nan and max(one, nan) is one
    assert min(Series([3.0]), 2.5, Series([4.0])) == 2.5


@pytest.mark.parametrize(
    "expr, expected",
    [
        (lambda s: s + 1, 5.0),
        (lambda s: 1 + s, 5.0),
        (lambda s: s - 1, 3.0),
        (lambda s: 10 - s, 6.0),
        (lambda s: s * 0.5, 2.0),
        (lambda s: 2 * s, 8.0),
        (lambda s: s / 8, 0.5),
        (lambda s: 2 / s, 0.5),
        (lambda s: s // 3, 1.0),
        (lambda s: s % 3, 1.0),
        (lambda s: s + Series([1.0, 2.0]), 6.0),
        (lambda s: -s, -4.0),
        (lambda s: +s, 4.0),
        (lambda s: abs(-s), 4.0),
        (float, 4.0),
        (int, 4),
    ],
)
def test_arithmetic_uses_the_current_value(expr, expected):
    result = expr(Series([100.0, 4.0]))
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize(
    "expr, error",
    [
        (lambda s: s / 0, ZeroDivisionError),
        (lambda s: s + "x", TypeError),
        (lambda s: int(Series([NAN])), ValueError),
        (lambda s: int(Series([math.inf])), OverflowError),
        (lambda s: Series() + 1, IndexError),
        (lambda s: Series() < 1, IndexError),
        (lambda s: bool(Series()), IndexError),
        (lambda s: float(Series()), IndexError),
    ],
)
def test_arithmetic_errors_are_pythons(expr, error):
    with pytest.raises(error):
        expr(Series([0.0, 1.0]))


@pytest.mark.parametrize("value, truth", [(0.0, False), (-0.0, False), (2.0, True), (NAN, True)])
def test_truth_is_the_current_value(value, truth):
    assert bool(Series([1.0, value])) is truth


def test_series_is_unhashable():
    with pytest.raises(TypeError):
        hash(Series([1.0]))


def test_preloaded_bars_appear_as_the_series_advances():
    s = Series(range(5), visible=0)
    assert len(s) == 0 and s.stored == 5
    s.advance()
    assert (len(s), s[0]) == (1, 0.0)
    s.advance(n=3)
    assert (len(s), s[0], s[-3]) == (4, 3.0, 0.0)
    assert repr(s) == "Series([0.0, 1.0, 2.0, 3.0], preloaded=1)"
    with pytest.raises(IndexError, match="advance\\(2\\) passes the last stored bar"):
        s.advance(2)
    with pytest.raises(ValueError, match="cannot append while 1 preloaded bar waits"):
        s.append(9.0)
    s.advance(0)
    s.advance(1)
    s.append(9.0)
    assert s.values() == [0.0, 1.0, 2.0, 3.0, 4.0, 9.0]


@pytest.mark.parametrize("visible", [-1, 4])
def test_visible_must_fit_the_values(visible):
    with pytest.raises(ValueError, match="visible must lie between 0 and the number of values"):
        Series([1.0, 2.0, 3.0], visible=visible)


def test_negative_advance_is_refused():
    with pytest.raises(ValueError, match="n >= 0"):
        Series([1.0]).advance(-1)


def test_append_grows_and_keeps_every_value():
    s = Series()
    for i in range(1000):
        s.append(i)
        assert s[0] == i and s[-i] == 0.0
    assert s.values() == [float(i) for i in range(1000)]


@pytest.mark.parametrize("bad", [None, "1.5", [1.0]])
def test_append_refuses_non_numbers_and_keeps_the_series(bad):
    s = Series([1.0])
    with pytest.raises(TypeError):
        s.append(bad)
    assert s.values() == [1.0]


@pytest.mark.parametrize(
    "values",
    [
        array.array("d", [1.5, 2.5, 3.5, 4.5]),
        memoryview(array.array("d", [1.5, 9.0, 2.5, 9.0, 3.5, 9.0, 4.5]))[::2],  # strided
        array.array("i", [1, 2, 3, 4]),  # not doubles: iterated
        (x + 0.5 for x in range(1, 5)),  # no length
        [True, 2, 3.5, 4.5],
    ],
)
def test_construction_from_iterables_and_buffers(values):
    s = Series(values)
    assert len(s) == 4 and s[-3] in (1.5, 1.0) and s[0] in (4.5, 4.0)


def test_failed_reinit_keeps_the_old_values():
    s = Series([1.0, 2.0])
    with pytest.raises(TypeError):
        s.__init__([1.0, "x"])
    assert s.values() == [1.0, 2.0]


def test_repr_shows_the_latest_bars():
    assert repr(Series()) == "Series([])"
    assert repr(Series(range(20))) == (
        "Series([..., 12.0, 13.0, 14.0, 15.0, 16.0, 17.0, 18.0, 19.0], len=20)"
    )


def test_subclass_keeps_behaviour_and_own_attributes():
    class Flags(Series):
        pass

    f = Flags([0.0, 1.0])
    f.note = "trend"
    assert f[0] == 1.0 and bool(f) and f > Series([0.5]) and f + 1 == 2.0
    assert repr(f) == "Flags([0.0, 1.0])"


def test_no_reference_leaks():
    def churn():
        s = Series([1.0, 2.0], visible=1)
        s.advance()
        for i in range(40):
            s.append(i)
        for bad in (lambda: s[1], lambda: s["x"], lambda: s.append(None), lambda: s < None):
            try:
                bad()
            except (IndexError, TypeError):
                pass
        min(s, Series([NAN]), 3.0)
        repr(Series(range(30)))
        return s + 1, -s, s.values()

    for _ in range(200):
        churn()
    before = sys.getallocatedblocks()
    for _ in range(2000):
        churn()
    assert sys.getallocatedblocks() - before < 50
