"""Repeated use of the live types (construction, bars, peeks, copies, pickles, bad bars, bad
settings, damaged states) does not grow memory."""

import math
import pickle

from leak_check import block_growth
from torvex import native
from torvex.kit import Settings, sample_bars

BARS = sample_bars()
ROWS = list(zip(BARS.time.tolist(), BARS.open.tolist(), BARS.high.tolist(), BARS.low.tolist(),
                BARS.close.tolist()))[:120]
SETTINGS = Settings(bar_count_to_snib=30, kerd_length_threshold=20, search_range=3)


def attempt(action, error, *args):
    try:
        action(*args)
    except error:
        pass


def live_workload():
    for form in (1, 3):
        stream = native.LiveStream(SETTINGS, form)
        inputs = native.LiveInputs(SETTINGS)
        for row in ROWS:
            stream.peek(*row)
            stream.add(*row)
            inputs.add(row[2], row[3], row[4])
        stream.lines()
        stream.pivots()
        stream.copy().add(ROWS[-1][0] + 1, *ROWS[-1][1:])
        pickle.loads(pickle.dumps(stream))
        pickle.loads(pickle.dumps(inputs)).copy()
        attempt(stream.add, ValueError, ROWS[-1][0], *ROWS[-1][1:])
        attempt(stream.add, ValueError, math.nan, 1.0, 1.0, 1.0, 1.0)
        attempt(stream.add, TypeError, "x", 1.0, 1.0, 1.0, 1.0)
        attempt(native.LiveStream._from_state, ValueError, b"\x00" * 40)
        attempt(native.LiveStream, ValueError, SETTINGS, 2)
        attempt(native.LiveInputs, AttributeError, object())


def test_repeated_live_use_does_not_grow_memory():
    growth = block_growth(live_workload, 3, 200)
    assert min(growth) < 100, growth
