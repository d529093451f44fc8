"""What an engine operation keeps of what it read (settings, host series values) never outlives
host code: a host hook that changes a setting or a series value part-way through an operation
is seen at the next read. The same hooked run on objects the engine may keep from (plain
attributes, exact floats) and on objects it must read afresh every time (every attribute
behind __getattr__, every element a Decimal) gives the same lines after every bar."""

from decimal import Decimal

import pytest
from plain_series import PlainSeries
from test_engine_differential import ATTRIBUTES, COLUMNS, random_market, settings_for

from torvex.dto.torvex import Torvex

BARS = 240
HOOKED = "last_snib_weight"  # read by every merge of the rebuild


class Hook:
    """Each call flips two settings between far-apart values and moves a past close."""

    def __init__(self):
        self.calls = 0

    def __call__(self, store, close):
        self.calls += 1
        store["kerd_overlap_ca_percent_multiplier"] = (
            20.0 if store["kerd_overlap_ca_percent_multiplier"] == 0.5 else 0.5)
        store["bar_cross_threshold"] = 1 if store["bar_cross_threshold"] == 3 else 3
        for back in range(1, min(close.current, 40)):  # the bars the crossing tests read
            close.values[close.current - back] *= 1.2 if (self.calls + back) % 2 else 1 / 1.2


class KeptSettings:
    """Plain attributes the engine may keep; reading `HOOKED` runs the hook."""

    def __init__(self, values, hook, close):
        self.__dict__.update(values)
        self._hook, self._close = hook, close

    @property
    def last_snib_weight(self):
        if self._hook:
            self._hook(self.__dict__, self._close)
        return self.__dict__["_last"]


class FreshSettings:
    """Every attribute behind __getattr__: nothing read can be kept."""

    def __init__(self, values, hook, close):
        object.__setattr__(self, "_store", dict(values))
        object.__setattr__(self, "_hook", hook)
        object.__setattr__(self, "_close", close)

    def __getattr__(self, name):
        if name == HOOKED:
            if self._hook:
                self._hook(self._store, self._close)
            return self._store["_last"]
        return self._store[name]


class DecimalSeries(PlainSeries):
    """Elements the engine must convert by calling float(): never kept."""

    __slots__ = ()

    def __getitem__(self, offset):
        return Decimal(super().__getitem__(offset))


class OverridingEngine(Torvex):
    """The hook runs inside the operations update calls: the intake and the rebuild."""

    def run_hook(self):
        if self.hook:
            store = self.settings.__dict__ if isinstance(self.settings, KeptSettings) else (
                self.settings._store)
            self.hook(store, self.close)

    def add_new_snibs_to_pending(self, is_ma_trending, close_avg_percent):
        found = super().add_new_snibs_to_pending(is_ma_trending, close_avg_percent)
        self.run_hook()
        return found

    def rebuild_kerd_from_most_recent_snib(self, close_avg_percent=None):
        self.run_hook()
        super().rebuild_kerd_from_most_recent_snib(close_avg_percent)


def run(kind, site, hooked):
    market, caps = random_market(3, BARS)
    values = {name: getattr(settings_for("wide", BARS), name) for name in ATTRIBUTES_OF_SETTINGS}
    values["_last"] = values.pop(HOOKED)
    make = PlainSeries if kind == "kept" else DecimalSeries
    series = {name: make(list(market[name]), visible=1) for name in COLUMNS}
    hook = Hook() if hooked else None
    settings_class = KeptSettings if kind == "kept" else FreshSettings
    settings = settings_class(values, hook if site == "setting" else None, series["close"])
    kerds = []
    engine = OverridingEngine(settings, kerds, [], [], [], series["normal_high_snib"],
                              series["normal_low_snib"], series["trending_high_snib"],
                              series["trending_low_snib"], {}, series["close"], series["open"],
                              series["high"], series["low"], 0, series["time"], BARS - 1, 0.01)
    engine.hook = hook if site == "operation" else None
    seen = []
    for bar in range(BARS):
        if bar:
            for s in series.values():
                s.advance()
        engine.bar_index = bar
        found = engine.update(series["is_ma_trending"], caps[bar])
        seen.append((found, [[getattr(k, name) for name in ATTRIBUTES] for k in kerds]))
    return seen, hook.calls if hook else 0


ATTRIBUTES_OF_SETTINGS = [name for name in vars(settings_for("wide", BARS)) if name[0] != "_"]


@pytest.mark.parametrize("site", ["setting", "operation"])
def test_a_hook_changing_settings_and_series_is_seen_at_the_next_read(site):
    kept, calls = run("kept", site, hooked=True)
    fresh, fresh_calls = run("fresh", site, hooked=True)
    unhooked, _ = run("kept", site, hooked=False)
    assert calls > 10 and calls == fresh_calls
    assert kept != unhooked  # the hook changes what the engine builds
    for bar, (got, want) in enumerate(zip(kept, fresh)):
        assert got == want, bar


def slotted(values):
    cls = type("SlotSettings", (), {"__slots__": tuple(values)})
    s = cls()
    for name, value in values.items():
        setattr(s, name, value)
    return s


def class_level(values):
    return type("ClassSettings", (), dict(values))()  # no instance dictionary entries at all


def replaced(values):
    s = type("Holder", (), {})()
    s.before = 1
    s.__dict__ = dict(values)
    return s


def materialised(values):
    s = type("Holder", (), {})()
    for name, value in values.items():
        setattr(s, name, value)
    assert vars(s)["debug"] == values["debug"]  # the dictionary object now exists
    return s


def shadowing(values):
    cls = type("Shadowing", (), {name: -1 for name in values})
    s = cls()
    s.__dict__.update(values)
    return s


@pytest.mark.parametrize("make", [slotted, class_level, replaced, materialised, shadowing])
def test_settings_read_alike_however_the_holder_stores_them(make):
    from test_engine_differential import run_python

    from torvex import native

    market, caps = random_market(2, 200)
    values = {name: getattr(settings_for("body_reuse", 200), name)
              for name in ATTRIBUTES_OF_SETTINGS}
    expected = native.run_engine(market, values_holder(values), 0.01, caps)
    got = list(run_python(market, caps, make(values), "plain"))
    assert [(found, lines) for found, lines, _, _ in got] == [
        (found, [{name: line[name] for name in ATTRIBUTES} for line in lines])
        for found, lines, _, _ in expected]
    assert any(lines for _, lines, _, _ in got)


def values_holder(values):
    return type("Values", (), dict(values))()
