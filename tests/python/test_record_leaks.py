import copy
import gc
import pickle
import weakref

import pytest
from leak_check import block_growth

from torvex.dto.mavet import (FlatternMavetResultV2, Mavet, MavetFailure, MavetResult,
                              MavetResultV2, MavetSuccess, __pyx_unpickle_MavetResult,
                              from_mavet_result_v2)
from torvex.dto.snib import Snib, __pyx_unpickle_Snib


class Derived(Snib):
    pass


def snib_workload():
    record = Snib(5, 3, 1.5, 1.25, 12.7, 100, [1], None, 0.5)
    record.n, record.price, record.used = 7, 2, "yes"
    for bad in ("x", 2**31, None, 10**40):
        try:
            record.bar_index_at_pivot = bad
        except (TypeError, OverflowError):
            pass
    for kwargs in ({"n": "x"}, {"used": 1, "bogus": 2}):
        try:
            Snib(1, 2, 3, 4, 5, 6, 7, 8, 9, **kwargs)
        except TypeError:
            pass
    try:
        del record.price
    except NotImplementedError:
        pass
    try:
        __pyx_unpickle_Snib(Snib, 0x1234, None)
    except pickle.PickleError:
        pass
    record.copy()
    repr(record)
    derived = Derived(1, 2, 3, 4, 5, 6, 7, 8, 9)
    derived.extra = [1, 2]
    for protocol in (0, 2, pickle.HIGHEST_PROTOCOL):
        pickle.loads(pickle.dumps(record, protocol))
        pickle.loads(pickle.dumps(derived, protocol))
    copy.deepcopy(derived)


class DerivedResult(MavetResultV2):
    def violate_recover_window(self):
        raise KeyError("host")


def attempt(action, *errors):
    try:
        action()
    except errors:
        pass


def mavet_workload():
    window = Mavet(1.5, 10, None, 1, 2, 3)
    window.recovered = 1
    window.recover_at_bar_index = -1
    attempt(lambda: setattr(window, "recover_at_bar_index", None), TypeError)
    attempt(lambda: setattr(window, "vip_snib_count", 2**40), OverflowError)
    attempt(lambda: Mavet(1.5, "x"), TypeError)
    failure = MavetFailure(True, True, mavet=window.copy())
    success = MavetSuccess(True, False, [object()], window.copy())
    result = MavetResultV2(failure, success)
    attempt(lambda: setattr(result, "failure", success), TypeError)
    attempt(lambda: MavetResultV2(success, failure), TypeError)
    attempt(lambda: __pyx_unpickle_MavetResult(MavetResult, 0x47fb226, (0, 0, 5)), TypeError)
    del success.mavet
    for name in ("recovery_has_result", "is_vvip_signal", "violate_signal_window"):
        getattr(result, name)()
    from_mavet_result_v2(result)
    attempt(lambda: from_mavet_result_v2(DerivedResult(failure)), KeyError)
    attempt(lambda: from_mavet_result_v2(None), TypeError)
    repr(result)
    cycle = MavetSuccess()
    cycle.signal_debug_line = cycle
    for protocol in (0, 2, pickle.HIGHEST_PROTOCOL):
        pickle.loads(pickle.dumps(result, protocol))
        pickle.loads(pickle.dumps(cycle, protocol))
        pickle.loads(pickle.dumps(FlatternMavetResultV2(2.5, True), protocol))
    copy.deepcopy(result)


WORKLOADS = [snib_workload, mavet_workload]


@pytest.mark.parametrize("workload", WORKLOADS)
def test_repeated_use_does_not_grow_memory(workload):
    growth = block_growth(workload, 200, 2000)
    assert min(growth) < 200, growth


class Handle:
    """A host object that can be watched for collection."""


@pytest.mark.parametrize("link", ["signal_debug_line", "nested", "derived"])
def test_cycles_through_records_are_collected(link):
    handle = Handle()
    if link == "signal_debug_line":
        handle.record = MavetSuccess(signal_debug_line=handle)
    elif link == "nested":
        handle.record = MavetResultV2(success=MavetSuccess(signal_debug_line=handle))
    else:
        record = type("Derived", (Snib,), {})(1, 2, 3, 4, 5, 6, 7, 8, 9)
        record.handle, handle.record = handle, record
        del record
    watch = weakref.ref(handle)
    gc.collect()
    del handle
    assert watch() is not None  # kept alive by the cycle alone
    gc.collect()
    assert watch() is None


def test_deep_chains_are_released_without_exhausting_the_stack():
    tail = Handle()
    watch = weakref.ref(tail)
    head = MavetSuccess(signal_debug_line=tail)
    del tail
    for _ in range(200000):
        head = MavetSuccess(signal_debug_line=head)
    del head  # no collection needed: the chain holds no cycle
    assert watch() is None
