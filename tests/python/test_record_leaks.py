import copy
import gc
import pickle
import sys

import pytest

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


WORKLOADS = [snib_workload]


def allocated_after(workload, rounds):
    for _ in range(rounds):
        workload()
    gc.collect()
    return sys.getallocatedblocks()


@pytest.mark.parametrize("workload", WORKLOADS)
def test_repeated_use_does_not_grow_memory(workload):
    allocated_after(workload, 200)  # warm caches, interned names, pickle's module state
    before = allocated_after(workload, 1)
    after = allocated_after(workload, 2000)
    # Every path runs in every round, so a leak grows by at least 2000 blocks; the slack only
    # absorbs the interpreter's own free lists and caches settling.
    assert after - before < 200, (before, after)
