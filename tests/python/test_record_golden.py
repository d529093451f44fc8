"""Pickled records written by released builds must keep loading with the same contents.

Each file in golden/ holds (records, expected): expected describes every record, nested ones
included, as plain values, so a file carries its own answer. The files were written by this
module; rerun it only to add records, never to "fix" a failing load:

    PYTHONPATH=src python3 tests/python/test_record_golden.py
"""
import math
import os
import pickle

import pytest

from test_record_pickle import describe
from torvex.dto.mavet import (FlatternMavetResultV2, Mavet, MavetFailure, MavetResult,
                              MavetResultV2, MavetSuccess)
from torvex.dto.snib import Snib

GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "golden")
PROTOCOLS = (2, 5)  # 5 is pickle.HIGHEST_PROTOCOL of the interpreters we release for

def snib_records():
    return [
        Snib(5, 3, 101.25, 100.5, 42, 1700000000, True, False, 0.75),
        Snib(8, 2, -0.5, 1e300, 2**31 - 1, -2**31, False, True, math.inf, True),
        Snib(0, 0, 0, 0, 0, 0, False, False, 0),
    ]


def mavet_records():
    recovered = Mavet(250.5, 1200, 1203, 2, 5, 4)
    recovered.recovered = True
    return [
        Mavet(101.25, 40),
        recovered,
        MavetResult(True, True, False, True, False, True),
        MavetResult(False, True, mavet=recovered),
        MavetFailure(True, True, False, True, False, Mavet(-3.5, 2**31 - 1, 0)),
        MavetSuccess(True, True, None, recovered),
        MavetSuccess(signal_debug_line=("line", 7)),
        MavetResultV2(),
        MavetResultV2(MavetFailure(True, violate_signal_window=True, mavet=recovered),
                      MavetSuccess(True, False, None, recovered)),
        FlatternMavetResultV2(),
        FlatternMavetResultV2(250.5, True, True, False, False, True, False, True, False),
    ]


SETS = {"snib": snib_records, "mavet": mavet_records}


def path(name, protocol):
    return os.path.join(GOLDEN, "%s.p%d.pickle" % (name, protocol))


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("name", sorted(SETS))
def test_golden_pickles_load_with_the_same_contents(name, protocol):
    with open(path(name, protocol), "rb") as f:
        records, expected = pickle.load(f)
    assert [describe(record) for record in records] == expected
    assert len(expected) == len(SETS[name]())


def write():
    os.makedirs(GOLDEN, exist_ok=True)
    for name, make in SETS.items():
        records = make()
        for protocol in PROTOCOLS:
            with open(path(name, protocol), "wb") as f:
                pickle.dump((records, [describe(r) for r in records]), f, protocol)


if __name__ == "__main__":
    write()
