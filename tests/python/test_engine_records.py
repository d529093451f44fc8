"""The records an engine operation makes (windows, pivot records, check results) are built as
calling their class builds them: a host that replaces a record class's __init__ sees every call, with the arguments and keywords it always had, and what it builds is what the
operation hands on; a value the class refuses fails as the call fails."""

import types

import pytest
from settings import Settings

from torvex.dto.mavet import Mavet, MavetFailure, MavetResult, MavetResultV2, MavetSuccess
from torvex.dto.snib import Snib
from torvex.dto.torvex import Torvex
from torvex.series import Series

NAN = float("nan")
BARS = 46


def windows_engine(cls=Torvex, crosses=(0, 4)):
    """Bar 45 recovers every window at once; a window with 4 crossings fails, one with 0
    passes."""
    closes = [100.0] * (BARS - 1) + [103.0]
    lows = [99.0] * (BARS - 1) + [101.0]
    mavets = [Mavet(100.0 - i, 40, None, c, 10, 1) for i, c in enumerate(crosses)]
    close = Series(closes)
    return cls(Settings(kerd_extend_bar_cross_threshold=3), [], [], [], mavets,
               *[Series([NAN] * BARS) for _ in range(4)], {}, close, close,
               Series([c + 1 for c in closes]), Series(lows), BARS - 1,
               Series([float(t) for t in range(BARS)]), BARS - 1, 0.01)


def run_v3(engine):
    return engine.check_mavet_v3(1, 1, 10, 10, 1, 1, 5, 3)


def run_v1(engine):
    return engine.check_mavet(1, 1, 10, 10, 1, 5)


def run_update_mavet(engine):
    closes = [101.0] * (BARS - 1) + [99.0]
    engine.close = Series(closes)
    engine.low = Series([c - 1 for c in closes])
    engine.kerds.append(types.SimpleNamespace(kerd_value=100.0, bar_crosses_post_extend=2,
                                              snib_values=[100.0, 100.0]))
    engine.update_mavet(5, 5, 1, 1)
    return engine.mavets[-1]


def run_update(engine):
    bars = 12
    high = [10.0] * bars
    high[-4] = 20.0  # a high pivot three bars back, reported now
    engine.normal_high_snib = Series([NAN] * (bars - 1) + [20.0])
    for name in ("normal_low_snib", "trending_high_snib", "trending_low_snib"):
        setattr(engine, name, Series([NAN] * bars))
    engine.close = engine.open = Series([9.0] * bars)
    engine.high, engine.low = Series(high), Series([8.0] * bars)
    engine.bar_index, engine.time = bars - 1, Series([float(t) for t in range(bars)])
    engine.update(Series([0.0] * bars), 1.0)
    return (engine.vip_snibs + engine.new_vip_snibs)[-1]


# Each operation, the record class it builds, and the keywords it builds it with.
BUILT = {
    "window": (run_update_mavet, Mavet, (
        "break_kerd_at_price", "break_kerd_at_bar_index", "recover_at_bar_index",
        "break_kerd_extend_bar_cross", "bar_count_close_above_kerd", "vip_snib_count")),
    "pivot": (run_update, Snib, (
        "n", "m", "price", "close_at_pivot", "bar_index_at_pivot", "bar_time_at_pivot",
        "is_high", "is_trending", "close_avg_percent")),
    "failure": (run_v3, MavetFailure, (
        "close_above_low_and_kerd", "violate_extend_bar_cross", "violate_recover_window",
        "violate_signal_window", "violate_search_range_close_above_bar_count", "mavet")),
    "success": (run_v3, MavetSuccess, ("has_signal", "is_vvip_signal", "mavet")),
    "third-form result": (run_v3, MavetResultV2, ("success",)),
    "first-form result": (run_v1, MavetResult, ()),
}


def state(value):
    """A record (or anything) as comparable values."""
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    names = [n for n in dir(value) if not n.startswith("_") and not callable(getattr(value, n))]
    return type(value).__name__, {n: state(getattr(value, n)) for n in names}


@pytest.mark.parametrize("run, cls, keywords", BUILT.values(), ids=BUILT.keys())
def test_a_replaced_initialiser_sees_every_record_built(monkeypatch, run, cls, keywords):
    expected = state(run(windows_engine()))
    calls = []
    own = cls.__init__

    def init(self, *args, **kwargs):
        calls.append((args, tuple(kwargs)))
        own(self, *args, **kwargs)

    engine = windows_engine()
    monkeypatch.setattr(cls, "__init__", init)
    assert state(run(engine)) == expected
    assert calls and all(call == (calls[0][0], keywords) for call in calls)
    assert len(calls[0][0]) == (7 if cls is MavetResult else 0)
    monkeypatch.undo()
    engine = windows_engine()
    calls.clear()
    assert state(run(engine)) == expected and not calls

def test_a_chosen_success_of_another_class_fails_as_the_call_does():
    class Engine(Torvex):
        def get_success_by_vvip(self, successes):
            return "not a success"

    with pytest.raises(TypeError, match="^Argument 'success' has incorrect type "
                                        r"\(expected torvex.dto.mavet.MavetSuccess, got str\)$"):
        run_v3(windows_engine(Engine))

