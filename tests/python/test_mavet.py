import pytest

from torvex.dto.mavet import Mavet

FIELDS = ["break_kerd_at_price", "break_kerd_at_bar_index", "recover_at_bar_index",
          "break_kerd_extend_bar_cross", "bar_count_close_above_kerd", "vip_snib_count",
          "recovered"]
INT_FIELDS = FIELDS[1:6]


def values(window):
    return {name: getattr(window, name) for name in FIELDS}


def test_defaults():
    assert values(Mavet(1.5, 10)) == dict(
        break_kerd_at_price=1.5, break_kerd_at_bar_index=10, recover_at_bar_index=-1,
        break_kerd_extend_bar_cross=0, bar_count_close_above_kerd=0, vip_snib_count=0,
        recovered=False)


@pytest.mark.parametrize("given, stored", [(None, -1), (0, 0), (-1, -1), (7.9, 7), (True, 1)])
def test_constructor_maps_none_recovery_to_minus_one(given, stored):
    assert Mavet(1, 2, given).recover_at_bar_index == stored
    assert Mavet(1, 2, recover_at_bar_index=given).recover_at_bar_index == stored


def test_positional_and_keyword_arguments():
    window = Mavet(2, 3, 4, 5, 6, 7)
    assert values(window) == values(Mavet(vip_snib_count=7, bar_count_close_above_kerd=6,
                                          break_kerd_extend_bar_cross=5, recover_at_bar_index=4,
                                          break_kerd_at_bar_index=3, break_kerd_at_price=2))


@pytest.mark.parametrize("args, kwargs", [
    ((1,), {}), ((1, 2, 3, 4, 5, 6, 7), {}), ((1, 2), {"recovered": True}),
    ((1,), {"break_kerd_at_price": 1}),
])
def test_wrong_arguments_are_rejected(args, kwargs):
    with pytest.raises(TypeError):
        Mavet(*args, **kwargs)


@pytest.mark.parametrize("field", INT_FIELDS)
@pytest.mark.parametrize("given, error, message", [
    (2**31, OverflowError, "^value too large to convert to int$"),
    (-2**31 - 1, OverflowError, "^value too large to convert to int$"),
    (None, TypeError, "^an integer is required$"),
    ("3", TypeError, "^an integer is required$"),
])
def test_integer_writes_reject(field, given, error, message):
    window = Mavet(1.5, 10, 4, 5, 6, 7)
    before = values(window)
    with pytest.raises(error, match=message):
        setattr(window, field, given)
    assert values(window) == before


@pytest.mark.parametrize("field", INT_FIELDS)
@pytest.mark.parametrize("given, stored", [(2**31 - 1, 2**31 - 1), (-2**31, -2**31), (-2.5, -2)])
def test_integer_writes_convert(field, given, stored):
    window = Mavet(1.5, 10)
    setattr(window, field, given)
    assert getattr(window, field) == stored


@pytest.mark.parametrize("args", [
    (1.5, 2**31), (1.5, 10, 2**31), (1.5, 10, None, 0, 0, -2**31 - 1), ("x", 1), (1.5, None),
])
def test_constructor_rejects_what_writes_reject(args):
    with pytest.raises((TypeError, OverflowError)):
        Mavet(*args)


def test_price_takes_any_real_number():
    window = Mavet(3, 1)
    assert window.break_kerd_at_price == 3.0 and type(window.break_kerd_at_price) is float
    with pytest.raises(TypeError):
        window.break_kerd_at_price = "1"
    window.recovered = [0]
    assert window.recovered is True


@pytest.mark.parametrize("field", FIELDS)
def test_fields_cannot_be_deleted(field):
    window = Mavet(1.5, 10, 3)
    before = values(window)
    with pytest.raises(NotImplementedError, match="^__del__$"):
        delattr(window, field)
    assert values(window) == before


def test_no_other_attributes():
    with pytest.raises(AttributeError):
        Mavet(1, 2).extra = 1


class Derived(Mavet):
    pass


@pytest.mark.parametrize("args", [(1.5, 10), (2.5, 11, 0, 3, 4, 5), (1, 2, 3)])
@pytest.mark.parametrize("cls", [Mavet, Derived])
@pytest.mark.parametrize("recovered", [False, True])
def test_copy_keeps_every_field_and_is_independent(cls, args, recovered):
    source = cls(*args)
    source.recovered = recovered
    copy = source.copy()
    assert type(copy) is Mavet and values(copy) == values(source)
    copy.vip_snib_count, source.break_kerd_at_price = 99, -4.0
    assert source.vip_snib_count != 99 and copy.break_kerd_at_price != -4.0
