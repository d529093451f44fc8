import inspect

import pytest

from torvex.dto.mavet import Mavet
from torvex.dto.snib import Snib

FIELDS = ["break_kerd_at_price", "break_kerd_at_bar_index", "recover_at_bar_index",
          "break_kerd_extend_bar_cross", "bar_count_close_above_kerd", "vip_snib_count",
          "recovered"]


def values(window):
    return [getattr(window, name) for name in FIELDS]


def test_defaults_and_argument_order():
    assert values(Mavet(1.5, 10)) == [1.5, 10, -1, 0, 0, 0, False]
    assert values(Mavet(2, 3, 4, 5, 6, 7)) == values(Mavet(
        vip_snib_count=7, bar_count_close_above_kerd=6, break_kerd_extend_bar_cross=5,
        recover_at_bar_index=4, break_kerd_at_bar_index=3, break_kerd_at_price=2))


@pytest.mark.parametrize("args, kwargs", [
    ((1,), {}), ((1, 2, 3, 4, 5, 6, 7), {}), ((1, 2), {"recovered": True}),
    ((1.5, 2**31), {}), ((1.5, 10, None, 0, 0, -2**31 - 1), {}), ((1.5, None), {}),
])
def test_bad_constructions_are_rejected(args, kwargs):
    with pytest.raises((TypeError, OverflowError)):
        Mavet(*args, **kwargs)


class Name(str):
    pass


# Keywords as a host passes them: matched by their text, whatever kind of string holds it.
@pytest.mark.parametrize("kwargs, stored", [
    ({"break_kerd_at_bar_index": 3}, 3),
    ({Name("break_kerd_at_bar_index"): 4}, 4),
    ({"break_kerd_at_bar_index": 5, "vip_snib_count": 6}, 5),
])
def test_keywords_are_matched_by_their_text(kwargs, stored):
    assert Mavet(1.5, **kwargs).break_kerd_at_bar_index == stored


@pytest.mark.parametrize("args, kwargs, message", [
    ((1.5,), {"break_kerd_at_bar_inde": 1},
     "^'break_kerd_at_bar_inde' is an invalid keyword argument for Mavet\\(\\)$"),
    ((1.5,), {"break_kerd_at_bar_index\0": 1}, "is an invalid keyword argument for Mavet"),
    ((1.5,), {"break_kerd_at_bar_indeks\u00e9": 1}, "is an invalid keyword argument for Mavet"),
    ((1.5, 2), {"break_kerd_at_price": 1.0},
     "^argument for Mavet\\(\\) given by name \\('break_kerd_at_price'\\) and position \\(1\\)$"),
    ((), {"break_kerd_at_price": 1.0},
     "^Mavet\\(\\) missing required argument 'break_kerd_at_bar_index' \\(pos 2\\)$"),
    ((1.5, 2), {"x": 1, "break_kerd_at_price": 1.0}, "^'x' is an invalid keyword"),
])
def test_keyword_errors_name_the_first_bad_keyword(args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        Mavet(*args, **kwargs)


@pytest.mark.parametrize("given, stored", [(None, -1), (0, 0), (-1, -1), (7.9, 7)])
def test_constructor_maps_none_recovery_to_minus_one(given, stored):
    assert Mavet(1, 2, given).recover_at_bar_index == stored


@pytest.mark.parametrize("field, given, error, message", [
    ("recover_at_bar_index", None, TypeError, "^an integer is required$"),
    ("break_kerd_at_bar_index", 2**31, OverflowError, "^value too large to convert to int$"),
    ("vip_snib_count", -2**31 - 1, OverflowError, "^value too large to convert to int$"),
    ("break_kerd_at_price", "1", TypeError, "must be real number"),
])
def test_rejected_writes_keep_the_value(field, given, error, message):
    window = Mavet(1.5, 10, 4, 5, 6, 7)
    with pytest.raises(error, match=message):
        setattr(window, field, given)
    assert values(window) == [1.5, 10, 4, 5, 6, 7, False]
    window.recover_at_bar_index = -1
    assert window.recover_at_bar_index == -1


@pytest.mark.parametrize("field", FIELDS)
def test_fields_cannot_be_deleted(field):
    window = Mavet(1.5, 10, 3)
    with pytest.raises(NotImplementedError, match="^__del__$"):
        delattr(window, field)
    assert values(window) == [1.5, 10, 3, 0, 0, 0, False]
    with pytest.raises(AttributeError):
        window.extra = 1


class Derived(Mavet):
    pass


@pytest.mark.parametrize("cls", [Mavet, Derived])
@pytest.mark.parametrize("args", [(1.5, 10), (2.5, 11, 0, 3, 4, 5)])
@pytest.mark.parametrize("recovered", [False, True])
def test_copy_keeps_every_field_and_is_independent(cls, args, recovered):
    source = cls(*args)
    source.recovered = recovered  # the constructor alone would leave it false
    copy = source.copy()
    assert type(copy) is Mavet and values(copy) == values(source)
    copy.vip_snib_count, source.break_kerd_at_price = 99, -4.0
    assert source.vip_snib_count != 99 and copy.break_kerd_at_price != -4.0


@pytest.mark.parametrize("cls", [Snib, Mavet])
def test_copy_introspects_as_a_method_of_the_record(cls):
    # Stub checkers read the text signature: copy takes the record and nothing else.
    assert list(inspect.signature(cls.copy).parameters) == ["self"]
    assert list(inspect.signature(cls.__new__(cls).copy).parameters) == []
