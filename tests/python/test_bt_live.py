"""TorvexLevels in the live view, its default: kit.run(view="live") bar by bar on every kind of
feed, replayed forming bars peeked at and added once, and a saved state that resumes after the
feed has grown."""

import datetime as dt
import pickle

import numpy as np
import pytest

bt = pytest.importorskip("backtrader", reason="backtrader (the bt extra) is not installed")
pd = pytest.importorskip("pandas", reason="pandas (the frames extra) is not installed")

from test_bt import (  # noqa: E402
    NON_DEFAULT, Holder, assert_lines_show, assert_same_run, cerebro_run, frame)
from torvex.bt import TorvexLevels, TorvexLevelsError  # noqa: E402
from torvex.kit import Bars, Settings, run, sample_bars, synthetic_bars  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore:datetime.datetime.utcnow:DeprecationWarning")

ENGINES = ["native", "python"]


def live_reference(bars, kw):
    return run(bars, Settings(**kw), view="live")


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("kw", [{}, NON_DEFAULT, dict(check_form=1),
                                dict(draw_from_recent=False, bar_count_to_snib=200)], ids=str)
@pytest.mark.parametrize("cerebro", [dict(runonce=True), dict(runonce=False), dict(preload=False),
                                     dict(exactbars=1)], ids=str)
def test_the_default_view_is_the_live_run_on_any_feed(engine, kw, cerebro):
    bars = synthetic_bars(900, seed=11)
    reference = live_reference(bars, kw)
    levels = cerebro_run(bars, dict(kw, engine=engine), **cerebro)
    assert_same_run(levels, reference)
    if "exactbars" not in cerebro:  # which keeps the last bars only
        assert_lines_show(levels, reference)
    assert levels.result.view == "live" and levels.stream.engine == engine
    assert reference.signals[0].bar < 300  # signals all through the history


def intraday_rows(bars):
    """Four two-hour bars a day whose day is the daily bar: open, up to the high, down to the
    low, up to the close."""
    rows = []
    for date, o, h, lo, c in zip(bars.dates, bars.open, bars.high, bars.low, bars.close):
        day = dt.datetime.fromisoformat(date)
        for hour, bar in zip((10, 12, 14, 16), ((o, o, o, o), (o, h, o, h), (h, h, lo, lo),
                                                (lo, c, lo, c))):
            rows.append((day + dt.timedelta(hours=hour), *bar))
    return pd.DataFrame(rows, columns=["datetime", "open", "high", "low", "close"]).set_index(
        "datetime")


class Updates(bt.Strategy):
    """Counts the updates of each bar and keeps the indicator's lines as they were shown."""

    def __init__(self):
        self.levels = TorvexLevels(self.data, engine=self.p.engine, bar_count_to_snib=300)
        self.updates = {}

    params = (("engine", "auto"),)

    def next(self):
        bar = len(self) - 1
        self.updates[bar] = self.updates.get(bar, 0) + 1


@pytest.mark.parametrize("engine", ENGINES)
def test_replayed_forming_bars_are_peeked_and_added_once(engine):
    bars = synthetic_bars(700, seed=5)
    reference = live_reference(bars, dict(bar_count_to_snib=300))
    c = bt.Cerebro(stdstats=False)
    feed = bt.feeds.PandasData(dataname=intraday_rows(bars), timeframe=bt.TimeFrame.Minutes,
                               compression=120)
    c.replaydata(feed, timeframe=bt.TimeFrame.Days)
    c.addstrategy(Updates, engine=engine)
    strategy = c.run()[0]
    assert max(strategy.updates.values()) == 4  # every bar seen forming
    levels = strategy.levels
    assert levels.stream.bars == len(bars)  # the last one added when the data ended
    assert_same_run(levels, reference)
    assert_lines_show(levels, reference)
    # the replayed run's signals are the preloaded ones
    preloaded = cerebro_run(bars, dict(bar_count_to_snib=300, engine=engine))
    assert preloaded.result.signals == levels.result.signals


def test_last_bar_index_belongs_to_the_end_view():
    with pytest.raises(TorvexLevelsError) as e:
        cerebro_run(synthetic_bars(300, seed=1), dict(last_bar_index=299))
    assert str(e.value) == ('TorvexLevels: last_bar_index belongs to the end view: pass '
                            'view="end" with it, or leave it out (the live view needs no last bar)')


@pytest.mark.parametrize("engine", ENGINES)
def test_a_live_state_resumes_on_the_same_feed_after_it_has_grown(engine):
    bars = sample_bars()
    shorter = Bars.from_arrays(bars.dates[:2000], bars.open[:2000], bars.high[:2000],
                               bars.low[:2000], bars.close[:2000])
    saved = []
    c = bt.Cerebro(stdstats=False, runonce=False)
    c.adddata(bt.feeds.PandasData(dataname=frame(shorter)))
    c.addstrategy(Holder, kw=dict(engine=engine), stop_at=1800, saved=saved)
    c.run()
    state = pickle.loads(saved[0])
    for runonce in (True, False):
        resumed = cerebro_run(bars, dict(engine=engine, state=state), runonce=runonce)
        reference = live_reference(bars, {})
        assert_same_run(resumed, reference)
        assert_lines_show(resumed, reference)
    with pytest.raises(TorvexLevelsError, match="saved with bar_count_to_snib=250, this"):
        cerebro_run(bars, dict(engine=engine, state=state, bar_count_to_snib=200))
    with pytest.raises(TorvexLevelsError, match="state= takes what TorvexLevels.state"):
        cerebro_run(bars, dict(view="end", state=state))


def test_the_engines_agree_on_every_bar_shown():
    bars = synthetic_bars(600, seed=8)
    shown = {}
    for engine in ENGINES:
        levels = cerebro_run(bars, dict(engine=engine, bar_count_to_snib=150))
        shown[engine] = [np.array(getattr(levels.lines, name).array[:600]) for name in
                         ("signal", "level", "vvip", "support", "resistance")]
    for native, python in zip(shown["native"], shown["python"]):
        np.testing.assert_array_equal(native, python)
