"""Randomized records: constructors, setters, copy, pickling, and crafted states for
__setstate__ and the reconstructors. Whatever comes in, a record takes it as the conversions
say or raises one of their errors, and stays whole and serializable afterwards."""

import math
import pickle
import types

from hypothesis import given
from hypothesis import strategies as st

from torvex.dto import mavet as mavet_module
from torvex.dto import snib as snib_module
from torvex.dto.mavet import (FlatternMavetResultV2, Mavet, MavetFailure, MavetResult,
                              MavetResultV2, MavetSuccess)
from torvex.dto.snib import Snib

CLASSES = (Snib, Mavet, MavetResult, MavetFailure, MavetSuccess, MavetResultV2,
           FlatternMavetResultV2)
REFERENCES = {"mavet": Mavet, "failure": MavetFailure, "success": MavetSuccess,
              "signal_debug_line": object}


class HostError(Exception):
    """Raised by host objects' conversion hooks; must come out unchanged."""


class Hostile:
    def __index__(self):
        raise HostError("index")

    def __float__(self):
        raise HostError("float")

    def __bool__(self):
        raise HostError("bool")


class Derived(Mavet):
    """A host's subclass: has an instance dictionary."""


# What a conversion may raise; anything else (SystemError above all) is a fault.
CONVERSION_ERRORS = (TypeError, OverflowError, ValueError, IndexError, HostError,
                     pickle.PickleError)


def reconstructor(cls):
    module = snib_module if cls is Snib else mavet_module
    return getattr(module, f"__pyx_unpickle_{cls.__name__}")


def fields(cls):
    """Field names in state order, and each field's kind from an unbuilt instance."""
    names = sorted(k for k, v in vars(cls).items() if isinstance(v, types.GetSetDescriptorType)
                   and k != "__dict__")
    blank = reconstructor(cls)(cls, written_checksum(cls), None)
    return [(n, REFERENCES.get(n, type(getattr(blank, n)))) for n in names]


def written_checksum(cls):
    return sample(cls).__reduce__()[1][1]


def sample(cls):
    if cls is Snib:
        return Snib(5, 3, 101.25, 100.5, 42, 1700000000, True, False, 0.75, True)
    if cls is Mavet:
        return Mavet(101.25, 40, None, 2, 3, 4)
    return cls()


def accepted_checksums(cls):
    """The three checksums the reconstructor takes, as its refusal lists them."""
    try:
        reconstructor(cls)(cls, 0x1234, None)
    except pickle.PickleError as e:
        listed = str(e).split(" vs (", 1)[1].split(")", 1)[0]
        return {int(x, 16) for x in listed.split(", ")}
    raise AssertionError("checksum 0x1234 was taken")


FIELDS = {cls: fields(cls) for cls in CLASSES}
ACCEPTED = {cls: accepted_checksums(cls) for cls in CLASSES}
CHECKSUMS = {cls: written_checksum(cls) for cls in CLASSES}

records = st.deferred(lambda: st.sampled_from(CLASSES + (Derived,)).map(
    lambda cls: sample(Mavet) if cls is Derived else sample(cls)))
anything = st.one_of(
    st.integers(), st.integers(-2**31, 2**31 - 1), st.floats(), st.booleans(), st.none(),
    st.text(max_size=3), st.builds(Hostile), records, st.tuples(st.integers()),
)


def value_for(kind):
    """Values a field of this kind takes."""
    if kind is int:
        return st.integers(-2**31, 2**31 - 1)
    if kind is float:
        return st.floats()
    if kind is bool:
        return st.booleans()
    if kind is object:
        return anything
    return st.one_of(st.none(), st.just(kind).map(sample))


def same(a, b):
    return a is b or a == b or (isinstance(a, float) and math.isnan(a) and math.isnan(b))


def converted(kind, value):
    """The value a field of this kind holds after taking `value`, when that is certain."""
    if kind is bool and not isinstance(value, Hostile):
        return bool(value)
    if kind is int and type(value) is int and -2**31 <= value < 2**31:
        return value
    if kind is float and type(value) in (int, float) and abs(value) < 1e308:
        return float(value)
    if kind not in (int, float, bool) and (value is None or isinstance(value, kind)):
        return value
    return NotImplemented


def assert_whole(record):
    """Every field readable; copy and pickling give back equal fields."""
    cls = next(c for c in CLASSES if isinstance(record, c))
    state = [getattr(record, name) for name, _ in FIELDS[cls]]
    copies = [(pickle.loads(pickle.dumps(record, protocol)), type(record))
              for protocol in (0, 2, 5)]
    if hasattr(record, "copy"):
        copies.append((record.copy(), cls))  # a copy is of the record class itself
    for other, kind in copies:
        assert type(other) is kind
        for (name, kind), value in zip(FIELDS[cls], state):
            mine = getattr(other, name)
            if kind in (int, float, bool):
                assert same(mine, value), name
            else:
                assert type(mine) is type(value), name


def restore_all_or_prefix(record, cls, values, call):
    """Runs a restore of `values` into `record` and checks each field got its value, up to the
    first one that could fail."""
    try:
        call()
    except CONVERSION_ERRORS:
        failed = True
    else:
        failed = False
    for (name, kind), value in zip(FIELDS[cls], values):
        expected = converted(kind, value)
        if expected is NotImplemented:
            break
        assert same(getattr(record, name), expected), name
    else:
        assert not failed or len(values) < len(FIELDS[cls])
    assert_whole(record)


@given(st.sampled_from(CLASSES), st.lists(anything, max_size=12),
       st.dictionaries(st.sampled_from(["price", "m", "mavet", "used", "x"]), anything,
                       max_size=2))
def test_constructor_takes_or_refuses_anything(cls, args, kwargs):
    try:
        record = cls(*args, **kwargs)
    except CONVERSION_ERRORS:
        return
    assert_whole(record)


@given(st.sampled_from(CLASSES), st.data())
def test_setters(cls, data):
    record = sample(cls)
    name, kind = data.draw(st.sampled_from(FIELDS[cls]))
    value = data.draw(st.one_of(anything, value_for(kind)))
    try:
        setattr(record, name, value)
    except CONVERSION_ERRORS:
        pass
    else:
        expected = converted(kind, value)
        assert expected is NotImplemented or same(getattr(record, name), expected)
    assert_whole(record)


def crafted_state(cls):
    """A state tuple of the right kinds, with some elements swapped for anything, some cut off
    or some extra."""
    kinds = [kind for _, kind in FIELDS[cls]]
    return st.tuples(*map(value_for, kinds)).flatmap(lambda good: st.tuples(
        st.just(good), st.lists(st.tuples(st.integers(0, len(good) - 1), anything), max_size=2),
        st.integers(-2, 2))).map(corrupt)


def corrupt(parts):
    good, swaps, cut = parts
    state = list(good)
    for index, value in swaps:
        state[index] = value
    if cut < 0:
        state = state[:cut]
    else:
        state += [{"extra": 1}] * cut
    return tuple(state)


@given(st.sampled_from(CLASSES), st.data())
def test_setstate_with_crafted_states(cls, data):
    state = data.draw(crafted_state(cls))
    record = sample(cls)
    restore_all_or_prefix(record, cls, state, lambda: record.__setstate__(state))


@given(st.sampled_from(CLASSES), st.data())
def test_reconstructors_with_crafted_states(cls, data):
    state = data.draw(st.one_of(crafted_state(cls), st.none(), anything))
    checksum = data.draw(st.one_of(st.just(CHECKSUMS[cls]), st.integers(), anything))
    target = data.draw(st.sampled_from([cls, cls, Derived, int, Mavet]))
    try:
        record = reconstructor(cls)(target, checksum, state)
    except CONVERSION_ERRORS:
        return
    assert int(checksum) in ACCEPTED[cls]
    if isinstance(state, tuple) and isinstance(record, cls):
        restore_all_or_prefix(record, cls, state, lambda: None)
    elif isinstance(record, CLASSES):
        assert_whole(record)


@given(records, st.integers(0, pickle.HIGHEST_PROTOCOL))
def test_nested_records_round_trip(record, protocol):
    outer = MavetResultV2()
    try:
        outer.success = record
    except TypeError:
        assert not isinstance(record, MavetSuccess)
        outer.failure = MavetFailure()
        outer.failure.mavet = record if isinstance(record, Mavet) else None
    assert_whole(pickle.loads(pickle.dumps(outer, protocol)))
