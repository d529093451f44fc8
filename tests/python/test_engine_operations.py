"""Engine operations through torvex.dto.torvex on the host's own objects: which settings are
read and in which order, what the operations create and share, and what a failing host object
leaves behind. Rules and states are checked bar by bar in the C++ tests and against the native
model in test_engine_differential.py."""

import math
import random

import pytest
from accelerators import accelerated
from settings import Settings

from torvex.dto.kerd import Kerd
from torvex.dto.snib import Snib
from torvex.dto.torvex import Torvex
from torvex.series import Series

NAN = math.nan


class Recording(Settings):
    """Settings that record every attribute read."""

    def __init__(self, **values):
        super().__init__(**values)
        object.__setattr__(self, "reads", [])

    def __getattribute__(self, name):
        if name not in ("reads", "__dict__", "__class__"):
            object.__getattribute__(self, "reads").append(name)
        return object.__getattribute__(self, name)


class PlainSeries:
    """A host series in plain Python that records the offsets read; `fail_at` makes one read
    raise, `value_at` overrides one element."""

    def __init__(self, values, fail_at=None, value_at=None):
        self.values, self.reads, self.fail_at, self.value_at = list(values), [], fail_at, value_at

    def __getitem__(self, offset):
        self.reads.append(offset)
        if offset == self.fail_at:
            raise LookupError("host series refused")
        if self.value_at is not None and offset == self.value_at[0]:
            return self.value_at[1]
        if offset > 0 or -offset >= len(self.values):
            raise IndexError("series offset out of reach")
        return self.values[len(self.values) - 1 + offset]


class Market:
    """Ten bars (open 100, high 101, low 99, close 100 unless given) ending at the current bar
    9, with times 1000 + 60 * bar; pivot series NaN unless set."""

    def __init__(self, settings=None, bars=10, make=Series, engine_class=Torvex, **series):
        self.settings = settings if settings is not None else Settings(
            draw_from_recent=False, high_snib_m=2, low_snib_m=2)
        self.kerds, self.vip, self.new, self.mavets, self.latest = [], [], [], [], {}
        col = {name: [NAN] * bars for name in ("nh", "nl", "th", "tl")}
        col.update(open=[100.0] * bars, high=[101.0] * bars, low=[99.0] * bars,
                   close=[100.0] * bars, time=[1000 + 60 * i for i in range(bars)],
                   trend=[0.0] * bars)
        col.update(series)
        self.series = {name: v if not isinstance(v, list) else make(v) for name, v in col.items()}
        s = self.series
        self.engine = engine_class(self.settings, self.kerds, self.vip, self.new, self.mavets, s["nh"],
                             s["nl"], s["th"], s["tl"], self.latest, s["close"], s["open"],
                             s["high"], s["low"], bars - 1, s["time"], bars - 1, 0.01)

    def line(self, end_bar_index, value, **attrs):
        e = self.engine
        k = Kerd(e.close, e.open, e.high, e.low, e.bar_index, e.time, e.last_bar_index,
                 e.mintick, end_bar_index, end_bar_index, 1000 + 60 * end_bar_index,
                 1000 + 60 * end_bar_index, value, value, [value], 1.0, **attrs)
        self.kerds.append(k)
        return k


def pivot_at(bars, bar, price):
    values = [NAN] * bars
    values[bar] = price
    return values


@pytest.mark.parametrize("start_time, expected", [
    (5000, ["debug_start_time", "draw_from_recent"]),
    (-math.inf, ["debug_start_time", "debug_end_time", "draw_from_recent"]),
])
def test_all_pivot_values_nan_read_only_the_time_window_and_the_recent_flag(start_time,
                                                                            expected):
    settings = Recording(draw_from_recent=False, debug_start_time=start_time)
    market = Market(settings, trend=PlainSeries([0.0] * 10))
    assert market.engine.add_new_snibs_to_pending(market.series["trend"], 1.0) is False
    assert settings.reads == expected
    assert market.series["trend"].reads == []
    assert market.new == []


def test_an_admitted_pivot_reads_its_settings_in_record_order_and_is_a_snib():
    settings = Recording(draw_from_recent=True, bar_count_to_snib=5, high_snib_n=4,
                         high_snib_m=2)
    market = Market(settings, nh=pivot_at(10, 9, 105.0))
    new = market.new
    assert market.engine.add_new_snibs_to_pending(market.series["trend"], 0.5) is True
    assert settings.reads == [
        "debug_start_time", "debug_end_time", "draw_from_recent", "bar_count_to_snib",
        "high_snib_m", "debug_start_price", "debug_end_price", "debug", "high_snib_n",
        "high_snib_m", "high_snib_m", "high_snib_m"]
    assert market.new is new and len(new) == 1 and type(new[0]) is Snib
    assert new[0] == new[0] and (new[0].n, new[0].m, new[0].price) == (4, 2, 105.0)
    assert (new[0].bar_index_at_pivot, new[0].bar_time_at_pivot) == (7, 1540)
    assert (new[0].close_avg_percent, new[0].used) == (0.5, False)


@pytest.mark.parametrize("draw_from_recent, bar, expected", [
    (False, 9, ["draw_from_recent"]),
    (True, 5, ["draw_from_recent", "bar_count_to_snib"]),  # 4 bars to come: outside
    (True, 8, ["draw_from_recent", "bar_count_to_snib"]),  # inside, no lines, not last
])
def test_update_reads_its_window_after_intake(draw_from_recent, bar, expected):
    settings = Recording(draw_from_recent=draw_from_recent, bar_count_to_snib=2)
    market = Market(settings)
    market.engine.bar_index = bar
    intake = ["debug_start_time", "debug_end_time", "draw_from_recent"] + (
        ["bar_count_to_snib"] if draw_from_recent else [])
    assert market.engine.update(market.series["trend"], 1.0) is False
    assert settings.reads == intake + expected


def test_the_replay_reads_each_bar_once_per_line():
    settings = Recording(only_body_cross=True)
    series = {name: PlainSeries(v) for name, v in (
        ("open", [100.0] * 10), ("high", [101.0] * 10), ("low", [99.0] * 10),
        ("close", [100.0] * 10))}
    market = Market(settings, **series)
    market.line(5, 200.0)  # never straddled: replayed over bars 6..9
    market.engine.extend_kerd_to_first_cross_from_history()
    for s in series.values():
        assert s.reads == [0, -3, -2, -1, 0]
    assert settings.reads == ["only_body_cross"] * 10


def test_rebuilt_lines_are_kerds_sharing_the_engine_series():
    settings = Settings(draw_from_recent=True, bar_count_to_snib=5)
    market = Market(settings)
    market.new.append(Snib(5, 2, 100.5, 100.0, 6, 1480, True, False, 0.8))
    old = market.line(1, 70.0)
    kerds, vip = market.kerds, market.vip
    market.engine.rebuild_kerd_from_most_recent_snib(close_avg_percent=123.0)
    assert market.kerds is kerds and market.vip is vip and old not in kerds
    (line,) = kerds
    assert type(line) is Kerd
    assert line.close is market.engine.close and line.time is market.engine.time
    assert (line.bar_index, line.last_bar_index, line.mintick) == (9, 9, 0.01)
    assert (line.start_bar_index, line.end_time, line.kerd_value) == (6, 1480, 100.5)
    assert (line.snib_values, line.close_avg_percent, line.extended) == ([100.5], 0.8, False)


@pytest.mark.parametrize("marked", [True, False])
def test_rebuilt_lines_hold_what_the_initialisers_store_whether_or_not_they_run(marked):
    """Over the package's own base, whose initialiser says it only stores its arguments, the
    rebuild stores them itself; a base initialiser without that mark (a host's) runs per line.
    Either way each line holds the same attributes, in the same order, as one built by hand."""
    base = Kerd.__mro__[1]
    own_init, calls = base.__init__, []

    def recording_init(self, *args):
        calls.append(args[4])
        own_init(self, *args)

    if marked:
        recording_init.torvex_stores_arguments = True
    market = Market(Settings(draw_from_recent=False))
    base.__init__ = recording_init
    try:
        market.new.extend([Snib(5, 2, 100.5, 100.0, 6, 1480, True, False, 0.8),
                           Snib(5, 2, 150.0, 100.0, 3, 1300, False, False, 0.9)])
        market.engine.rebuild_kerd_from_most_recent_snib()
    finally:
        base.__init__ = own_init
    # The plain path calls every initialiser; the accelerated one trusts the mark.
    assert calls == ([] if marked and accelerated() else [9, 9])
    e = market.engine
    for line, (bar, time, price, cap) in zip(market.kerds, [(3, 1300, 150.0, 0.9),
                                                           (6, 1480, 100.5, 0.8)]):
        by_hand = Kerd(e.close, e.open, e.high, e.low, e.bar_index, e.time, e.last_bar_index,
                       e.mintick, start_bar_index=bar, end_bar_index=bar, start_time=time,
                       end_time=time, kerd_value=price, kerd_accum_value=price,
                       snib_values=[price], close_avg_percent=cap)
        assert [(name, type(v), v) for name, v in vars(line).items()] == [
            (name, type(v), v) for name, v in vars(by_hand).items()]


@pytest.mark.parametrize("method, kind, before, after", [
    ("extend_kerd_to_first_cross", "unextended", {}, {"extended": True, "extend_end_bar_index": 9}),
    ("extend_kerd_to_first_cross", "extended", {"extended": True, "extend_end_bar_index": 7},
     {"historical_extend_bar_crosses_checked": True, "post_extend_end_bar_index": 9,
          "bar_crosses_post_extend": 0}),
    ("extend_kerd_to_first_cross", "checked_over",
     {"extended": True, "historical_extend_bar_crosses_checked": True, "bar_crosses_post_extend": 4},
     {"violated": True, "post_extend_end_bar_index": 0}),
    ("extend_kerd_to_first_cross_from_history", "unextended", {},
     {"extended": True, "extend_end_bar_index": 6, "historical_extend_bar_crosses_checked": True,
          "post_extend_end_bar_index": 9, "bar_crosses_post_extend": 0}),
])
def test_extension_writes_the_host_line_attributes(method, kind, before, after):
    settings = Settings(only_body_cross=True, kerd_extend_bar_cross_threshold=3)
    market = Market(settings)  # every bar straddles 100.5 with its high only
    line = market.line(5, 100.5, **before)
    getattr(market.engine, method)()
    for name, value in after.items():
        assert getattr(line, name) == value and type(getattr(line, name)) is type(value), name


def test_operations_called_by_others_are_the_engine_objects_own():
    calls = []

    class Hooked(Torvex):
        def add_new_snibs_to_pending(self, is_ma_trending, close_avg_percent):
            calls.append(("intake", close_avg_percent))
            found = super().add_new_snibs_to_pending(is_ma_trending, close_avg_percent)
            return [found] if found else []

        def rebuild_kerd_from_most_recent_snib(self, close_avg_percent=None):
            calls.append(("rebuild", close_avg_percent))
            super().rebuild_kerd_from_most_recent_snib(close_avg_percent)

        def clear_all_kerd(self):
            calls.append(("clear",))
            super().clear_all_kerd()

        def sort_kerds_by_end_bar_index(self):
            calls.append(("sort",))

    settings = Settings(draw_from_recent=True, bar_count_to_snib=5, high_snib_m=2)
    market = Market(settings, engine_class=Hooked, nh=pivot_at(10, 9, 100.5))
    market.line(1, 70.0)
    market.engine.extend_kerd_to_first_cross_from_history = lambda: calls.append(("replay",))
    assert market.engine.update(market.series["trend"], 0.5) is True
    assert calls == [("intake", 0.5), ("rebuild", 0.5), ("clear",), ("sort",), ("replay",)]
    assert [k.kerd_value for k in market.kerds] == [100.5]  # rebuilt, not replayed
    assert not market.kerds[0].extended


@pytest.mark.parametrize("where", ["instance", "class"])
def test_an_override_host_code_sets_within_the_next_update_is_called(where):
    calls, armed = [], []

    class Engine(Torvex):
        pass

    class Installing(Settings):
        """Settings whose read of draw_from_recent, once armed, gives the engine an override of
        the replay: in intake, after its own dispatch and before the replay's."""

        def __getattribute__(self, name):
            if name == "draw_from_recent" and armed:
                engine = armed.pop()
                if where == "instance":
                    engine.extend_kerd_to_first_cross_from_history = lambda: calls.append("replay")
                else:
                    Engine.extend_kerd_to_first_cross_from_history = (
                        lambda self: calls.append("replay"))
            return object.__getattribute__(self, name)

    settings = Installing(draw_from_recent=True, bar_count_to_snib=5, high_snib_m=2)
    market = Market(settings, engine_class=Engine)
    first = market.line(5, 100.5)  # every bar straddles it: the engine's own replay extends it
    market.engine.update(market.series["trend"], 0.5)
    assert first.extended and calls == []
    armed.append(market.engine)
    second = market.line(5, 100.5)
    market.engine.update(market.series["trend"], 0.5)
    assert calls == ["replay"]
    assert not second.extended


# ---- failures: the host's error unchanged, earlier work kept

def test_a_missing_setting_fails_where_read_and_earlier_kinds_stay():
    settings = Settings(draw_from_recent=False)
    del settings.low_snib_m
    market = Market(settings, nh=pivot_at(10, 9, 105.0), nl=pivot_at(10, 9, 95.0))
    with pytest.raises(AttributeError, match="low_snib_m"):
        market.engine.add_new_snibs_to_pending(market.series["trend"], 1.0)
    assert [s.price for s in market.new] == [105.0]


def test_a_trend_series_too_short_for_m_fails_with_its_own_error():
    settings = Settings(draw_from_recent=False, high_snib_m=2, high_snib_m_on_trend=12)
    market = Market(settings, nh=pivot_at(10, 9, 105.0), th=pivot_at(10, 9, 106.0))
    with pytest.raises(IndexError, match="reaches before the first bar"):
        market.engine.update(market.series["trend"], 1.0)
    assert [s.price for s in market.new] == [105.0]


def test_pivot_values_are_all_read_before_any_is_converted():
    market = Market(nh=pivot_at(10, 9, 105.0), nl=PlainSeries([NAN] * 10, value_at=(0, "x")),
                    tl=PlainSeries([NAN] * 10, fail_at=0))
    with pytest.raises(LookupError, match="host series refused"):
        market.engine.add_new_snibs_to_pending(market.series["trend"], 1.0)
    assert market.new == []
    market.series["tl"].fail_at = None
    with pytest.raises(TypeError):
        market.engine.add_new_snibs_to_pending(market.series["trend"], 1.0)
    assert [s.price for s in market.new] == [105.0]


def test_pruning_stops_at_a_line_without_end_bar_index_after_removing_the_stale_ones():
    market = Market(Settings(bar_count_to_snib=2))
    market.line(1, 100.0)
    market.line(2, 100.0)
    market.kerds.append(object())
    with pytest.raises(AttributeError, match="end_bar_index"):
        market.engine.sort_and_filter_kerds()  # the sort reads every key first
    assert len(market.kerds) == 3
    with pytest.raises(AttributeError, match="end_bar_index"):
        market.engine.remove_kerd_by_end_bar_index()
    assert len(market.kerds) == 1


@pytest.mark.parametrize("attribute, call, message", [
    ("kerds", "clear_all_kerd", "'tuple' object has no attribute 'clear'"),
    ("new_vip_snibs", "add_new_snibs_to_processed_array", "'tuple' object has no attribute"),
])
def test_host_containers_that_are_not_lists_give_their_own_error(attribute, call, message):
    market = Market()
    market.line(1, 100.0)
    market.new.append(Snib(5, 2, 100.5, 100.0, 6, 1480, True, False, 0.8))
    setattr(market.engine, attribute, tuple(getattr(market.engine, attribute)))
    with pytest.raises(AttributeError, match=message):
        getattr(market.engine, call)()


def test_a_processed_list_that_refuses_a_pivot_leaves_it_pending():
    market = Market()
    pending = [Snib(5, 2, 100.5, 100.0, 6, 1480, True, False, 0.8),
               Snib(5, 2, 99.5, 100.0, 7, 1540, False, False, 0.8)]
    market.new.extend(pending)
    market.engine.vip_snibs = ()
    with pytest.raises(AttributeError, match="'tuple' object has no attribute 'append'"):
        market.engine.add_new_snibs_to_processed_array()
    assert market.new == pending


def test_a_rebuild_failing_midway_keeps_what_it_did():
    settings = Settings(draw_from_recent=True, bar_count_to_snib=5)
    del settings.kerd_overlap_ca_percent_multiplier
    market = Market(settings)
    market.line(1, 70.0)
    market.new.extend([Snib(5, 2, 100.5, 100.0, 6, 1480, True, False, 0.8),
                       Snib(5, 2, 99.5, 100.0, 7, 1540, False, False, 0.8)])
    with pytest.raises(AttributeError, match="kerd_overlap_ca_percent_multiplier"):
        market.engine.rebuild_kerd_from_most_recent_snib()
    # Cleared, both pivots moved, the newest pivot's line built; the older one failed.
    assert market.new == [] and len(market.vip) == 2
    assert [k.kerd_value for k in market.kerds] == [99.5]


def test_a_series_running_out_during_the_replay_keeps_earlier_lines_changes():
    market = Market(Settings(only_body_cross=True))
    first = market.line(6, 100.5)
    market.line(-3, 100.5)  # needs bars before the first
    with pytest.raises(IndexError, match="reaches before the first bar"):
        market.engine.extend_kerd_to_first_cross_from_history()
    assert first.extended and first.historical_extend_bar_crosses_checked
    assert not market.kerds[1].extended


# Bars around the level 100.5: some clear of it, some crossing it with their wicks only, some
# with their bodies.
REPLAY_BARS = dict(
    open=[101.0, 100.0, 101.0, 100.0, 100.6, 100.0, 101.0, 100.0, 100.1, 101.0, 100.0, 101.0],
    close=[100.0, 101.0, 102.0, 101.0, 101.0, 100.2, 100.0, 101.0, 100.3, 100.0, 101.0, 100.0],
    high=[101.5, 101.5, 102.5, 101.5, 101.5, 100.8, 101.5, 101.5, 100.9, 101.5, 101.5, 101.5],
    low=[99.5, 99.5, 100.7, 99.5, 100.55, 99.5, 99.5, 99.5, 99.5, 99.5, 99.5, 99.5])


def replay_outcome(make, line_attrs, delete):
    """Replays two lines that make the engine read the current bar's time and the cross
    tolerance, then one line with the given attributes (and the given ones deleted); returns
    the error raised, if any, and every line's attributes but the series, in dictionary order."""
    market = Market(Settings(only_body_cross=True, kerd_extend_bar_cross_threshold=2),
                    bars=12, make=make, **{k: list(v) for k, v in REPLAY_BARS.items()})
    market.line(11, 100.5, extended=True, extend_end_bar_index=10,
                historical_extend_bar_crosses_checked=True)
    market.line(0, 100.5)
    line = market.line(1, **line_attrs)
    for name in delete:
        delattr(line, name)
    try:
        market.engine.extend_kerd_to_first_cross_from_history()
        error = None
    except Exception as exc:  # noqa: BLE001  (compared between the two runs)
        error = (type(exc), str(exc))
    series = ("close", "open", "high", "low", "time")
    return error, [[(n, v) for n, v in vars(k).items() if n not in series] for k in market.kerds]


@pytest.mark.parametrize("line_attrs, delete", [
    (dict(value=100.5), ()),
    (dict(value=100.5, extended=True, extend_end_bar_index=6), ()),
    (dict(value=100.5, extended=True, extend_end_bar_index=3, bar_crosses_post_extend=1), ()),
    (dict(value=100.5), ("violated", "post_extend_end_bar_index")),
    (dict(value=100.5, extended=True, extend_end_bar_index=4), ("bar_crosses_post_extend",)),
    (dict(value=100.5, extended=True, extend_end_bar_index=4, bar_crosses_post_extend=2**63 - 1),
     ()),
    (dict(value=100.5, extended=True, bar_crosses_post_extend=1.5), ()),
    (dict(value=150.0, bar_crosses_post_extend="none yet"), ()),
    (dict(value=150.0), ("bar_crosses_post_extend",)),
    (dict(value=100.5, extended=1, extend_end_bar_index=2.0), ()),
    (dict(value=100.5, extended=True, extend_end_bar_index=2**64), ()),
], ids=["fresh", "extended", "counted before", "writes add attributes", "count missing",
        "count overflows", "count not whole", "count unread", "count unread and missing",
        "state of other types", "index past 64 bits"])
def test_replay_on_package_series_leaves_what_it_leaves_on_host_series(line_attrs, delete):
    # On the package's series a line's state may be held through the replay; on host series
    # every read is made as written. Both must end alike, errors included.
    assert replay_outcome(Series, line_attrs, delete) == replay_outcome(PlainSeries, line_attrs,
                                                                        delete)


@pytest.mark.parametrize("seed", [3, 4])
def test_many_lines_replayed_on_package_series_end_as_on_host_series(seed):
    # Enough lines over the same bars that the replay indexes the bars' extremes; a NaN price
    # and lines at levels between, on and beyond the bars.
    rng = random.Random(seed)
    closes = [100.0]
    for _ in range(59):
        closes.append(closes[-1] + rng.uniform(-1.5, 1.5))
    bars = dict(close=closes, open=[c + rng.uniform(-1.0, 1.0) for c in closes])
    bars["high"] = [max(o, c) + rng.uniform(0.0, 1.0) for o, c in zip(bars["open"], closes)]
    bars["low"] = [min(o, c) - rng.uniform(0.0, 1.0) for o, c in zip(bars["open"], closes)]
    bars["high"][rng.randrange(60)] = NAN
    levels = sorted(closes)[::2] + [closes[10], min(bars["low"]) - 1.0]
    states = []
    for make in (Series, PlainSeries):
        market = Market(Settings(only_body_cross=seed == 3, kerd_extend_bar_cross_threshold=3),
                        bars=60, make=make, **{k: list(v) for k, v in bars.items()})
        for n, level in enumerate(levels):
            market.line(n % 40, level)
        market.engine.extend_kerd_to_first_cross_from_history()
        states.append([{n: getattr(k, n) for n in (
            "extended", "extend_end_bar_index", "historical_extend_bar_crosses_checked",
            "bar_crosses_post_extend", "post_extend_end_bar_index", "violated")}
            for k in market.kerds])
    assert states[0] == states[1]
    assert sum(s["violated"] for s in states[0]) > 0


class Counted:
    """A truth value that counts its uses."""

    def __init__(self, value):
        self.value, self.uses = value, 0

    def __bool__(self):
        self.uses += 1
        return self.value


@pytest.mark.parametrize("make", [Series, PlainSeries], ids=["package series", "plain series"])
@pytest.mark.parametrize("extended", [False, True])
def test_replay_reads_line_state_even_when_no_bar_straddles(make, extended):
    # Level 150 lies above every bar: no bar of the replay can change the line.
    class Watched(Kerd):
        def __getattribute__(self, name):
            reads.append(name)
            return super().__getattribute__(name)

    reads = []
    market = Market(make=make)
    e = market.engine
    watched = Watched(e.close, e.open, e.high, e.low, 9, e.time, 9, 0.01, 5, 5, 1300, 1300,
                      150.0, 150.0, [150.0], 1.0, extended=extended)
    counted = market.line(5, 150.0, extended=Counted(extended))
    missing = market.line(5, 150.0, extended=extended)
    del missing.extended
    market.kerds.insert(0, watched)
    with pytest.raises(AttributeError, match="extended"):
        e.extend_kerd_to_first_cross_from_history()
    assert "extended" in reads and counted.extended.uses >= 1
    if extended:
        assert {"historical_extend_bar_crosses_checked", "extend_end_bar_index"} <= set(reads)
    assert not watched.historical_extend_bar_crosses_checked and not watched.violated


@pytest.mark.parametrize("name, value", [
    ("extended", False), ("extended", True), ("historical_extend_bar_crosses_checked", True),
    ("extend_end_bar_index", 7), ("end_time", 1300),
])
def test_replay_reads_line_state_found_on_the_line_class(name, value):
    # A line whose attribute its class holds, not its own dictionary, replays as one holding
    # the same value itself.
    class Defaults(Kerd):
        pass

    setattr(Defaults, name, value)
    states = []
    for from_class in (False, True):
        market = Market()
        e = market.engine
        line = Defaults(e.close, e.open, e.high, e.low, e.bar_index, e.time, e.last_bar_index,
                        e.mintick, 5, 5, 1300, 1300, 100.0, 100.0, [100.0], 1.0)
        setattr(line, name, value)
        if from_class:
            delattr(line, name)
        market.kerds.append(line)
        e.extend_kerd_to_first_cross_from_history()
        states.append({n: getattr(line, n) for n in (
            "extended", "extend_end_bar_index", "historical_extend_bar_crosses_checked",
            "bar_crosses_post_extend", "post_extend_end_bar_index", "violated")})
    assert states[0] == states[1]
