"""A run stopped part-way, whose records and line attributes are pickled and restored into a
fresh engine that then continues, ends with exactly the lines, windows and results of the run
that was never stopped: the engine keeps nothing that its host's containers do not hold."""

import pickle

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from settings import Settings
from test_fuzz_engine import LINE_ATTRIBUTES, PlainSeries, market, same, summary

from torvex.dto.kerd import Kerd
from torvex.dto.torvex import Torvex
from torvex.series import Series

BASE = ("bar_index", "last_bar_index", "mintick")
NAMES = ("nh", "nl", "th", "tl", "close", "open", "high", "low", "time", "trend")


def package_series(values, current):
    return Series(np.asarray(values, dtype=np.float64), visible=current + 1)


def plain_series(values, current):
    series = PlainSeries(values)
    series.current = current
    return series


class Run:
    """The host loop over one market from bar `start`, on the containers it is given."""

    def __init__(self, col, make, settings, start, kerds=(), vip=(), new=(), mavets=(),
                 latest=None, results=()):
        self.s = {name: make(col[name], start) for name in NAMES}
        self.kerds, self.vip, self.new = list(kerds), list(vip), list(new)
        self.mavets, self.latest = list(mavets), dict(latest or {})
        self.results, self.bar, self.bars = list(results), start, len(col["close"])
        s = self.s
        self.engine = Torvex(settings, self.kerds, self.vip, self.new, self.mavets, s["nh"],
                             s["nl"], s["th"], s["tl"], self.latest, s["close"], s["open"],
                             s["high"], s["low"], start, s["time"], self.bars - 1, 0.5)

    def step(self):
        e = self.engine
        e.update(self.s["trend"], 1.0)
        if self.bar >= 3:
            e.update_mavet(5, 3, 0.5, 1.0)
        result = e.check_mavet_v3(1.0, 0.2, 5, 3, 0.5, 0.5, 1, 2)
        self.results.append(summary(result))
        if result.is_kerd_satisfied():
            e.commit_latest_mavet(result.success.mavet.break_kerd_at_price)

    def until(self, stop):
        while True:
            self.step()
            if self.bar == stop:
                return self
            for one in self.s.values():
                one.advance()
            self.bar += 1
            self.engine.bar_index = self.bar

    def saved(self):
        lines = [{a: getattr(k, a) for a in LINE_ATTRIBUTES + BASE + ("snib_values",)}
                 for k in self.kerds]
        return pickle.dumps((lines, self.vip, self.new, self.mavets, self.latest, self.results))

    def state(self):
        lines = [[getattr(k, a) for a in LINE_ATTRIBUTES + BASE + ("snib_values",)]
                 for k in self.kerds]
        records = [[summary(r) for r in group] for group in (self.vip, self.new, self.mavets)]
        return lines, records, self.latest, self.results


def restored(data, col, make, settings, bar):
    lines, vip, new, mavets, latest, results = pickle.loads(data)
    run = Run(col, make, settings, bar, (), vip, new, mavets, latest, results)
    e = run.engine
    # run.kerds is the engine's own list: fill it, never rebind it.
    for attributes in lines:
        line = Kerd(e.close, e.open, e.high, e.low, e.bar_index, e.time, e.last_bar_index,
                    e.mintick, 0, 0, 0, 0, 0.0, 0.0, [], 0.0)
        for name, value in attributes.items():
            setattr(line, name, value)
        run.kerds.append(line)
    return run


@pytest.mark.parametrize("make", [package_series, plain_series], ids=["package", "plain"])
@given(seed=st.integers(0, 2**32), bars=st.integers(20, 70), stop=st.floats(0, 1),
       body=st.booleans(), reuse=st.booleans(), tolerance=st.sampled_from([1, 2, 2.5]))
def test_resumed_run_ends_as_the_uninterrupted_one(make, seed, bars, stop, body, reuse,
                                                  tolerance):
    col = market(seed, bars)
    values = dict(bar_count_to_snib=bars // 2, high_snib_m=3, low_snib_m=3,
                  only_body_cross=body, allow_reuse_snib=reuse,
                  kerd_extend_bar_cross_threshold=tolerance, kerd_length_threshold=40)
    whole = Run(col, make, Settings(**values), 0).until(bars - 1)
    stop_bar = min(int(stop * bars), bars - 2)
    first = Run(col, make, Settings(**values), 0).until(stop_bar)
    second = restored(first.saved(), col, make, Settings(**values), stop_bar + 1)
    second.until(bars - 1)
    assert same(second.state(), whole.state())
