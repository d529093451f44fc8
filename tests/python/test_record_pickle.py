import pickle

import pytest

from torvex.dto import snib as snib_module
from torvex.dto.snib import Snib

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)

# Class, its module, accepted checksums (the first is written), state order, a sample.
LAYOUTS = {
    Snib: (snib_module, (0xb1885ec, 0x7e5df58, 0x1f49317),
           ("bar_index_at_pivot", "bar_time_at_pivot", "close_at_pivot", "close_avg_percent",
            "is_high", "is_trending", "m", "n", "price", "used"),
           lambda: Snib(5, 3, 101.25, 100.5, 42, 1700000000, True, False, 0.75, True)),
}
CLASSES = list(LAYOUTS)


def state_of(record):
    layout = next(LAYOUTS[cls] for cls in type(record).__mro__ if cls in LAYOUTS)
    return tuple(getattr(record, name) for name in layout[2])


def reconstructor(cls):
    module = LAYOUTS[cls][0]
    return getattr(module, "__pyx_unpickle_" + cls.__name__)


def blank(cls, target=None):
    """A record of cls (or of target, derived from it) with every field zero, false or None."""
    return reconstructor(cls)(target or cls, LAYOUTS[cls][1][0], None)


def sample(cls):
    return LAYOUTS[cls][3]()


class DerivedSnib(Snib):
    pass


DERIVED = {Snib: DerivedSnib}


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("cls", CLASSES)
def test_round_trip_keeps_class_and_fields(cls, protocol):
    record = sample(cls)
    restored = pickle.loads(pickle.dumps(record, protocol))
    assert type(restored) is cls and state_of(restored) == state_of(record)


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("cls", CLASSES)
def test_derived_class_round_trip_keeps_extra_attributes(cls, protocol):
    record = blank(cls, DERIVED[cls])
    record.__setstate__(state_of(sample(cls)))
    record.label, record.items = "kept", [1, 2]
    restored = pickle.loads(pickle.dumps(record, protocol))
    assert type(restored) is DERIVED[cls]
    assert state_of(restored) == state_of(record)
    assert restored.__dict__ == {"label": "kept", "items": [1, 2]}


@pytest.mark.parametrize("cls", CLASSES)
def test_plain_records_reduce_to_the_compact_form(cls):
    record = sample(cls)
    assert record.__reduce__() == (reconstructor(cls), (cls, LAYOUTS[cls][1][0], state_of(record)))


@pytest.mark.parametrize("cls", CLASSES)
def test_derived_records_reduce_to_the_separate_form_with_their_dict(cls):
    record = blank(cls, DERIVED[cls])
    record.extra = 1
    rebuild, args, state = record.__reduce__()
    assert rebuild is reconstructor(cls) and args == (DERIVED[cls], LAYOUTS[cls][1][0], None)
    assert state == state_of(record) + ({"extra": 1},)


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("which", [0, 1, 2])
def test_reconstructor_accepts_the_three_checksums(cls, which):
    record = sample(cls)
    rebuilt = reconstructor(cls)(cls, LAYOUTS[cls][1][which], state_of(record))
    assert type(rebuilt) is cls and state_of(rebuilt) == state_of(record)


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("checksum, shown", [
    (0x1234, "1234"), (0xABCDEF, "abcdef"), (-5, "-5"), (2**70, "4" + "0" * 17), (True, "1"),
])
def test_reconstructor_rejects_other_checksums(cls, checksum, shown):
    _, checksums, names, _ = LAYOUTS[cls]
    spelled = ", ".join("0x%07x" % c for c in checksums)
    message = "Incompatible checksums (0x%s vs (%s) = (%s))" % (shown, spelled, ", ".join(names))
    with pytest.raises(pickle.PickleError) as caught:
        reconstructor(cls)(cls, checksum, None)
    assert str(caught.value) == message


@pytest.mark.parametrize("cls", CLASSES)
def test_reconstructor_without_state_skips_the_constructor(cls):
    rebuilt = blank(cls, DERIVED[cls])
    assert type(rebuilt) is DERIVED[cls]
    assert all(value in (0, False, None) for value in state_of(rebuilt))


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("kind, state, error, message", [
    ("target", int, TypeError, "not a subtype"),
    ("target", 5, TypeError, "not a type object"),
    ("state", [1], TypeError, "^Expected tuple, got list$"),
    ("checksum", "x", TypeError, "an integer is required"),
])
def test_reconstructor_rejects_bad_arguments(cls, kind, state, error, message):
    args = [cls, LAYOUTS[cls][1][0], None]
    args[{"target": 0, "checksum": 1, "state": 2}[kind]] = state
    with pytest.raises(error, match=message):
        reconstructor(cls)(*args)


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("state, message", [
    (None, "^'NoneType' object is not subscriptable$"),
    ([], "^Expected tuple, got list$"),
    ({}, "^Expected tuple, got dict$"),
])
def test_setstate_needs_a_tuple(cls, state, message):
    with pytest.raises(TypeError, match=message):
        sample(cls).__setstate__(state)


@pytest.mark.parametrize("cls", CLASSES)
def test_short_state_assigns_fields_up_to_the_missing_one(cls):
    record, source = blank(cls), sample(cls)
    full = state_of(source)
    with pytest.raises(IndexError, match="tuple index out of range"):
        record.__setstate__(full[:2])
    assert state_of(record)[:2] == full[:2]
    assert state_of(record)[2:] == state_of(blank(cls))[2:]


@pytest.mark.parametrize("cls", CLASSES)
def test_extra_state_is_ignored_without_a_dict_and_checked_with_one(cls):
    record = blank(cls)
    record.__setstate__(state_of(sample(cls)) + ({"x": 1},))
    assert state_of(record) == state_of(sample(cls))
    derived = blank(cls, DERIVED[cls])
    with pytest.raises(TypeError):
        derived.__setstate__(state_of(sample(cls)) + (5,))
    assert state_of(derived) == state_of(sample(cls))


@pytest.mark.parametrize("position, bad, error, message", [
    (0, 2**31, OverflowError, "value too large to convert to int"),
    (6, None, TypeError, "an integer is required"),
    (8, "x", TypeError, "must be real number"),
])
def test_snib_state_conversion_failure_keeps_later_fields(position, bad, error, message):
    record = blank(Snib)
    state = list(state_of(sample(Snib)))
    state[position] = bad
    with pytest.raises(error, match=message):
        record.__setstate__(tuple(state))
    assert state_of(record)[:position] == tuple(state[:position])
    assert state_of(record)[position:] == state_of(blank(Snib))[position:]
