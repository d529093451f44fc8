"""Randomized host programs on the engine: every public operation in random order, settings
of wrong types, bar indices near the 64-bit limits and extreme line attributes. Each program
runs once on the package's series and once on plain Python series: every step either returns
or raises an ordinary error, the same on both, and both end in the same state."""

import math
import random

import numpy as np
from hypothesis import given
from hypothesis import strategies as st
from settings import Settings

from torvex.dto.kerd import Kerd
from torvex.dto.mavet import Mavet
from torvex.dto.snib import Snib
from torvex.dto.torvex import Torvex
from torvex.series import Series

# What a host may see from an operation given bad input; a SystemError or a crash is a fault.
HOST_ERRORS = (TypeError, ValueError, OverflowError, IndexError, AttributeError, KeyError,
               ZeroDivisionError)
I64 = 2**63
SERIES = ("close", "open", "high", "low", "time", "nh", "nl", "th", "tl", "trend")
LINE_ATTRIBUTES = ("start_bar_index", "end_bar_index", "start_time", "end_time", "kerd_value",
                   "kerd_accum_value", "close_avg_percent", "bar_crosses", "violated",
                   "extended", "extend_end_bar_index", "bar_crosses_post_extend",
                   "historical_extend_bar_crosses_checked", "post_extend_end_bar_index")
RECORD_FIELDS = {
    Snib: ("bar_index_at_pivot", "bar_time_at_pivot", "close_at_pivot", "close_avg_percent",
           "is_high", "is_trending", "m", "n", "price", "used"),
    Mavet: ("bar_count_close_above_kerd", "break_kerd_at_bar_index", "break_kerd_at_price",
            "break_kerd_extend_bar_cross", "recover_at_bar_index", "recovered",
            "vip_snib_count"),
}


class PlainSeries:
    """A host series in plain Python, advanced by moving its current bar."""

    def __init__(self, values):
        self.values, self.current = list(values), 0

    def __getitem__(self, offset):
        if offset > 0 or -offset > self.current:
            raise IndexError("series offset out of reach")
        return self.values[self.current + offset]

    def advance(self):
        self.current += 1


def package_series(values):
    return Series(np.asarray(values, dtype=np.float64), visible=1)


def market(seed, bars):
    rng = random.Random(seed)
    price, col = 50.0, {name: [] for name in SERIES}
    for i in range(bars):
        o, c = price + rng.choice([-1, 0, 1]) * 0.5, price + rng.randint(-3, 3) * 0.5
        col["open"].append(o)
        col["close"].append(c)
        col["high"].append(max(o, c) + rng.randint(0, 2) * 0.5)
        col["low"].append(min(o, c) - rng.randint(0, 2) * 0.5)
        col["time"].append(1000 + 60 * i)
        col["trend"].append(float(rng.random() < 0.3))
        for name, source in (("nh", "high"), ("nl", "low"), ("th", "high"), ("tl", "low")):
            pivot = rng.random() < 0.25 and i >= 3
            col[name].append(col[source][i - 3] if pivot else math.nan)
        price = c
    return col


numbers = st.one_of(
    st.integers(-5, 60), st.floats(), st.integers(-I64 - 1, I64), st.sampled_from(
        [I64 - 1, -I64, I64, -I64 - 1, 2**31, -2**31 - 1, 0.5, 1e308, -1e308, 5e-324]))
odd_values = st.one_of(numbers, st.none(), st.booleans(), st.text(max_size=2),
                       st.just([1.0]), st.just(Mavet(1.0, 1)))
bar_indices = st.one_of(st.integers(0, 60), st.sampled_from(
    [I64 - 1, I64 - 2, -I64, -I64 + 1, I64, -I64 - 1, 2**31, -1]))

SETTING_NAMES = ("debug", "debug_start_time", "debug_end_time", "draw_from_recent",
                 "bar_count_to_snib", "high_snib_n", "high_snib_m", "low_snib_n", "low_snib_m",
                 "high_snib_n_on_trend", "low_snib_m_on_trend", "only_body_cross",
                 "kerd_extend_bar_cross_threshold", "allow_reuse_snib",
                 "kerd_overlap_ca_percent_multiplier", "bar_cross_threshold",
                 "last_snib_weight", "second_last_snib_weight", "snib_weight",
                 "kerd_length_threshold")

operations = st.one_of(
    st.tuples(st.just("advance"), st.integers(1, 6)),
    st.tuples(st.just("bar_index"), bar_indices),
    st.tuples(st.just("last_bar_index"), bar_indices),
    st.tuples(st.just("setting"), st.sampled_from(SETTING_NAMES), odd_values),
    st.tuples(st.just("call"), st.sampled_from(
        ["add_new_snibs_to_processed_array", "sort_kerds_by_end_bar_index",
         "remove_kerd_by_end_bar_index", "extend_kerd_to_first_cross", "sort_and_filter_kerds",
         "clear_all_kerd", "extend_kerd_to_first_cross_from_history"])),
    st.tuples(st.just("update"), numbers),
    st.tuples(st.just("add_new_snibs_to_pending"), numbers),
    st.tuples(st.just("rebuild_kerd_from_most_recent_snib"), numbers),
    st.tuples(st.just("update_mavet"), st.lists(numbers, min_size=4, max_size=4)),
    st.tuples(st.just("check_mavet"), st.lists(numbers, min_size=6, max_size=6)),
    st.tuples(st.just("check_mavet_v3"), st.lists(numbers, min_size=8, max_size=8)),
    st.tuples(st.just("commit_latest_mavet"), numbers),
    st.tuples(st.just("round_to_mintick"), numbers),
    st.tuples(st.just("get_success_by_vvip"), st.integers(0, 3)),
    st.tuples(st.just("line"), st.dictionaries(st.sampled_from(LINE_ATTRIBUTES), odd_values,
                                               max_size=3)),
    st.tuples(st.just("poke"), st.integers(0, 9), st.sampled_from(LINE_ATTRIBUTES), odd_values),
)


class Host:
    """One engine over one market, with its series made by `make`."""

    def __init__(self, col, make):
        self.series = {name: make(values) for name, values in col.items()}
        self.bars = len(col["close"])
        self.settings = Settings(bar_count_to_snib=self.bars, high_snib_m=3, low_snib_m=3,
                                 kerd_length_threshold=40)
        self.kerds, self.vip, self.new, self.mavets, self.latest = [], [], [], [], {}
        self.results = []
        s = self.series
        self.engine = Torvex(self.settings, self.kerds, self.vip, self.new, self.mavets, s["nh"],
                             s["nl"], s["th"], s["tl"], self.latest, s["close"], s["open"],
                             s["high"], s["low"], 0, s["time"], self.bars - 1, 0.01)
        self.position = 0

    def do(self, op):
        e, kind, args = self.engine, op[0], op[1:]
        if kind == "advance":
            for _ in range(min(args[0], self.bars - 1 - self.position)):
                for one in self.series.values():
                    one.advance()
                self.position += 1
            e.bar_index = self.position
        elif kind == "bar_index":
            e.bar_index = args[0]
        elif kind == "last_bar_index":
            e.last_bar_index = args[0]
        elif kind == "setting":
            setattr(self.settings, args[0], args[1])
        elif kind == "call":
            return getattr(e, args[0])()
        elif kind in ("update", "add_new_snibs_to_pending"):
            return getattr(e, kind)(self.series["trend"], args[0])
        elif kind in ("update_mavet", "check_mavet", "check_mavet_v3"):
            result = getattr(e, kind)(*args[0])
            self.results.append(result)
            return result
        elif kind == "commit":
            last = self.results[-1] if self.results else None
            if getattr(last, "success", None) is not None and last.success.mavet is not None:
                e.commit_latest_mavet(last.success.mavet.break_kerd_at_price)
        elif kind == "get_success_by_vvip":
            found = [r.success for r in self.results if hasattr(r, "success")][-args[0]:]
            return e.get_success_by_vvip([s for s in found if s is not None])
        elif kind == "line":
            k = Kerd(e.close, e.open, e.high, e.low, e.bar_index, e.time, e.last_bar_index,
                     e.mintick, 2, 3, 1120, 1180, 50.0, 100.0, [50.0, 50.0], 1.0)
            for name, value in args[0].items():
                setattr(k, name, value)
            self.kerds.append(k)
        elif kind == "poke":
            if self.kerds:
                setattr(self.kerds[args[0] % len(self.kerds)], args[1], args[2])
        else:
            return getattr(e, kind)(args[0])

    def state(self):
        def record(r):
            return tuple(getattr(r, f) for f in RECORD_FIELDS[type(r)])

        lines = [tuple(getattr(k, a, None) for a in LINE_ATTRIBUTES) + (list(k.snib_values),)
                 for k in self.kerds]
        return (lines, [record(s) for s in self.vip], [record(s) for s in self.new],
                [record(m) for m in self.mavets], dict(self.latest))


def summary(value):
    """A record as its class and serialized fields, nested records likewise."""
    if type(value).__module__.startswith("torvex.dto"):
        recipe = value.__reduce__()
        state = recipe[2] if len(recipe) > 2 else recipe[1][2]
        return type(value).__name__, tuple(summary(x) for x in state)
    return value


def outcome(host, op):
    try:
        return summary(host.do(op))
    except HOST_ERRORS as e:
        return type(e).__name__


def same(a, b):
    """Equal, NaN equal to NaN, in nested tuples, lists and dicts."""
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    if isinstance(a, (tuple, list)) and isinstance(b, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


# A host's bar: advance, update, the window calls and the commit of a signal; random
# operations go in between.
BAR = [("advance", 1), ("update", 1.0), ("update_mavet", [5, 3, 0.5, 1.0]),
       ("check_mavet_v3", [1.0, 0.2, 5, 3, 0.5, 0.5, 1, 2]), ("commit", None)]


def bar_program(extra):
    """The host's bars with the random operations inserted at their drawn places."""
    program = []
    for step, ops in enumerate(extra):
        program += BAR[:1 + step % 2] + ops + BAR[1 + step % 2:]
    return program


@given(st.integers(0, 2**32), st.integers(8, 40),
       st.lists(st.lists(operations, max_size=2), max_size=40).map(bar_program))
def test_random_host_programs(seed, bars, program):
    col = market(seed, bars)
    hosts = [Host(col, package_series), Host(col, PlainSeries)]
    for op in program:
        seen = [outcome(host, op) for host in hosts]
        assert same(seen[0], seen[1]), op
    states = [host.state() for host in hosts]
    assert same(states[0], states[1])
    for host in hosts:
        assert all(type(s) is Snib for s in host.vip + host.new)
        assert all(type(m) is Mavet for m in host.mavets)
