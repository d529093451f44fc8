"""torvex.kit.Stream: bars in one at a time. Its outcomes equal kit.run in the live view bar by
bar; peeks change nothing; a pickled or copied stream, and one warmed up on a history, go on
exactly as one fed every bar; a bad bar is one line and leaves the stream as it was."""

import datetime as dt
import math
import pickle
import random

import numpy as np
import pytest

from test_native_run import random_bars, random_settings
from torvex.kit import Bars, BarsError, Settings, Stream, run, sample_bars
from torvex.kit.levels import nearest_levels

ENGINES = ["native", "python"]


def rows(bars, start=0, end=None):
    return [(bars.dates[i], float(bars.open[i]), float(bars.high[i]), float(bars.low[i]),
             float(bars.close[i])) for i in range(start, len(bars) if end is None else end)]


def feed(stream, bar_rows):
    return [stream.add(*row) for row in bar_rows]


CASES = [(seed, recent, form) for seed in range(4) for recent in (True, False) for form in (3, 1)]


@pytest.mark.parametrize("seed, draw_from_recent, check_form", CASES)
def test_outcomes_equal_the_live_run_bar_by_bar(seed, draw_from_recent, check_form):
    count = random.Random(seed).randrange(250, 400)
    bars = random_bars(seed, count)
    settings = random_settings(seed, count, draw_from_recent, check_form)
    reference = run(bars, settings, engine="python", view="live")
    by_engine = {}
    for engine in ENGINES:
        stream = Stream(settings, engine)
        assert stream.engine == engine
        outcomes = by_engine[engine] = feed(stream, rows(bars))
        assert [o.record for o in outcomes if o.signal] == reference.signals
        assert [f for o in outcomes for f in o.failures] == reference.failures
        pivots = sorted((p for o in outcomes for p in o.pivots),
                        key=lambda p: (p.bar, not p.is_high))
        assert pivots == reference.pivots
        assert stream.levels() == reference.lines
        assert [(o.bar, o.date) for o in outcomes] == list(enumerate(bars.dates))
        assert all(o.level == (o.record.level if o.signal else None) for o in outcomes)
    # support and resistance too, field by field: the two models agree on every bar
    assert repr(by_engine["native"]) == repr(by_engine["python"])


def test_support_and_resistance_are_the_nearest_standing_lines_at_the_close():
    bars = sample_bars()
    stream = Stream(engine="python")
    driver = stream._model.driver
    seen = 0
    for row in rows(bars, 0, 1200):
        outcome = stream.add(*row)
        lines = [(k.kerd_value, k.violated, len(k.snib_values)) for k in driver.kerds]
        assert (outcome.support, outcome.resistance) == nearest_levels(lines, row[4])
        seen += outcome.support is not None and outcome.resistance is not None
    assert seen > 300


@pytest.mark.parametrize("engine", ENGINES)
def test_peeks_change_nothing(engine):
    bars = random_bars(3, 400)
    settings = random_settings(3, 400, True, 3)
    plain = feed(Stream(settings, engine), rows(bars))
    stream, rng = Stream(settings, engine), random.Random(1)
    for row, expected in zip(rows(bars), plain):
        date, o, h, lo, c = row
        for _ in range(rng.randrange(3)):  # the bar as it formed: a narrower range first
            stream.peek(date, o, max(o, c, lo + (h - lo) * rng.random()), lo, c)
        assert stream.peek(*row) == expected
        assert stream.add(*row) == expected


@pytest.mark.parametrize("engine", ENGINES)
def test_a_pickled_or_copied_stream_goes_on_as_the_uninterrupted_one(engine):
    bars = sample_bars()
    settings = Settings(bar_count_to_snib=120)
    whole = Stream(settings, engine)
    expected = feed(whole, rows(bars, 0, 900))
    stream = Stream(settings, engine)
    got = feed(stream, rows(bars, 0, 500))
    restored = pickle.loads(pickle.dumps(stream))
    copied = stream.copy()
    got += feed(restored, rows(bars, 500, 900))
    assert got == expected and restored.levels() == whole.levels()
    assert feed(copied, rows(bars, 500, 900)) == expected[500:]
    assert feed(stream, rows(bars, 500, 900)) == expected[500:]  # the copies took nothing of it


@pytest.mark.parametrize("engine", ENGINES)
def test_a_stream_warmed_up_on_a_history_goes_on_as_one_fed_every_bar(engine):
    bars = sample_bars()
    history = Bars.from_arrays(bars.dates[:1800], bars.open[:1800], bars.high[:1800],
                               bars.low[:1800], bars.close[:1800])
    fed = Stream(engine=engine)
    feed(fed, rows(bars, 0, 1800))
    warmed = Stream.from_bars(history, engine=engine)
    assert warmed.bars == 1800 and warmed.levels() == fed.levels()
    assert feed(warmed, rows(bars, 1800)) == feed(fed, rows(bars, 1800))


GOOD = ("2024-03-04", 10.0, 11.0, 9.0, 10.5)


@pytest.mark.parametrize("bar, message", [
    (("2024-03-04", 10.0, 11.0, math.nan, 10.5), "bar 40, column Low: NaN price"),
    (("2024-03-04", 10.0, 9.0, 9.5, 9.2), "bar 40, column High: high 9 is below low 9.5"),
    (("2024-03-04", 8.0, 11.0, 9.0, 10.5), "bar 40, column Open: open 8 is below low 9"),
    (("2024-03-04", 10.0, 11.0, 9.0, -1), "bar 40, column Close: price -1 is not above 0"),
    (("2024-03-04", "10", 11.0, 9.0, 10.5), "bar 40, column Open: '10' is not a number"),
    (("someday", 10.0, 11.0, 9.0, 10.5), "bar 40, column Date: 'someday' is not a date"),
    (("2024-03-01", *GOOD[1:]),
     "bar 40, column Date: 2024-03-01 repeats the date of the bar before"),
    (("2024-02-29", *GOOD[1:]),
     "bar 40, column Date: 2024-02-29 is before 2024-03-01 of the bar before"),
    ((dt.datetime(2024, 3, 4, 9, 30), *GOOD[1:]),
     "bar 40, column Date: 2024-03-04 09:30:00 is not a whole day"),
])
@pytest.mark.parametrize("engine", ENGINES)
def test_a_bad_bar_is_one_line_and_leaves_the_stream_as_it_was(engine, bar, message):
    days = np.busday_offset("2024-03-01", np.arange(-39, 1))  # 40 days to Friday 2024-03-01
    rng = np.random.default_rng(2)
    close = 10 + np.cumsum(rng.normal(0, 0.2, 40))
    history = [(str(d), c, c + 0.3, c - 0.3, c) for d, c in zip(days, close)]
    stream, clean = Stream(engine=engine), Stream(engine=engine)
    feed(stream, history)
    feed(clean, history)
    for step in (stream.peek, stream.add):
        with pytest.raises(BarsError) as e:
            step(*bar)
        text = str(e.value)
        # a stream has no clip option to offer
        assert text.startswith(f"stream: {message}") and "\n" not in text and "clip" not in text
    assert stream.bars == 40
    assert stream.add(*GOOD) == clean.add(*GOOD)


@pytest.mark.parametrize("time", [dt.datetime(2024, 3, 4, 9, 30), np.datetime64("2024-03-04T09:30"),
                                  "2024-03-04 09:30", 1709544600, 1709544600000.0])
def test_intraday_times_in_every_form_a_file_takes(time):
    stream = Stream(engine="python")
    outcome = stream.add(time, *GOOD[1:])
    assert outcome.date == "2024-03-04 09:30:00"
    assert stream._model.series.time[0] == 1709544600  # Unix seconds for the engine
    daily = Stream(engine="python")
    assert daily.add(dt.date(2024, 3, 4), *GOOD[1:]).date == "2024-03-04"
    assert daily._model.series.time[0] == 20240304


def test_a_stream_keeps_the_dates_only_of_bars_its_lines_can_name():
    bars = sample_bars()
    settings = Settings(bar_count_to_snib=100)
    stream = Stream(settings, "native")
    feed(stream, rows(bars))
    later = dt.timedelta(days=3660)  # the same bars again, ten years on
    feed(stream, [(dt.date.fromisoformat(d) + later, *prices) for d, *prices in rows(bars)])
    assert stream._times.first > 2000
    lines = stream.levels()
    assert lines and all(line.start_date and line.end_date for line in lines)
    assert all(p.date for p in stream.pivots())
