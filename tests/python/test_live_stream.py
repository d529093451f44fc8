"""native.LiveStream, bar by bar, equals the whole-history live run on the native model:
every bar's check, the lines and (those it keeps) the pivots; its support and resistance
follow the kit's rule; peeks change nothing; copies and pickles continue exactly; a bad bar
changes nothing; and it holds only the bars the rules can reach."""

import math
import pickle
import random

import numpy as np
import pytest

from test_native_run import random_bars, random_settings
from torvex import native
from torvex.kit import Settings, host_inputs, sample_bars
from torvex.kit.levels import nearest_levels


def market_of(bars, settings):
    inputs = host_inputs(bars.high, bars.low, bars.close, settings)
    market = {name: np.asarray(getattr(inputs if hasattr(inputs, name) else bars, name),
                               dtype=float).tolist() for name in native.MARKET_COLUMNS}
    return market, inputs.close_avg_percent.tolist()


def whole_live(bars, settings):
    """Every bar's check, the lines and the pivots of the whole-history live run."""
    market, caps = market_of(bars, settings)
    args = (market, settings, settings.mintick, caps, settings, settings.check_form,
            not settings.draw_from_recent, True)
    steps, _ = native.run_window_loop(*args)
    _, lines, pivots = native.run_history(*args)
    return [result for result, _ in steps], lines, pivots


def rows(bars, first=0, last=None):
    return list(zip(bars.time.tolist(), bars.open.tolist(), bars.high.tolist(),
                    bars.low.tolist(), bars.close.tolist()))[first:last]


def feed(stream, bars_rows):
    return [stream.add(*row) for row in bars_rows]


def stream_settings(seed, count, draw_from_recent, check_form):
    settings = random_settings(seed, count, draw_from_recent, check_form)
    if draw_from_recent:
        settings.bar_count_to_snib = count // 5
    return settings


CASES = [(seed, recent, form) for seed in range(5) for recent in (True, False) for form in (3, 1)]


@pytest.mark.parametrize("seed, draw_from_recent, check_form", CASES)
def test_adding_bar_by_bar_equals_the_whole_history_live_run(seed, draw_from_recent, check_form):
    count = random.Random(seed).randrange(250, 450)
    bars = random_bars(seed, count)
    settings = stream_settings(seed, count, draw_from_recent, check_form)
    checks, lines, pivots = whole_live(bars, settings)
    stream = native.LiveStream(settings, check_form)
    outcomes = feed(stream, rows(bars))
    assert [bar for bar, *_ in outcomes] == list(range(count))
    assert [check for _, check, *_ in outcomes] == checks
    assert stream.lines() == lines and stream.bars == count
    # each bar names the pivots it took, though the stream lets the unreachable ones go
    assert [pivot for *_, taken in outcomes for pivot in taken] == pivots
    kept = stream.pivots()  # the processed pivots a rebuild can still use, and any pending
    assert kept == pivots[len(pivots) - len(kept):]
    assert (len(kept) < len(pivots)) == draw_from_recent
    assert any(check is not None for check in checks)


def test_the_embedded_bars_stream_as_the_whole_history_runs():
    bars, settings = sample_bars(), Settings()
    checks, lines, _ = whole_live(bars, settings)
    stream = native.LiveStream(settings)
    assert [check for _, check, *_ in feed(stream, rows(bars))] == checks
    assert stream.lines() == lines


@pytest.mark.parametrize("seed", range(3))
def test_support_and_resistance_follow_the_kits_rule(seed):
    count = 400
    bars = random_bars(seed, count)
    stream = native.LiveStream(stream_settings(seed, count, seed != 1, 3))
    seen = 0
    for row in rows(bars):
        _, _, support, resistance, _ = stream.add(*row)
        lines = [(line["kerd_value"], line["violated"], len(line["snib_values"]))
                 for line in stream.lines()]
        expected = [None if level is None else tuple(level)
                    for level in nearest_levels(lines, row[4])]
        assert [support, resistance] == expected
        seen += support is not None and resistance is not None
    assert seen > count // 4


def test_lines_at_any_bar_equal_a_live_run_that_ends_there():
    bars, count = random_bars(4, 420), 420
    settings = stream_settings(4, count, True, 3)
    stream = native.LiveStream(settings)
    for end in (150, 290, 420):
        feed(stream, rows(bars, stream.bars, end))
        prefix = random_bars(4, count)
        prefix = type(prefix).from_arrays(prefix.dates[:end], prefix.open[:end],
                                          prefix.high[:end], prefix.low[:end], prefix.close[:end])
        assert stream.lines() == whole_live(prefix, settings)[1]


@pytest.mark.parametrize("form", [1, 3])
def test_peeks_change_nothing_and_give_what_add_gives(form):
    count = 380
    bars = random_bars(7, count)
    settings = stream_settings(7, count, True, form)
    plain, peeking = native.LiveStream(settings, form), native.LiveStream(settings, form)
    rng = random.Random(7)
    for row in rows(bars):
        for _ in range(rng.randrange(3)):  # forming bars, then the bar as it closes
            forming = (row[0], row[1], row[2] + rng.random(), row[3] - rng.random(),
                       row[3] + rng.random() * (row[2] - row[3]))
            assert peeking.peek(*forming) == peeking.copy().add(*forming)
        assert peeking.peek(*row) == peeking.add(*row) == plain.add(*row)
    assert peeking.lines() == plain.lines() and peeking.pivots() == plain.pivots()


@pytest.mark.parametrize("seed, draw_from_recent", [(2, True), (3, False)])
def test_copies_and_pickles_continue_exactly(seed, draw_from_recent):
    count = 420
    bars = random_bars(seed, count)
    settings = stream_settings(seed, count, draw_from_recent, 3)
    stream = native.LiveStream(settings)
    feed(stream, rows(bars, 0, 200))
    copy, restored = stream.copy(), pickle.loads(pickle.dumps(stream))
    rest = [feed(one, rows(bars, 200)) for one in (stream, copy, restored)]
    assert rest[0] == rest[1] == rest[2]
    assert stream.lines() == copy.lines() == restored.lines()
    assert stream.pivots() == copy.pivots() == restored.pivots()


BAD = [((math.nan,), "time is not a finite number"), ((None, math.inf), "open"),
       ((None, None, math.nan), "high"), ((None, None, None, -math.inf), "low"),
       ((None, None, None, None, math.nan), "close"), (("same",), "is not after"),
       (("earlier",), "is not after"), ((3e9,), "32-bit")]


@pytest.mark.parametrize("change, message", BAD)
def test_a_bad_bar_changes_nothing(change, message):
    count = 320
    bars = random_bars(5, count)
    settings = stream_settings(5, count, True, 3)
    good = rows(bars)
    plain, tried = native.LiveStream(settings), native.LiveStream(settings)
    feed(plain, good[:150])
    feed(tried, good[:150])
    bad = list(good[150])
    for i, value in enumerate(change):
        if value == "same":
            value = good[149][0]
        elif value == "earlier":
            value = good[149][0] - 1
        if value is not None:
            bad[i] = value
    for call in (tried.add, tried.peek):
        with pytest.raises(ValueError, match=message) as error:
            call(*bad)
        assert "\n" not in str(error.value) and "bar 150" in str(error.value)
    assert feed(tried, good[150:]) == feed(plain, good[150:])
    assert tried.lines() == plain.lines()


def test_memory_holds_only_what_the_rules_reach():
    """A long walk with short windows: the bars and pivots kept stay within the reach of the
    rules (bar_count_to_snib, the length test, the confirmation delays, the windows' life)."""
    count = 12000
    bars = random_bars(11, count)
    settings = Settings(bar_count_to_snib=60, kerd_length_threshold=40, high_snib_m=3,
                        low_snib_m=3, search_range=10, trap_recover_window_threshold=5)
    stream = native.LiveStream(settings)
    most_bars = most_pivots = 0
    for row in rows(bars):
        stream.add(*row)
        most_bars = max(most_bars, stream.kept_bars)
        most_pivots = max(most_pivots, len(stream.pivots()))
    assert stream.bars == count
    assert 60 <= most_bars <= 60 + 40 + 3 + 15 + 2
    assert 0 < most_pivots <= most_bars


class Plain:
    """Settings as any object with the attributes."""

    def __init__(self, **changes):
        self.__dict__.update(Settings().as_dict(), **changes)


def test_bad_construction_is_an_error():
    assert native.LiveStream(Plain()).bars == 0
    with pytest.raises(ValueError, match="form must be 1"):
        native.LiveStream(Settings(), 2)
    with pytest.raises(ValueError, match="trend_ma_length"):
        native.LiveStream(Plain(trend_ma_length=0))
    with pytest.raises(AttributeError):
        native.LiveStream(object())


def test_a_damaged_state_is_a_value_error():
    stream = native.LiveStream(Settings())
    feed(stream, rows(sample_bars(), 0, 300))
    good = stream.__reduce__()[1][0]
    for bad in (b"", good[:-1], good + b"\x00", good[:200] + b"\xff" * (len(good) - 200)):
        with pytest.raises(ValueError):
            native.LiveStream._from_state(bad)
    assert native.LiveStream._from_state(good).lines() == stream.lines()
