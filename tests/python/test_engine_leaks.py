"""Repeated engine construction, updates, rebuilds, replays and failing calls do not grow
memory: every reference the engine takes on the host's objects is given back."""

import math

from settings import Settings

from torvex.dto.snib import Snib
from torvex.dto.torvex import Torvex
from torvex.series import Series
from leak_check import block_growth
from plain_series import PlainSeries

BARS = 40
FIRST = 25  # the first bar updated


def market(make):
    close = [100.0 + (i % 7) - 3 for i in range(BARS)]
    columns = {"close": close, "open": [c + 0.5 for c in close], "high": [c + 2 for c in close],
                   "low": [c - 2 for c in close], "time": [1000 + 60 * i for i in range(BARS)],
                   "nh": [c + 2 if i % 5 == 4 else math.nan for i, c in enumerate(close)],
                   "nl": [c - 2 if i % 6 == 5 else math.nan for i, c in enumerate(close)],
                   "trend": [0.0] * BARS}
    return {name: make(values, visible=FIRST + 1) for name, values in columns.items()}


def engine_workload():
    for make in (Series, PlainSeries):
        s = market(make)
        settings = Settings(draw_from_recent=True, bar_count_to_snib=BARS, high_snib_m=2,
                            low_snib_m=2, allow_reuse_snib=True)
        nan = make([math.nan] * BARS)
        engine = Torvex(settings, [], [], [], [], s["nh"], s["nl"], nan, nan, {}, s["close"],
                        s["open"], s["high"], s["low"], FIRST, s["time"], BARS - 1, 0.01)
        for bar in range(FIRST, BARS):
            if bar > FIRST:
                for series in s.values():
                    series.advance()
            engine.bar_index = bar
            engine.update(s["trend"], 1.0)
        assert engine.kerds
        engine.new_vip_snibs.extend(engine.vip_snibs[:3])
        engine.rebuild_kerd_from_most_recent_snib(close_avg_percent=2.0)
        engine.extend_kerd_to_first_cross_from_history()
        engine.extend_kerd_to_first_cross()
        engine.sort_and_filter_kerds()
        engine.add_new_snibs_to_processed_array()
        # Failing calls: a missing setting, a bad pivot value, a container of the wrong kind.
        del settings.debug
        attempt(engine.update, AttributeError, s["trend"], 1.0)
        settings.debug = False
        engine.normal_high_snib = PlainSeries(["x"])
        attempt(engine.add_new_snibs_to_pending, TypeError, s["trend"], 1.0)
        engine.new_vip_snibs = (Snib(5, 2, 1.0, 1.0, 3, 4, True, False, 0.5),)
        attempt(engine.add_new_snibs_to_processed_array, AttributeError)
        engine.kerds.append(object())
        attempt(engine.extend_kerd_to_first_cross, AttributeError)
    attempt(Torvex, TypeError, Settings())


def attempt(action, error, *args):
    try:
        action(*args)
    except error:
        pass


def test_repeated_engine_use_does_not_grow_memory():
    growth = block_growth(engine_workload, 20, 200)
    assert min(growth) < 100, growth
