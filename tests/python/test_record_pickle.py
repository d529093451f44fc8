import pickle

import pytest

from torvex.dto import mavet as mavet_module
from torvex.dto import snib as snib_module
from torvex.dto.mavet import (FlatternMavetResultV2, Mavet, MavetFailure, MavetResult,
                              MavetResultV2, MavetSuccess)
from torvex.dto.snib import Snib

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)

# Class, its module, accepted checksums (the first is written), state order, a sample.
LAYOUTS = {
    Snib: (snib_module, (0xb1885ec, 0x7e5df58, 0x1f49317),
           ("bar_index_at_pivot", "bar_time_at_pivot", "close_at_pivot", "close_avg_percent",
            "is_high", "is_trending", "m", "n", "price", "used"),
           lambda: Snib(5, 3, 101.25, 100.5, 42, 1700000000, True, False, 0.75, True)),
    Mavet: (mavet_module, (0xd06fdeb, 0xbd870bb, 0x935690b),
            ("bar_count_close_above_kerd", "break_kerd_at_bar_index", "break_kerd_at_price",
             "break_kerd_extend_bar_cross", "recover_at_bar_index", "recovered", "vip_snib_count"),
            lambda: Mavet(101.25, 40, None, 2, 3, 4)),
    MavetResult: (mavet_module, (0x47fb226, 0x4899756, 0xdcea0e7),
                  ("close_above_low_and_kerd", "has_signal", "mavet", "violate_extend_bar_cross",
                   "violate_recover_window", "violate_search_range_close_above_bar_count",
                   "violate_signal_window"),
                  lambda: MavetResult(True, True, False, True, False, True)),
    MavetFailure: (mavet_module, (0x831c77e, 0x3cd8c07, 0x97cdb90),
                   ("close_above_low_and_kerd", "mavet", "violate_extend_bar_cross",
                    "violate_recover_window", "violate_search_range_close_above_bar_count",
                    "violate_signal_window"),
                   lambda: MavetFailure(True, False, True, False, True)),
    MavetSuccess: (mavet_module, (0x316de0a, 0xfd4198f, 0x05fe1bc),
                   ("has_signal", "is_vvip_signal", "mavet", "signal_debug_line"),
                   lambda: MavetSuccess(True, True)),
    MavetResultV2: (mavet_module, (0x2891324, 0x1dbe481, 0xed63da8), ("failure", "success"),
                    lambda: MavetResultV2()),
    FlatternMavetResultV2: (mavet_module, (0x25800e3, 0xb22ce78, 0x21f58d9),
                            ("break_kerd_at_price", "is_kerd_satisfied", "is_non_vvip_signal",
                             "is_vvip_signal", "no_signal_but_close_above",
                             "violate_extended_bar_cross", "violate_recover_window",
                             "violate_search_range_close_above_bar_count",
                             "violate_signal_window"),
                            lambda: FlatternMavetResultV2(12.5, True, False, True, False, True)),
}
CLASSES = list(LAYOUTS)


def layout_of(record):
    return next((LAYOUTS[cls] for cls in type(record).__mro__ if cls in LAYOUTS), None)


def describe(value, seen=()):
    """A record, nested records included, as plain comparable values."""
    layout = layout_of(value)
    if layout is None:
        return value
    if id(value) in seen:
        return "<cycle>"
    return (type(value).__qualname__,
            tuple(describe(getattr(value, name), seen + (id(value),)) for name in layout[2]))


def state_of(record):
    return describe(record)[1]


def raw_state(record):
    return tuple(getattr(record, name) for name in layout_of(record)[2])


def reconstructor(cls):
    module = LAYOUTS[cls][0]
    return getattr(module, "__pyx_unpickle_" + cls.__name__)


def blank(cls, target=None):
    """A record of cls (or of target, derived from it) with every field zero, false or None."""
    return reconstructor(cls)(target or cls, LAYOUTS[cls][1][0], None)


def sample(cls):
    return LAYOUTS[cls][3]()


# Derived classes at module level, where pickle finds them by name.
for _cls in CLASSES:
    globals()["Derived" + _cls.__name__] = type("Derived" + _cls.__name__, (_cls,),
                                                {"__module__": __name__})
DERIVED = {cls: globals()["Derived" + cls.__name__] for cls in CLASSES}


def instance_for(cls, field):
    """A value for a reference field of cls."""
    return {"mavet": lambda: Mavet(3.5, 9), "failure": lambda: MavetFailure(True),
            "success": lambda: MavetSuccess(True), "signal_debug_line": lambda: ["line"]}[field]()


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
    record.__setstate__(raw_state(sample(cls)))
    record.label, record.items = "kept", [1, 2]
    restored = pickle.loads(pickle.dumps(record, protocol))
    assert type(restored) is DERIVED[cls]
    assert state_of(restored) == state_of(record)
    assert restored.__dict__ == {"label": "kept", "items": [1, 2]}


@pytest.mark.parametrize("cls", CLASSES)
def test_derived_records_reduce_to_the_separate_form_with_their_dict(cls):
    record = blank(cls, DERIVED[cls])
    record.extra = 1
    rebuild, args, state = record.__reduce__()
    assert rebuild is reconstructor(cls) and args == (DERIVED[cls], LAYOUTS[cls][1][0], None)
    assert state == raw_state(record) + ({"extra": 1},)


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("which", [0, 1, 2])
def test_reconstructor_accepts_the_three_checksums(cls, which):
    record = sample(cls)
    rebuilt = reconstructor(cls)(cls, LAYOUTS[cls][1][which], raw_state(record))
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
    source.__setstate__(tuple(value if value is not None else instance_for(cls, name)
                              for name, value in zip(LAYOUTS[cls][2], raw_state(source))))
    cut = len(LAYOUTS[cls][2]) - 1
    with pytest.raises(IndexError, match="tuple index out of range"):
        record.__setstate__(raw_state(source)[:cut])
    assert state_of(record)[:cut] == state_of(source)[:cut]
    assert state_of(record)[cut:] == state_of(blank(cls))[cut:]


@pytest.mark.parametrize("cls", CLASSES)
def test_extra_state_is_ignored_without_a_dict_and_checked_with_one(cls):
    record = blank(cls)
    record.__setstate__(raw_state(sample(cls)) + ({"x": 1},))
    assert state_of(record) == state_of(sample(cls))
    derived = blank(cls, DERIVED[cls])
    with pytest.raises(TypeError):
        derived.__setstate__(raw_state(sample(cls)) + (5,))
    assert state_of(derived) == state_of(sample(cls))


@pytest.mark.parametrize("position, bad, error, message", [
    (0, 2**31, OverflowError, "value too large to convert to int"),
    (6, None, TypeError, "an integer is required"),
    (8, "x", TypeError, "must be real number"),
])
def test_snib_state_conversion_failure_keeps_later_fields(position, bad, error, message):
    record = blank(Snib)
    state = list(raw_state(sample(Snib)))
    state[position] = bad
    with pytest.raises(error, match=message):
        record.__setstate__(tuple(state))
    assert state_of(record)[:position] == tuple(state[:position])
    assert state_of(record)[position:] == state_of(blank(Snib))[position:]


@pytest.mark.parametrize("record, separate", [
    (Snib(5, 3, 1.5, 1.25, 42, 7, True, False, 0.75), False),
    (Mavet(1, 2), False),
    (MavetResult(True), False),
    (MavetResult(mavet=Mavet(1, 2)), True),
    (MavetFailure(True), False),
    (MavetFailure(mavet=Mavet(1, 2)), True),
    (MavetSuccess(True, True), False),
    (MavetSuccess(signal_debug_line="line"), True),
    (MavetSuccess(mavet=Mavet(1, 2)), True),
    (MavetResultV2(), False),
    (MavetResultV2(failure=MavetFailure()), True),
    (MavetResultV2(success=MavetSuccess()), True),
    (FlatternMavetResultV2(3, True), False),
])
def test_records_reduce_to_the_separate_form_only_when_holding_references(record, separate):
    reduced = record.__reduce__()
    cls = type(record)
    if separate:
        assert reduced == (reconstructor(cls), (cls, LAYOUTS[cls][1][0], None), raw_state(record))
    else:
        assert reduced == (reconstructor(cls), (cls, LAYOUTS[cls][1][0], raw_state(record)))


def test_nested_window_is_pickled_in_its_own_compact_form():
    window = Mavet(2.5, 7)
    _, _, state = MavetResult(mavet=window).__reduce__()
    assert state[2] is window
    assert window.__reduce__()[1][1] == 0xd06fdeb
    assert len(FlatternMavetResultV2().__reduce__()[1][2]) == 9


def test_missing_recovery_is_stored_as_minus_one():
    window = Mavet(2.5, 7)
    state = window.__reduce__()[1][2]
    assert state[4] == -1 and len(state) == 7
    assert pickle.loads(pickle.dumps(window)).recover_at_bar_index == -1
    assert blank(Mavet).recover_at_bar_index == 0  # the reconstructor runs no constructor


@pytest.mark.parametrize("cls, position, value, shown, expected", [
    (MavetResult, 2, 5, "int", "torvex.dto.mavet.Mavet"),
    (MavetFailure, 1, "x", "str", "torvex.dto.mavet.Mavet"),
    (MavetSuccess, 2, MavetFailure(), "torvex.dto.mavet.MavetFailure", "torvex.dto.mavet.Mavet"),
    (MavetResultV2, 0, MavetSuccess(), "torvex.dto.mavet.MavetSuccess",
     "torvex.dto.mavet.MavetFailure"),
])
def test_restore_checks_reference_types(cls, position, value, shown, expected):
    state = list(raw_state(sample(cls)))
    state[position] = value
    with pytest.raises(TypeError) as caught:
        reconstructor(cls)(cls, LAYOUTS[cls][1][0], tuple(state))
    assert str(caught.value) == "Cannot convert %s to %s" % (shown, expected)


def nested_result():
    shared = Mavet(99.5, 120, 125, 1, 4, 3)
    shared.recovered = True
    failure = MavetFailure(True, False, True, False, True, shared)
    success = MavetSuccess(True, False, {"drawn": [1, 2]}, shared)
    return MavetResultV2(failure, success)


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_nested_results_round_trip_with_shared_windows(protocol):
    result = nested_result()
    restored = pickle.loads(pickle.dumps(result, protocol))
    assert describe(restored) == describe(result)
    assert restored.failure.mavet is restored.success.mavet
    assert restored.success.signal_debug_line == {"drawn": [1, 2]}


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_cycles_through_signal_debug_line_round_trip(protocol):
    success = DERIVED[MavetSuccess](True)
    success.signal_debug_line = success
    success.note = "self"
    restored = pickle.loads(pickle.dumps(success, protocol))
    assert restored.signal_debug_line is restored and restored.note == "self"
    assert type(restored) is DERIVED[MavetSuccess]
