"""The new lines of a rebuild. Lines of the package's own class wait to be built until they are
appended or host code is about to run; a line class with host code (here, a host initialiser)
has every line built by the class at once. Either way the host sees the same lines, as the
class builds them, and the same host code at the same points."""

import pytest
from own_process import in_own_process
from settings import Settings
from test_engine_host_reads import ATTRIBUTES, Hooked, build, scenario

from torvex.dto.kerd import Kerd
from torvex.dto.snib import Snib

BASE_VALUES = ("close", "open", "high", "low", "time")


class Refusing(list):
    """The engine's line list, a host list that raises at its `refuse_at`-th append and records
    what each appended line holds at that moment."""

    def __init__(self, refuse_at, seen):
        super().__init__()
        self.refuse_at, self.seen = refuse_at, seen

    def append(self, line):
        self.seen.append(contents(line, None))
        if len(self.seen) == self.refuse_at:
            raise RuntimeError("host list refused")
        super().append(line)


def contents(line, engine):
    """What a line holds, in its attribute order: the base series by identity, the rest by type
    and exact value (repr tells every float apart, NaN equal to itself)."""
    return [(name, value is getattr(engine, name) if engine is not None and name in BASE_VALUES
             else (type(value), repr(value))) for name, value in vars(line).items()]


class HostIndex(int):
    """A bar index of the host's own int type."""


def rebuild(seed, monkeypatch, by_class, refuse_at=None, on_read=None, holder=None,
            index_type=int):
    """Two rebuilds (the second from the lines the first left) of a random scenario. With
    `by_class` the line class's initialiser is a host's, which records each line it builds.
    Gives the error, the lines' contents, what the host list saw appended and the records;
    `holder`, a dict, is given the engine as "engine". The engine's bar index is an
    `index_type`."""
    columns, lines, pivots, values = scenario(seed)
    settings = Hooked(on_read, **values) if on_read else Settings(**values)
    engine = build(columns, settings, "package", [])
    engine.bar_index = index_type(engine.bar_index)
    if holder is not None:
        holder["engine"] = engine
    seen, built = [], []
    if refuse_at is not None:
        engine.kerds = Refusing(refuse_at, seen)
    e = engine
    for end, level, attrs in lines:
        if end >= 0:
            list.append(engine.kerds, Kerd(
                e.close, e.open, e.high, e.low, e.bar_index, e.time, e.last_bar_index, e.mintick,
                end, end, 1000 + 60 * end, 1000 + 60 * end, level, level, [level], 1.0, **attrs))
    engine.new_vip_snibs.extend(p for p in pivots if p.bar_index_at_pivot >= 0)
    if by_class:
        own = Kerd.__init__

        def host_init(self, *args, **kwargs):
            built.append((kwargs["start_bar_index"], kwargs["kerd_value"]))
            own(self, *args, **kwargs)

        monkeypatch.setattr(Kerd, "__init__", host_init)
    error = None
    try:
        engine.rebuild_kerd_from_most_recent_snib()
        engine.new_vip_snibs.append(engine.vip_snibs.pop(0))
        engine.rebuild_kerd_from_most_recent_snib()
    except (IndexError, RuntimeError) as exc:
        error = str(exc)
    finally:
        monkeypatch.undo()
    return error, [contents(k, engine) for k in engine.kerds], seen, built, engine.vip_snibs


@pytest.mark.parametrize("index_type", [int, HostIndex])
@pytest.mark.parametrize("seed", range(10))
@in_own_process
def test_new_lines_hold_what_the_class_builds_and_a_host_initialiser_runs_per_pivot(
        seed, index_type, monkeypatch):
    error, lines, _, _, _ = rebuild(seed, monkeypatch, False, index_type=index_type)
    by_class, by_class_lines, _, built, vip = rebuild(seed, monkeypatch, True,
                                                      index_type=index_type)
    assert error is None and by_class is None and lines
    assert lines == by_class_lines
    # The second rebuild builds one line per processed pivot, newest first.
    assert built[-len(vip):] == [(p.bar_index_at_pivot, p.price) for p in reversed(vip)]


@pytest.mark.parametrize("refuse_at", [1, 2, 4])
@pytest.mark.parametrize("seed", range(6))
@in_own_process
def test_a_host_list_refusing_a_line_sees_every_line_it_is_given_fully_built(
        seed, refuse_at, monkeypatch):
    kept = rebuild(seed, monkeypatch, False, refuse_at)
    assert kept[0] is None or kept[0] == "host list refused"
    assert all(len(line) == 8 + len(ATTRIBUTES) for line in kept[2])
    assert kept[:3] == rebuild(seed, monkeypatch, True, refuse_at)[:3]


@pytest.mark.parametrize("change_at", range(1, 100, 6))
@pytest.mark.parametrize("seed", range(8))
@in_own_process
def test_a_line_class_changed_by_host_code_mid_rebuild_affects_only_later_lines(
        seed, change_at, monkeypatch):
    # At the settings read numbered change_at, host code puts a data descriptor on the line
    # class: lines made before that read are built as they were made, later ones by the class.
    def run(by_class):
        stored, reads = [], []

        def on_read(name):
            reads.append(name)
            if len(reads) == change_at:
                Kerd.kerd_value = property(
                    lambda k: k.__dict__["kerd_value"],
                    lambda k, v: stored.append(v) or k.__dict__.__setitem__("kerd_value", v))

        try:
            return rebuild(seed, monkeypatch, by_class, on_read=on_read)[:2], stored
        finally:
            if "kerd_value" in Kerd.__dict__:
                del Kerd.kerd_value

    deferred = run(False)
    assert deferred == run(True)


@pytest.mark.parametrize("change_at", range(1, 60, 5))
@pytest.mark.parametrize("seed", range(6))
@in_own_process
def test_base_values_rebound_by_host_code_mid_rebuild_reach_only_later_lines(
        seed, change_at, monkeypatch):
    # At the settings read numbered change_at, host code swaps the engine's close and open
    # series and moves its last bar index: lines made before hold the old values.
    def run(by_class):
        holder, reads = {}, []

        def on_read(name):
            reads.append(name)
            if len(reads) == change_at:
                e = holder["engine"]
                e.close, e.open = e.open, e.close
                e.last_bar_index -= 1

        return rebuild(seed, monkeypatch, by_class, on_read=on_read, holder=holder)[:2]

    deferred = run(False)
    assert deferred == run(True)


@pytest.mark.parametrize("by_class", [False, True])
@in_own_process
def test_a_series_rebound_by_host_code_reaches_the_next_lines_tests(by_class, monkeypatch):
    # Three pivots near 100, newest first, on host series. The second is tested against the
    # first on close 101 over open 99 (every body crosses) and appended; its first read of
    # close rebinds the engine's close to a series whose bodies stay below 99.5, and the third
    # pivot, tested on that, merges into the first.
    bars, holder, reads = 30, {}, []

    def rebind(offset):
        reads.append(offset)
        if len(reads) == 1:
            holder["engine"].close = holder["engine"].high

    columns = {"close": [101.0] * bars, "open": [99.0] * bars, "high": [99.5] * bars,
               "low": [98.0] * bars, "time": [1000.0 + 60 * bar for bar in range(bars)]}
    engine = holder["engine"] = build(
        columns, Settings(bar_cross_threshold=0, allow_reuse_snib=False), "host", [],
        hooks={"close": rebind})
    engine.new_vip_snibs.extend(Snib(5, 2, price, 100.0, bar, 1000 + 60 * bar, True, False, 2.0)
                                for bar, price in ((15, 100.4), (20, 100.2), (25, 100.0)))
    if by_class:
        own = Kerd.__init__
        monkeypatch.setattr(Kerd, "__init__", lambda self, *a, **k: own(self, *a, **k))
    engine.rebuild_kerd_from_most_recent_snib()
    assert [line.snib_values for line in engine.kerds] == [[100.4, 100.0], [100.2]]


@pytest.mark.parametrize("pivots", [3, 5])
@in_own_process
def test_a_pivot_field_given_a_property_by_host_code_mid_rebuild_is_read_through_it(
        pivots, monkeypatch):
    # The first settings read comes with the second pivot's first test, after its fields were
    # read: the later pivots' prices are read through the property.
    stored, seen = Snib.__dict__["price"], []
    hooked = property(lambda pivot: seen.append(pivot) or stored.__get__(pivot, Snib))

    def on_read(name):
        if Snib.__dict__["price"] is stored:
            monkeypatch.setattr(Snib, "price", hooked)

    bars = 30
    columns = {"close": [100.0] * bars, "open": [100.0] * bars, "high": [101.0] * bars,
               "low": [99.0] * bars, "time": [1000.0 + 60 * bar for bar in range(bars)]}
    engine = build(columns, Hooked(on_read), "package", [])
    engine.new_vip_snibs.extend(Snib(5, 2, 50.0 * (1 + i), 100.0, 2 * i, 1000 + 120 * i, True,
                                     False, 1.0) for i in range(pivots))
    try:
        engine.rebuild_kerd_from_most_recent_snib()
    finally:
        monkeypatch.undo()
    assert len(seen) == pivots - 2 and len(engine.kerds) == pivots


class SetOnly:
    """A class attribute that takes every write of its name, noting the line and the value;
    without __get__, reads find the line's own value."""

    def __init__(self, name, notes):
        self.name, self.notes = name, notes

    def __set__(self, line, value):
        self.notes.append((line, value))
        line.__dict__[self.name] = value


@pytest.mark.parametrize("name", ["start_bar_index", "kerd_accum_value", "snib_values"])
@pytest.mark.parametrize("seed", range(6))
@in_own_process
def test_a_write_hook_on_the_line_class_takes_every_merge_write(seed, name, monkeypatch):
    notes, holder = [], {}
    monkeypatch.setattr(Kerd, name, SetOnly(name, notes), raising=False)
    assert rebuild(seed, monkeypatch, False, holder=holder)[0] is None
    last = {id(line): value for line, value in notes}
    assert all(last[id(line)] is vars(line)[name] for line in holder["engine"].kerds)


class Noted(int):
    """An int whose != is host code, noted with its operand."""

    notes = []

    def __ne__(self, other):
        Noted.notes.append((type(other), other))
        return int(self) != other


BIG = 2.0**53  # past it, not every int is a float


@pytest.mark.parametrize("attrs, price, merged", [
    ({"start_bar_index": 6}, 100.0, False), ({"start_bar_index": 6.0}, 100.0, False),
    ({"start_bar_index": 6.5}, 100.0, True), ({"start_bar_index": True}, 100.0, True),
    ({"start_bar_index": 2**70}, 100.0, True), ({"start_bar_index": Noted(6)}, 100.0, False),
    ({"start_time": 1360.0}, 100.0, False), ({"start_time": 1360.5}, 100.0, True),
    ({"start_time": -2**63}, 100.0, True), ({"kerd_value": 100}, 100.0, False),
    ({"kerd_accum_value": 100}, 100.0, False), ({"kerd_accum_value": float("nan")}, 100.0, True),
    ({"kerd_accum_value": Noted(100)}, 100.0, False),
    ({"kerd_value": BIG * 1.001, "kerd_accum_value": 2**53 + 1}, BIG, True),
    ({"kerd_value": BIG * 1.001, "kerd_accum_value": 2**53}, BIG, False),
])
@in_own_process
def test_a_new_line_is_compared_with_a_line_as_the_host_compares_their_values(
        attrs, price, merged, monkeypatch):
    # A processed pivot at bar 6 whose line overlaps a line ending at bar 5: the merge goes
    # ahead only when the two differ in each compared attribute.
    def run(by_class):
        columns = {p: [100.0] * 10 for p in ("close", "open", "high", "low")}
        columns["time"] = [1000 + 60 * bar for bar in range(10)]
        engine = build(columns, Settings(draw_from_recent=False), "package", [])
        e = engine
        line = Kerd(e.close, e.open, e.high, e.low, e.bar_index, e.time, e.last_bar_index,
                    e.mintick, 5, 5, 1300, 1300, 100.5, 100.5, [100.5], 1.0)
        for name, value in attrs.items():
            setattr(line, name, value)
        engine.kerds.append(line)
        engine.vip_snibs.append(Snib(5, 2, price, 100.0, 6, 1360, True, False, 1.0))
        Noted.notes = []
        if by_class:
            monkeypatch.setattr(Kerd, "__init__", lambda k, *a, **kw: own(k, *a, **kw))
        try:
            engine.rebuild_kerd_from_most_recent_snib()
        finally:
            monkeypatch.undo()
        return [contents(k, engine) for k in engine.kerds], list(Noted.notes)

    own = Kerd.__init__
    deferred = run(False)
    assert deferred == run(True)
    (line,) = deferred[0]
    assert dict(line)["snib_values"][1] == repr([price, 100.5] if merged else [100.5])
    assert bool(deferred[1]) == any(isinstance(value, Noted) for value in attrs.values())
