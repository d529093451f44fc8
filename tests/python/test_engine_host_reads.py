"""What an engine operation keeps of what it read: a host series' values and plain settings are
taken from the host once while no host code runs, and read again after any host code, so
results, errors and the point of each first read are those of reading at every use."""

import random
import sys

import numpy as np
import pytest
from accelerators import accelerated, on_plain_path
from settings import Settings

from torvex.dto.kerd import Kerd
from torvex.dto.snib import Snib
from torvex.dto.torvex import Torvex
from torvex.series import Series

NAN = float("nan")
ATTRIBUTES = (
    "start_bar_index", "end_bar_index", "start_time", "end_time", "kerd_value",
    "kerd_accum_value", "snib_values", "close_avg_percent", "bar_crosses", "violated",
    "extended", "extend_end_bar_index", "bar_crosses_post_extend",
    "historical_extend_bar_crosses_checked", "post_extend_end_bar_index",
)
PRICES = ("close", "open", "high", "low")


class HostSeries:
    """A plain host series that logs every read as (name, offset); a read at `fail_at` raises,
    `on_read(offset)` runs after each read and `element` makes the value handed out."""

    def __init__(self, name, values, log, fail_at=None, on_read=None, element=float):
        self.name, self.values, self.log = name, values, log
        self.fail_at, self.on_read, self.element = fail_at, on_read, element

    def __getitem__(self, offset):
        self.log.append((self.name, offset))
        if offset == self.fail_at:
            raise LookupError("host series refused")
        if offset > 0 or -offset >= len(self.values):
            raise IndexError("series offset out of reach")
        if self.on_read is not None:
            self.on_read(offset)
        return self.element(self.values[len(self.values) - 1 + offset])


class Hooked(Settings):
    """Settings read through __getattribute__ (so every read runs host code); `on_read(name)`
    runs at each read of a setting."""

    def __init__(self, on_read=None, **values):
        object.__setattr__(self, "on_read", None)
        super().__init__(**values)
        object.__setattr__(self, "on_read", on_read)

    def __getattribute__(self, name):
        hook = object.__getattribute__(self, "on_read")
        if hook is not None and not name.startswith("_") and name != "on_read":
            hook(name)
        return object.__getattribute__(self, name)


def build(columns, settings, kind, log, fail_at=None, hooks=None, engine_class=Torvex):
    """An engine on bars `columns` (current bar the last) with package series, host series
    ("host") or host series handing out numpy floats ("numpy")."""
    bars = len(columns["close"])
    hooks = hooks or {}
    if kind == "package":
        series = {name: Series(values) for name, values in columns.items()}
    else:
        element = np.float64 if kind == "numpy" else float
        series = {name: HostSeries(name, values, log, fail_at if name == "close" else None,
                                   hooks.get(name), element)
                  for name, values in columns.items()}
    pivots = [Series([NAN] * bars) for _ in range(4)]
    engine = engine_class(settings, [], [], [], [], *pivots, {}, series["close"],
                          series["open"], series["high"], series["low"], bars - 1,
                          series["time"], bars - 1, 0.01)
    return engine


def add_line(engine, end, level, **attrs):
    e = engine
    line = Kerd(e.close, e.open, e.high, e.low, e.bar_index, e.time, e.last_bar_index, e.mintick,
                end, end, 1000 + 60 * end, 1000 + 60 * end, level, level, [level], 1.0, **attrs)
    e.kerds.append(line)
    return line


def random_columns(rng, bars):
    columns = {name: [] for name in (*PRICES, "time")}
    price = 100.0
    for bar in range(bars):
        open_ = price + rng.uniform(-0.5, 0.5)
        close = price + rng.uniform(-1.5, 1.5)
        columns["open"].append(open_)
        columns["close"].append(close)
        columns["high"].append(max(open_, close) + rng.uniform(0, 0.8))
        columns["low"].append(min(open_, close) - rng.uniform(0, 0.8))
        columns["time"].append(1000 + 60 * bar)
        price = close
    return columns


def scenario(seed):
    """Random bars, lines in every state (some ending before the first bar) and pending pivots
    near one another (some before the first bar), with settings values."""
    rng = random.Random(seed)
    bars = 30
    columns = random_columns(rng, bars)
    lo, hi = min(columns["low"]), max(columns["high"])
    lines = []
    for _ in range(5):
        end = -rng.randint(1, 4) if rng.random() < 0.1 else rng.randint(0, bars - 1)
        attrs = {}
        if rng.random() < 0.5:
            attrs = {"extended": True, "extend_end_bar_index": end + rng.randint(0, 6),
                     "historical_extend_bar_crosses_checked": rng.random() < 0.3}
        lines.append((end, rng.uniform(lo, hi), attrs))
    pivots = []
    for _ in range(6):
        bar = -rng.randint(1, 3) if rng.random() < 0.1 else rng.randint(0, bars - 1)
        pivots.append(Snib(5, 2, 100 + rng.uniform(-1, 1), 100.0, bar, 1000 + 60 * bar,
                           rng.random() < 0.5, False, rng.uniform(1.0, 3.0)))
    values = {"only_body_cross": rng.random() < 0.5, "kerd_extend_bar_cross_threshold": 2,
              "bar_cross_threshold": rng.randint(0, 3), "kerd_length_threshold": 40,
              "allow_reuse_snib": rng.random() < 0.5}
    return columns, lines, pivots, values


OPERATIONS = {
    "replay": lambda e: e.extend_kerd_to_first_cross_from_history(),
    "rebuild": lambda e: e.rebuild_kerd_from_most_recent_snib(),
    "rebuild_then_replay": lambda e: (e.rebuild_kerd_from_most_recent_snib(),
                                      e.extend_kerd_to_first_cross_from_history()),
}


def run(seed, operation, settings_class, kind, refuse):
    columns, lines, pivots, values = scenario(seed)
    log = []
    fail_at = -random.Random(seed).randint(0, 29) if refuse else None
    engine = build(columns, settings_class(**values), kind, log, fail_at)
    for end, level, attrs in lines:
        add_line(engine, end, level, **attrs)
    engine.new_vip_snibs.extend(pivots)
    try:
        OPERATIONS[operation](engine)
        error = None
    except (IndexError, LookupError) as e:
        error = type(e)
    states = [{name: getattr(k, name) for name in ATTRIBUTES} for k in engine.kerds]
    return error, states, log


def first_reads(log):
    seen = set()
    return [read for read in log if not (read in seen or seen.add(read))]


@pytest.mark.parametrize("operation", sorted(OPERATIONS))
@pytest.mark.parametrize("refuse", [False, True])
@pytest.mark.parametrize("seed", range(6))
def test_host_series_give_the_results_and_errors_of_reading_every_time(operation, refuse, seed):
    # Settings read through a hook run host code at every read, so nothing read is kept
    # across them; with plain settings an operation keeps what it read.
    every_time = run(seed, operation, Hooked, "host", refuse)
    kept = run(seed, operation, Settings, "host", refuse)
    assert kept[:2] == every_time[:2]
    # Each value is first asked of the host at the same point, a refusing read included.
    assert first_reads(kept[2]) == first_reads(every_time[2])
    if operation == "replay" and accelerated():  # no host code inside: each bar read once
        assert kept[2] == first_reads(every_time[2])
    if not refuse:
        package = run(seed, operation, Settings, "package", refuse)
        assert package[:2] == kept[:2]


@pytest.mark.parametrize("seed", range(2))
def test_float_subclass_values_are_kept_like_floats(seed):
    floats = run(seed, "replay", Settings, "host", False)
    numpy_floats = run(seed, "replay", Settings, "numpy", False)
    assert numpy_floats == floats
    if accelerated():  # read once, as floats are
        assert numpy_floats[2] == first_reads(numpy_floats[2])


@pytest.mark.parametrize("operation", sorted(OPERATIONS))
@pytest.mark.parametrize("seed", range(4))
def test_package_series_searched_in_place_agree_with_bar_by_bar_reads(operation, seed):
    # Hooked settings make the replay read bar by bar; plain ones let it search in place.
    assert run(seed, operation, Settings, "package", False)[:2] == \
        run(seed, operation, Hooked, "package", False)[:2]


def flat_columns(bars=10):
    """Bars that never reach 102 and straddle 100.5 with their high only."""
    return {"open": [100.0] * bars, "close": [100.0] * bars, "high": [101.0] * bars,
            "low": [99.0] * bars, "time": [1000 + 60 * bar for bar in range(bars)]}


def test_a_settings_hook_that_changes_a_bar_is_seen_by_later_reads():
    columns = flat_columns()
    reads = []

    def on_read(name):
        reads.append(name)
        if len(reads) == 13:  # the first read for the second line
            columns["high"][7] = 103.0

    engine = build(columns, Hooked(on_read, only_body_cross=True), "host", [])
    first, second = add_line(engine, 4, 102.0), add_line(engine, 4, 102.0)
    engine.extend_kerd_to_first_cross_from_history()
    assert not first.extended
    assert second.extended and second.extend_end_bar_index == 7


@pytest.mark.parametrize("change", [
    lambda high: high.__init__([*high.values()[:-1], 103.0]),
    lambda high: high.append(103.0),
], ids=["replaced", "appended"])
def test_a_package_series_changed_by_host_code_gives_later_lines_the_new_current_bar(change):
    columns = flat_columns()
    reads = []

    def on_read(name):
        reads.append(name)
        if len(reads) == 1:  # the first line's first settings read
            change(engine.high)

    engine = build(columns, Hooked(on_read, only_body_cross=False), "package", [])
    first, second = (add_line(engine, 4, 102.0, extended=True, extend_end_bar_index=4,
                              historical_extend_bar_crosses_checked=True) for _ in range(2))
    engine.extend_kerd_to_first_cross_from_history()
    assert first.bar_crosses_post_extend == 0 and first.post_extend_end_bar_index == 0
    assert second.bar_crosses_post_extend == 1 and second.post_extend_end_bar_index == 9


def test_a_setting_changed_by_a_series_read_is_read_again():
    columns = flat_columns()
    settings = Settings(only_body_cross=True, kerd_extend_bar_cross_threshold=10)

    def on_close(offset):
        if offset == -2:  # bar 7: from here on wicks count
            settings.only_body_cross = False

    engine = build(columns, settings, "host", [], hooks={"close": on_close})
    line = add_line(engine, 4, 100.5, extended=True, extend_end_bar_index=4)
    engine.extend_kerd_to_first_cross_from_history()
    # Bar 5 is the first cross and bar 6 is not counted (bodies only); bars 7, 8, 9 count.
    assert line.historical_extend_bar_crosses_checked and line.post_extend_end_bar_index == 9
    assert line.bar_crosses_post_extend == 3


def test_nothing_read_is_kept_from_one_call_to_the_next():
    columns = flat_columns()
    log = []
    engine = build(columns, Settings(only_body_cross=True), "host", log)
    line = add_line(engine, 4, 102.0)
    engine.extend_kerd_to_first_cross_from_history()
    assert not line.extended
    columns["high"][7] = 103.0
    del log[:]
    engine.extend_kerd_to_first_cross_from_history()
    assert line.extended and line.extend_end_bar_index == 7
    assert ("high", -2) in log


class HostKerd(Kerd):
    """A host subclass with no hooks: the engine reads its lines at every use."""


def restore_reversed(line):
    """Stores the line's attributes again, in reverse order."""
    items = list(vars(line).items())
    for name, _ in items:
        delattr(line, name)
    for name, value in reversed(items):
        setattr(line, name, value)


LINE_CHANGES = {
    "level": lambda k: setattr(k, "kerd_value", k.kerd_value + 0.7),
    "level in a new dict": lambda k: setattr(k, "__dict__",
                                             {**vars(k), "kerd_value": k.kerd_value + 0.7}),
    "reordered": lambda k: (restore_reversed(k), setattr(k, "extended", not k.extended)),
    "values appended": lambda k: k.snib_values.append(k.snib_values[-1] + 0.5),
    "value replaced": lambda k: k.snib_values.__setitem__(0, k.snib_values[0] - 0.9),
    "values rebound": lambda k: setattr(k, "snib_values", [v + 0.3 for v in k.snib_values]),
    "extension": lambda k: setattr(k, "extended", not k.extended),
    "end": lambda k: setattr(k, "end_bar_index", k.end_bar_index - 1),
}
KEPT_LINE_OPERATIONS = {
    "rebuild": lambda e: e.rebuild_kerd_from_most_recent_snib(),
    "replay": lambda e: e.extend_kerd_to_first_cross_from_history(),
    "current bar": lambda e: e.extend_kerd_to_first_cross(),
}


def run_changing_lines(seed, operation, change, line_class, between_calls, watch=None):
    """Lines of line_class and processed pivots (so the rebuild keeps the lines); host code
    changes the lines the test added, on every third close read (or every third call of the
    hook that `watch` installs) or, with between_calls, between two calls of the operation."""
    columns, lines, pivots, values = scenario(seed)
    engine = build(columns, Settings(**values), "host", [])
    added = []
    for end, level, attrs in lines:
        e = engine
        line = line_class(e.close, e.open, e.high, e.low, e.bar_index, e.time, e.last_bar_index,
                          e.mintick, end, end, 1000 + 60 * end, 1000 + 60 * end, level, level,
                          [level, level + 0.25], 1.0, **attrs)
        engine.kerds.append(line)
        added.append(line)
    engine.vip_snibs.extend(pivots)
    reads = []

    def on_close(offset):
        reads.append(offset)
        if len(reads) % 3 == 0:
            LINE_CHANGES[change](added[len(reads) % len(added)])

    if watch is not None:
        watch(on_close)
    elif not between_calls:
        engine.close.on_read = on_close
    error = None
    try:
        KEPT_LINE_OPERATIONS[operation](engine)
        if between_calls:
            for line in added:
                LINE_CHANGES[change](line)
        KEPT_LINE_OPERATIONS[operation](engine)
    except IndexError as e:  # a line moved out of the bars' reach
        error = str(e)
    return error, [{name: getattr(k, name) for name in ATTRIBUTES} for k in engine.kerds]


@pytest.mark.parametrize("between_calls", [False, True])
@pytest.mark.parametrize("change", sorted(LINE_CHANGES))
@pytest.mark.parametrize("operation", sorted(KEPT_LINE_OPERATIONS))
@pytest.mark.parametrize("seed", range(2))
def test_lines_changed_by_host_code_are_read_again(seed, operation, change, between_calls):
    # The package's own lines are kept while no host code runs; a host subclass's are read
    # at every use. Host code that changes a line is seen by every later read of it.
    kept = run_changing_lines(seed, operation, change, Kerd, between_calls)
    assert kept == run_changing_lines(seed, operation, change, HostKerd, between_calls)


@pytest.mark.parametrize("change", sorted(LINE_CHANGES))
@pytest.mark.parametrize("seed", range(2))
def test_lines_changed_behind_a_pivot_field_are_read_again(monkeypatch, seed, change):
    # A field of the package's own pivot class replaced by the host is host code like any other.
    own = Snib.__dict__["price"]

    def watch(on_read):
        monkeypatch.setattr(Snib, "price", property(lambda p: on_read(0) or own.__get__(p)))

    kept = run_changing_lines(seed, "rebuild", change, Kerd, False, watch)
    assert kept == run_changing_lines(seed, "rebuild", change, HostKerd, False, watch)


SHARED_LISTS = {
    "none": [],
    "two lines, one list": [(1, 0)],
    "three lines, one list": [(1, 0), (2, 0)],
    "every line, one list": [(1, 0), (2, 0), (3, 0), (4, 0)],
}


def run_sharing_lists(seed, sharing, line_class):
    """A rebuild that keeps its lines, whose pivot value lists are shared as `sharing` says
    ((taker, giver) positions); the lines' states and which lines still share a list."""
    columns, lines, pivots, values = scenario(seed)
    values["allow_reuse_snib"] = True  # every pivot merges into every line it may
    lines = [line for line in lines if line[0] >= 0]  # all within the bars
    pivots = [pivot for pivot in pivots if pivot.bar_index_at_pivot >= 0]
    engine = build(columns, Settings(**values), "package", [])
    e = engine
    for end, level, attrs in lines:
        engine.kerds.append(line_class(
            e.close, e.open, e.high, e.low, e.bar_index, e.time, e.last_bar_index, e.mintick,
            end, end, 1000 + 60 * end, 1000 + 60 * end, level, level, [level], 1.0, **attrs))
    for taker, giver in sharing:
        if taker < len(engine.kerds):
            engine.kerds[taker].snib_values = engine.kerds[giver].snib_values
    engine.vip_snibs.extend(pivots)
    error = None
    try:
        engine.rebuild_kerd_from_most_recent_snib()
        engine.rebuild_kerd_from_most_recent_snib()
    except IndexError as e:  # a pivot or line before the first bar
        error = str(e)
    kerds = engine.kerds
    shared = [[j for j, other in enumerate(kerds) if other.snib_values is k.snib_values]
              for k in kerds]
    return error, [{name: getattr(k, name) for name in ATTRIBUTES} for k in kerds], shared


@pytest.mark.parametrize("sharing", sorted(SHARED_LISTS))
@pytest.mark.parametrize("seed", range(3))
def test_lines_sharing_a_value_list_merge_as_if_read_every_time(seed, sharing):
    kept = run_sharing_lists(seed, SHARED_LISTS[sharing], Kerd)
    assert kept == run_sharing_lists(seed, SHARED_LISTS[sharing], HostKerd)


def run_holding_lists(seed, hold, line_class):
    """Rebuilds that keep their lines, three times over, with every pivot merged wherever it
    may; with `hold`, the host keeps each line's value list (and a copy) across each rebuild.
    The lines' states with their lists' sizes in memory, and whether held lists kept their
    values."""
    columns, lines, pivots, values = scenario(seed)
    values.update(allow_reuse_snib=True, bar_cross_threshold=30)  # lines near the pivots
    engine = build(columns, Settings(**values), "package", [])
    e = engine
    for end, level, attrs in lines:
        level = 100 + (level % 1 - 0.5)
        if end >= 0:
            engine.kerds.append(line_class(
                e.close, e.open, e.high, e.low, e.bar_index, e.time, e.last_bar_index,
                e.mintick, end, end, 1000 + 60 * end, 1000 + 60 * end, level, level,
                [level], 1.0, **attrs))
    engine.vip_snibs.extend(p for p in pivots if p.bar_index_at_pivot >= 0)
    kept = True
    for _ in range(3):
        held = [(k.snib_values, list(k.snib_values)) for k in engine.kerds] if hold else []
        engine.rebuild_kerd_from_most_recent_snib()
        kept = kept and all(values == copy for values, copy in held)
    return kept, [({name: getattr(k, name) for name in ATTRIBUTES}, sys.getsizeof(k.snib_values))
                  for k in engine.kerds]


@pytest.mark.parametrize("hold", [False, True])
@pytest.mark.parametrize("seed", range(4))
def test_merges_in_one_rebuild_give_new_lists_as_joining_makes_them(seed, hold):
    # A line merged into again and again within one rebuild ends with a list the host never
    # held, sized as `a + b` sizes it; lists the host holds keep their values.
    kept = run_holding_lists(seed, hold, Kerd)
    assert kept[0] and any(len(state["snib_values"]) > 2 for state, _ in kept[1])
    assert kept == run_holding_lists(seed, hold, HostKerd)


class FreshEngine(Torvex):
    """Every base value behind a property: each read of one is host code, so none is kept."""


for _name in ("close", "open", "high", "low", "time", "bar_index"):
    setattr(FreshEngine, _name, property(
        lambda self, n=_name: self.__dict__["_" + n],
        lambda self, value, n=_name: self.__dict__.__setitem__("_" + n, value)))


def run_watching_lines(seed, operation, line_class, watch, move_bar=None, engine_class=Torvex):
    """Package series and lines of line_class (and processed pivots for a rebuild). With
    `watch`, each settings read is host code that records every line's state; at the read
    numbered `move_bar` it steps the engine's bar index back and its times before every line's
    end. Gives the error, what was seen and each line's state with the base values it holds."""
    columns, lines, pivots, values = scenario(seed)
    seen = []

    def look(name):
        seen.append([tuple(getattr(k, a) for a in ATTRIBUTES) for k in engine.kerds])
        if len(seen) == move_bar:
            engine.bar_index -= 3
            engine.time = Series([time - 10**6 for time in columns["time"]])

    settings = Hooked(look, **values) if watch else Settings(**values)
    engine = build(columns, settings, "package", [], engine_class=engine_class)
    e = engine
    for end, level, attrs in lines:
        engine.kerds.append(line_class(
            e.close, e.open, e.high, e.low, e.bar_index, e.time, e.last_bar_index, e.mintick,
            end, end, 1000 + 60 * end, 1000 + 60 * end, level, level, [level], 1.0, **attrs))
    if operation == "rebuild":
        engine.vip_snibs.extend(pivots)
    error = None
    try:
        KEPT_LINE_OPERATIONS[operation](engine)
    except IndexError as e:  # a line ending before the first bar
        error = str(e)
    base = [(k.bar_index, k.last_bar_index, k.mintick, k.time is engine.time,
             k.close is engine.close)
            for k in engine.kerds]
    return (error, seen, [{name: getattr(k, name) for name in ATTRIBUTES} for k in engine.kerds],
            base)


@pytest.mark.parametrize("watch, move_bar", [(False, None), (True, None), (True, 7)])
@pytest.mark.parametrize("operation", ["replay", "current bar"])
@pytest.mark.parametrize("seed", range(3))
def test_host_code_and_errors_see_every_line_write_made_before_them(seed, operation, watch,
                                                                    move_bar):
    # The package's own lines may have their writes held back while no host code runs; host
    # code part-way through, and an error that ends the operation, find them all written.
    kept = run_watching_lines(seed, operation, Kerd, watch, move_bar)
    assert kept == run_watching_lines(seed, operation, HostKerd, watch, move_bar)
    assert bool(kept[1]) == watch


@pytest.mark.parametrize("operation", ["replay", "current bar", "rebuild"])
@pytest.mark.parametrize("seed", range(4))
def test_base_values_rebound_by_host_code_are_read_again(seed, operation):
    # The engine's bar index and series are kept as read while no host code runs; host code
    # that rebinds them is seen by the next read, as by an engine whose reads all run host code.
    kept = run_watching_lines(seed, operation, Kerd, True, 7)
    assert kept == run_watching_lines(seed, operation, Kerd, True, 7, FreshEngine)


class Name(str):
    """An attribute name that is not an exact str."""


def rekeyed(line, key):
    """The line's attributes stored under key(name) instead of their names."""
    d = vars(line)
    for name in list(d):
        d[key(name)] = d.pop(name)


LINE_SHAPES = {
    "reordered": restore_reversed,
    "str subclass names": lambda k: rekeyed(k, Name),
    # An int key turns the table general; names then equal to, not the same as, the engine's.
    "copied names": lambda k: (vars(k).__setitem__(0, None), vars(k).__delitem__(0),
                               rekeyed(k, lambda name: "".join(list(name)))),
    "int key": lambda k: vars(k).__setitem__(1, "one"),
    "own dict": lambda k: setattr(k, "__dict__", dict(vars(k))),
}


SHAPED_LINE_OPERATIONS = {**KEPT_LINE_OPERATIONS,
                          "windows": lambda e: e.update_mavet(5, 20, 5.0, 2.0)}
WINDOW_FIELDS = ("break_kerd_at_price", "break_kerd_at_bar_index", "recover_at_bar_index",
                 "break_kerd_extend_bar_cross", "bar_count_close_above_kerd", "vip_snib_count")


def run_shaped_lines(seed, operation, line_class, shape=None, patch=None, drop=None):
    """Lines of line_class (and processed pivots), every other one reshaped by `shape` or
    lacking the attribute `drop`; the operation runs, then, after `patch(Kerd)` and a look at
    the lines, once more. Gives the error (its class names left out), the lines' states, what
    the look saw and the windows made."""
    columns, lines, pivots, values = scenario(seed)
    engine = build(columns, Settings(**values), "package", [])
    e = engine
    for i, (end, level, attrs) in enumerate(lines):
        line = line_class(e.close, e.open, e.high, e.low, e.bar_index, e.time, e.last_bar_index,
                          e.mintick, end, end, 1000 + 60 * end, 1000 + 60 * end, level, level,
                          [level, level + 0.25], 1.0, **attrs)
        engine.kerds.append(line)
        if i % 2 == 0 and shape is not None:
            shape(line)
        if i % 2 == 0 and drop is not None:
            delattr(line, drop)
    engine.vip_snibs.extend(pivots)
    error, seen = None, []

    def states():
        return [{name: getattr(k, name, None) for name in ATTRIBUTES} for k in engine.kerds]

    try:
        SHAPED_LINE_OPERATIONS[operation](engine)
        if patch is not None:
            patch(Kerd)
            seen = states()
            SHAPED_LINE_OPERATIONS[operation](engine)
    except (IndexError, AttributeError) as e:
        error = (type(e), str(e).replace(line_class.__name__, "<line>"))
    windows = [tuple(getattr(w, name) for name in WINDOW_FIELDS) for w in engine.mavets]
    return error, states(), seen, windows


@pytest.mark.parametrize("shape", sorted(LINE_SHAPES))
@pytest.mark.parametrize("operation", sorted(SHAPED_LINE_OPERATIONS))
@pytest.mark.parametrize("seed", range(2))
def test_lines_of_any_dict_layout_read_as_getattr_reads_them(seed, operation, shape):
    # Lines laid out one way and another in the same operation, with keys of any kind.
    kept = run_shaped_lines(seed, operation, Kerd, LINE_SHAPES[shape])
    assert kept == run_shaped_lines(seed, operation, HostKerd, LINE_SHAPES[shape])


def shifted_level(cls):
    cls.kerd_value = property(lambda k: vars(k)["kerd_value"] + 2.0,
                              lambda k, value: vars(k).__setitem__("kerd_value", value))


def class_defaults(cls):
    cls.extended = False
    cls.bar_crosses = 0


CLASS_CHANGES = {"property": shifted_level, "class defaults": class_defaults}


@pytest.mark.parametrize("change", sorted(CLASS_CHANGES))
@pytest.mark.parametrize("operation", sorted(SHAPED_LINE_OPERATIONS))
@pytest.mark.parametrize("seed", range(2))
def test_a_line_class_changed_between_calls_is_read_as_changed(monkeypatch, seed, operation,
                                                               change):
    # After a call that read the lines, the class gains attributes behind or under which the
    # lines' own values lie: the next call reads what getattr gives.
    def patch(cls):
        for name in ("kerd_value", "extended", "bar_crosses"):
            monkeypatch.setattr(cls, name, getattr(cls, name, None), raising=False)
        CLASS_CHANGES[change](cls)

    drop = "extended" if change == "class defaults" else None
    kept = run_shaped_lines(seed, operation, Kerd, patch=patch, drop=drop)
    monkeypatch.undo()
    assert kept == run_shaped_lines(seed, operation, HostKerd, patch=patch, drop=drop)


@pytest.mark.parametrize("drop", ["end_bar_index", "historical_extend_bar_crosses_checked",
                                  "kerd_value", "bar_index", "snib_values"])
@pytest.mark.parametrize("operation", sorted(SHAPED_LINE_OPERATIONS))
@pytest.mark.parametrize("seed", range(2))
def test_a_line_lacking_an_attribute_fails_where_getattr_would(seed, operation, drop):
    kept = run_shaped_lines(seed, operation, Kerd, drop=drop)
    assert kept == run_shaped_lines(seed, operation, HostKerd, drop=drop)
    if drop == "end_bar_index" and operation == "replay":
        assert kept[0] == (AttributeError, f"'<line>' object has no attribute '{drop}'")


def merging_engine(seed, on_read):
    """An engine on the seed's bars, its lines within them and its pivots processed, every
    pivot merged wherever it may, under settings whose reads call on_read(name)."""
    columns, lines, pivots, values = scenario(seed)
    values.update(allow_reuse_snib=True, bar_cross_threshold=30)  # lines near the pivots
    engine = build(columns, Hooked(on_read, **values), "package", [])
    e = engine
    for end, level, attrs in lines:
        if end >= 0:
            engine.kerds.append(Kerd(
                e.close, e.open, e.high, e.low, e.bar_index, e.time, e.last_bar_index,
                e.mintick, end, end, 1000 + 60 * end, 1000 + 60 * end, level, level, [level],
                1.0, **attrs))
    engine.vip_snibs.extend(p for p in pivots if p.bar_index_at_pivot >= 0)
    return engine


def states(engine):
    return [{name: getattr(k, name) for name in ATTRIBUTES} for k in engine.kerds]


def run_weighing_merges(seeds):
    """Per seed, a rebuild whose every settings read is host code that moves the first pivot
    value of every line given: between the crossing test that weighs a merge and the backward
    merge that takes its value. The lines' states."""
    return [weighing_merges(seed) for seed in seeds]


def weighing_merges(seed):
    given = []

    def move_values(name):
        for k in given:
            k.snib_values[0] += 0.37

    engine = merging_engine(seed, move_values)
    given.extend(engine.kerds)
    engine.rebuild_kerd_from_most_recent_snib()
    return states(engine)


def test_a_merge_weighed_before_host_code_changed_its_values_is_weighed_again():
    # Every line class shares the merged-value accelerator: the plain path is the reference.
    kept = run_weighing_merges(range(4))
    assert all(any(len(state["snib_values"]) > 1 for state in run) for run in kept)  # merged
    assert kept == on_plain_path(__name__, "run_weighing_merges", range(4))


def run_holding_lists_mid_rebuild(seeds):
    """Per seed, two rebuilds whose settings reads are host code that takes hold of every
    line's value list (and a copy) and changes nothing. Whether every held list kept its
    values, and the lines' states."""
    return [holding_lists_mid_rebuild(seed) for seed in seeds]


def holding_lists_mid_rebuild(seed):
    held = []

    def hold(name):
        if name == "kerd_length_threshold":
            held.extend((k.snib_values, list(k.snib_values)) for k in engine.kerds)

    engine = merging_engine(seed, hold)
    for _ in range(2):
        engine.rebuild_kerd_from_most_recent_snib()
    return all(values == copy for values, copy in held), states(engine)


def test_lists_the_host_took_hold_of_mid_rebuild_keep_their_values():
    # A merge may prepend in place to a list it made, unless someone else holds it.
    runs = run_holding_lists_mid_rebuild(range(4))
    assert all(kept for kept, _ in runs)
    assert any(len(state["snib_values"]) > 2 for _, lines in runs for state in lines)
    assert runs == on_plain_path(__name__, "run_holding_lists_mid_rebuild", range(4))
