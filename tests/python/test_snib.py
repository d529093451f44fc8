import math
from decimal import Decimal
from fractions import Fraction

import pytest

from torvex.dto.snib import Snib

FIELDS = ["n", "m", "price", "close_at_pivot", "bar_index_at_pivot", "bar_time_at_pivot",
          "is_high", "is_trending", "used", "close_avg_percent"]
INT_FIELDS = ["n", "m", "bar_index_at_pivot", "bar_time_at_pivot"]
DOUBLE_FIELDS = ["price", "close_at_pivot", "close_avg_percent"]
BOOL_FIELDS = ["is_high", "is_trending", "used"]
ARGS = dict(n=5, m=3, price=101.25, close_at_pivot=100.5, bar_index_at_pivot=42,
            bar_time_at_pivot=1700000000, is_high=True, is_trending=False, close_avg_percent=0.75)


def values(record):
    return {name: getattr(record, name) for name in FIELDS}


def snib(**changes):
    return Snib(**{**ARGS, **changes})


class Raises:
    def __int__(self):
        raise ZeroDivisionError("int")

    def __float__(self):
        raise ZeroDivisionError("float")

    def __bool__(self):
        raise ZeroDivisionError("bool")


class OnlyIndex:
    def __index__(self):
        return 7


def test_constructor_order_puts_close_avg_percent_before_used():
    record = Snib(5, 3, 101.25, 100.5, 42, 1700000000, 1, 0, 0.75)
    assert values(record) == {**ARGS, "is_high": True, "used": False}
    assert Snib(5, 3, 101.25, 100.5, 42, 1700000000, 1, 0, 0.75, True).used is True
    assert snib(used=[1]).used is True


@pytest.mark.parametrize("args, kwargs", [
    ((1,) * 8, {}),
    ((1,) * 11, {}),
    ((1,) * 9, {"bogus": 1}),
    ((1,) * 9, {"n": 1}),
    ((), {k: v for k, v in ARGS.items() if k != "price"}),
])
def test_wrong_arguments_are_rejected(args, kwargs):
    with pytest.raises(TypeError):
        Snib(*args, **kwargs)


INT_CASES = [
    (12.7, 12), (-3.9, -3), (True, 1), (2**31 - 1, 2**31 - 1), (-2**31, -2**31),
    (OnlyIndex(), 7), (Decimal("-8.9"), -8), (Fraction(7, 2), 3),
]
INT_ERRORS = [
    (2**31, OverflowError, "value too large to convert to int"),
    (-2**31 - 1, OverflowError, "value too large to convert to int"),
    (10**40, OverflowError, "value too large to convert to int"),
    (None, TypeError, "an integer is required"),
    ("5", TypeError, "an integer is required"),
    (b"5", TypeError, "an integer is required"),
    ([], TypeError, "an integer is required"),
    (math.nan, ValueError, "NaN"),
    (math.inf, OverflowError, "infinity"),
    (Raises(), ZeroDivisionError, "int"),
]


@pytest.mark.parametrize("field", INT_FIELDS)
@pytest.mark.parametrize("given, stored", INT_CASES)
def test_integer_fields_convert(field, given, stored):
    assert getattr(snib(**{field: given}), field) == stored
    record = snib()
    setattr(record, field, given)
    assert getattr(record, field) == stored


@pytest.mark.parametrize("field", INT_FIELDS)
@pytest.mark.parametrize("given, error, message", INT_ERRORS)
def test_integer_fields_reject(field, given, error, message):
    with pytest.raises(error, match=message):
        snib(**{field: given})
    record = snib()
    with pytest.raises(error, match=message):
        setattr(record, field, given)
    assert values(record) == values(snib())


@pytest.mark.parametrize("field", DOUBLE_FIELDS)
@pytest.mark.parametrize("given, stored", [
    (3, 3.0), (True, 1.0), (-0.0, -0.0), (math.inf, math.inf), (-math.inf, -math.inf),
    (OnlyIndex(), 7.0), (Fraction(1, 4), 0.25), (2**60 + 1, float(2**60)),
])
def test_double_fields_convert(field, given, stored):
    record = snib(**{field: given})
    assert getattr(record, field) == stored and type(getattr(record, field)) is float
    setattr(record, field, math.nan)
    assert math.isnan(getattr(record, field))


@pytest.mark.parametrize("field", DOUBLE_FIELDS)
@pytest.mark.parametrize("given, error", [
    (None, TypeError), ("1.5", TypeError), (10**400, OverflowError), (Raises(), ZeroDivisionError),
])
def test_double_fields_reject(field, given, error):
    with pytest.raises(error):
        snib(**{field: given})
    record = snib()
    with pytest.raises(error):
        setattr(record, field, given)
    assert getattr(record, field) == ARGS[field]


@pytest.mark.parametrize("field", BOOL_FIELDS)
@pytest.mark.parametrize("given, stored", [
    (None, False), (0, False), ([], False), ("", False), ([0], True), (2, True), ("x", True),
])
def test_boolean_fields_store_truth(field, given, stored):
    record = snib(**{field: given})
    assert getattr(record, field) is stored
    setattr(record, field, not stored)
    assert getattr(record, field) is (not stored)


@pytest.mark.parametrize("field", BOOL_FIELDS)
def test_boolean_truth_errors_propagate(field):
    with pytest.raises(ZeroDivisionError, match="bool"):
        snib(**{field: Raises()})


@pytest.mark.parametrize("bad, error", [
    (dict(bar_index_at_pivot="x", used=Raises()), TypeError),  # first in call order wins
    (dict(close_avg_percent="x", used=Raises()), TypeError),
    (dict(used=Raises()), ZeroDivisionError),
    (dict(n=2**31), OverflowError),
])
def test_failed_reinitialisation_writes_nothing(bad, error):
    record = snib()
    before = values(record)
    with pytest.raises(error):
        record.__init__(**{**dict(n=1, m=1, price=1, close_at_pivot=1, bar_index_at_pivot=1,
                                  bar_time_at_pivot=1, is_high=0, is_trending=1,
                                  close_avg_percent=1), **bad})
    assert values(record) == before


@pytest.mark.parametrize("field", FIELDS)
def test_fields_cannot_be_deleted(field):
    record = snib()
    with pytest.raises(NotImplementedError, match="^__del__$"):
        delattr(record, field)
    assert getattr(record, field) == values(snib())[field]


def test_undeclared_attributes_are_refused():
    record = snib()
    with pytest.raises(AttributeError):
        record.colour = "red"
    with pytest.raises(AttributeError):
        record.__dict__
    assert not hasattr(record, "colour")


class Derived(Snib):
    pass


@pytest.mark.parametrize("source", [snib(used=True), Derived(**ARGS)])
def test_copy_is_an_independent_snib(source):
    copy = source.copy()
    assert type(copy) is Snib and copy is not source
    assert values(copy) == values(source)
    copy.price, source.n = 1.0, 99
    assert source.price == ARGS["price"] and copy.n == ARGS["n"]
    with pytest.raises(TypeError):
        source.copy(1)


def test_repr_shows_the_fields():
    text = repr(snib())
    assert text.startswith("Snib(n=5, m=3, price=101.25") and "close_avg_percent=0.75" in text
    assert repr(Derived(**ARGS)).startswith("Derived(n=5")
