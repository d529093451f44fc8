"""The engine's own attributes read once and kept through host code that leaves them as they
were: host code that changes them (a round_to_mintick override in the middle of a check, a
host series read in the middle of update, host code between calls) is seen at the next read,
exactly as by an engine whose every attribute read runs host code and so keeps nothing.

Every window is at a level the bar-45 close 103 recovers from at once (margins 1 %), so a
check judges all of them, each of which passes unless the change makes it fail."""

import pytest
from settings import Settings

from torvex.dto.mavet import Mavet
from torvex.dto.torvex import Torvex
from torvex.series import Series

LEVELS = (100.0, 99.0, 98.0, 97.0)
BARS = 46


class Hooked:
    """Mixed in ahead of the engine class: every attribute read of the engine goes through
    __getattr__'s slot, so nothing read is kept (the reference)."""

    def __getattr__(self, name):
        raise AttributeError(name)


def engine_classes(change, base=Torvex):
    """The engine class under test and its reference, whose round_to_mintick calls
    `change(engine, call)` first; both note every success a check chooses among."""

    def round_to_mintick(self, price):
        self.calls += 1
        change(self, self.calls)
        return round(price / self.mintick) * self.mintick

    def get_success_by_vvip(self, successes):
        self.successes.append([window(s.mavet) for s in successes])
        return Torvex.get_success_by_vvip(self, successes)

    body = {"round_to_mintick": round_to_mintick, "get_success_by_vvip": get_success_by_vvip}
    return type("Plain", (base,), dict(body)), type("Looked", (Hooked, base), dict(body))


def closes():
    values = [100.0] * BARS
    values[-1] = 103.0
    return values


def lows():
    values = [99.0] * BARS
    values[-1] = 101.0
    return values


def build(cls, crosses=1):
    close, low = Series(closes()), Series(lows())
    mavets = [Mavet(level, 40, None, crosses, 10, 1) for level in LEVELS]
    engine = cls(Settings(kerd_extend_bar_cross_threshold=3), [], [], [], mavets,
                 *[Series([float("nan")] * BARS) for _ in range(4)], {}, close, close,
                 Series([c + 1 for c in closes()]), low, BARS - 1, Series(list(range(BARS))),
                 BARS - 1, 0.01)
    engine.calls, engine.successes = 0, []
    engine.windows = list(mavets)
    return engine


def replace_series(attr, values):
    return lambda e: setattr(e, attr, Series(values))


def low_of(recent):
    """Lows whose last two bars are at `recent`."""
    return lows()[:-2] + [recent, recent]


# What a host's code may do to the engine's attributes; each changes the outcome of the
# windows checked after it.
CHANGES = {
    "setting": lambda e: setattr(e.settings, "kerd_extend_bar_cross_threshold", 0),
    "settings": lambda e: setattr(e, "settings", Settings(kerd_extend_bar_cross_threshold=0)),
    "latest rebound": lambda e: setattr(e, "latest_mavets", {98.0: 44, 97.0: 44}),
    "latest in place": lambda e: e.latest_mavets.update({98.0: 44}),
    "mavets": lambda e: setattr(e, "mavets", e.mavets[:2]),
    "low": replace_series("low", low_of(110.0)),
    "close": replace_series("close", closes()[:-1] + [99.0]),
    "bar_index": lambda e: setattr(e, "bar_index", 46),
    "dictionary item": lambda e: vars(e).__setitem__("low", Series(low_of(110.0))),
    "dictionary update": lambda e: vars(e).update(bar_index=46),
    "dictionary replaced": lambda e: setattr(e, "__dict__", dict(vars(e), bar_index=46)),
    "deleted and set": lambda e: (delattr(e, "low"), setattr(e, "low", Series(low_of(110.0)))),
    "class property": lambda e: setattr(type(e), "low", property(lambda _: Series(low_of(110.0)))),
}


WINDOW_FIELDS = ("break_kerd_at_price", "break_kerd_at_bar_index", "recover_at_bar_index",
                 "break_kerd_extend_bar_cross", "bar_count_close_above_kerd", "vip_snib_count",
                 "recovered")


def window(w):
    return None if w is None else tuple(getattr(w, name) for name in WINDOW_FIELDS)


def outcome(engine, result):
    def record(r):
        if r is None:
            return None
        fields = {name: getattr(r, name) for name in dir(r)
                  if not name.startswith("_") and not callable(getattr(r, name))}
        fields["mavet"] = window(fields["mavet"])
        return fields

    return (record(result.success), record(result.failure), engine.successes,
            [window(w) for w in engine.windows], dict(engine.latest_mavets))


def run_check(cls, change, warm):
    if warm:  # the change's own code specialised first, on another engine of the class
        for _ in range(64):
            change(build(cls))
    engine = build(cls)
    result = engine.check_mavet_v3(1, 1, 10, 10, 1, 1, 5, 3)
    return outcome(engine, result)


# Each change also with its own code specialised first, where it can run more than once.
IN_A_CHECK = [pytest.param(change, warm, id=f"{name}-{'warm' if warm else 'cold'}")
              for name, change in CHANGES.items() for warm in (False, True)
              if not (warm and name == "class property")]


@pytest.mark.parametrize("change, warm", IN_A_CHECK)
def test_a_change_in_the_middle_of_a_check_is_seen(change, warm):
    plain, looked = engine_classes(lambda e, call: call == 2 and change(e))
    got = run_check(plain, change, warm)
    assert got == run_check(looked, change, warm)
    unchanged, _ = engine_classes(lambda e, call: None)
    assert got != run_check(unchanged, change, False)


def test_a_change_of_a_base_class_in_the_middle_of_a_check_is_seen():
    def run(which, changed=True):
        base = type("Base", (Torvex,), {})  # each run its own, changed by its own check
        low = property(lambda _: Series(low_of(110.0)))
        classes = engine_classes(lambda e, call: changed and call == 2 and setattr(base, "low", low),
                                 base)
        return run_check(classes[which], None, False)

    got = run(0)
    assert got == run(1)
    assert got != run(0, changed=False)


def test_the_engine_keeps_its_reads_without_a_change():
    seen = []
    plain, looked = engine_classes(lambda e, call: seen.append(call))
    assert run_check(plain, None, False) == run_check(looked, None, False)
    assert seen == [1, 2, 3, 4, 1, 2, 3, 4]


def test_a_change_through_an_object_sharing_the_dictionary_is_seen():
    class Twin:
        def __init__(self, engine):
            for name, value in vars(engine).items():
                setattr(self, name, value)

    twins, calls = [], []

    def round_to_mintick(self, price):
        # Changes nothing of the engine's own but through the twin.
        calls.append(price)
        if len(calls) == 2 and twins:
            twins[-1].low = Series(low_of(110.0))
        return round(price / self.mintick) * self.mintick

    def run(cls, twin):
        engine = build(cls)
        twins[:] = [Twin(engine)] if twin else []
        calls.clear()
        engine.__dict__ = (twins[0] if twin else Twin(engine)).__dict__
        return outcome(engine, engine.check_mavet_v3(1, 1, 10, 10, 1, 1, 5, 3))

    body = {"round_to_mintick": round_to_mintick}
    got = run(type("Plain", (Torvex,), dict(body)), True)
    assert got == run(type("Looked", (Hooked, Torvex), dict(body)), True)
    assert got != run(type("Plain", (Torvex,), dict(body)), False)


@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES.keys())
def test_a_change_between_calls_is_seen(change):
    def runs(cls):
        engine, results = build(cls), []
        for bar in range(3):
            engine.round_to_mintick(1.0)  # a host method of the class, specialised by now
            results.append(outcome(engine, engine.check_mavet_v3(1, 1, 10, 10, 1, 1, 5, 3)))
            change(engine)
            for w in engine.windows:
                w.recovered = False
        return results

    plain, looked = engine_classes(lambda e, call: None)
    assert runs(plain) == runs(looked)


class ChangingSeries:
    """A host series that runs `change(engine)` at its n-th read."""

    def __init__(self, values, n, change):
        self.values, self.n, self.change, self.engine = values, n, change, None

    def __getitem__(self, offset):
        self.n -= 1
        if self.n == 0:
            self.change(self.engine)
        return self.values[len(self.values) - 1 + offset]


LINE_CHANGES = {
    "mintick": lambda e: setattr(e, "mintick", 0.5),
    "bar_index": lambda e: setattr(e, "bar_index", 44),
    "last_bar_index": lambda e: vars(e).update(last_bar_index=7),
    "time": lambda e: setattr(e, "time", Series([5000.0 + i for i in range(BARS)])),
}


@pytest.mark.parametrize("at_read", [1, 2, 3])
@pytest.mark.parametrize("change", LINE_CHANGES.values(), ids=LINE_CHANGES.keys())
def test_a_change_in_the_middle_of_update_reaches_new_lines(change, at_read):
    def lines(cls):
        bars = 12
        high = [10.0] * bars
        high[-4] = 20.0  # a high pivot three bars back, reported now
        nh = ChangingSeries([float("nan")] * (bars - 1) + [20.0], at_read, change)
        nan = Series([float("nan")] * bars)
        kerds = []
        engine = cls(Settings(draw_from_recent=False), kerds, [], [], [], nh, nan, nan, nan, {},
                     Series([9.0] * bars), Series([9.0] * bars), Series(high),
                     Series([8.0] * bars), bars - 1, Series([float(t) for t in range(bars)]),
                     bars - 1, 0.01)
        nh.engine = engine
        engine.update(Series([0.0] * bars), 1.0)
        engine.add_new_snibs_to_processed_array()
        engine.rebuild_kerd_from_most_recent_snib()
        return [{name: getattr(k, name) for name in ("mintick", "bar_index", "last_bar_index",
                                                      "start_bar_index", "end_time")}
                | {"time": k.time[0]} for k in kerds]

    plain, looked = engine_classes(lambda e, call: None)
    got = lines(plain)
    assert got and got == lines(looked)
