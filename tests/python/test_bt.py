"""TorvexLevels inside real backtrader runs: the same results as torvex.kit.run, and each way a
backtrader host used to go wrong either gone or a one-line error."""

import datetime as dt
import math
import os
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

bt = pytest.importorskip("backtrader", reason="backtrader (the bt extra) is not installed")
pd = pytest.importorskip("pandas", reason="pandas (the frames extra) is not installed")

from torvex.bt import TorvexLevels, TorvexLevelsError, TorvexLevelsWarning  # noqa: E402
from torvex.kit import Bars, Settings, nearest_levels, run, sample_bars, synthetic_bars  # noqa: E402
from torvex.series import Series  # noqa: E402

# backtrader's own loop calls datetime.utcnow(), deprecated from Python 3.12 on
pytestmark = pytest.mark.filterwarnings("ignore:datetime.datetime.utcnow:DeprecationWarning")

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

NON_DEFAULT = dict(
    bar_count_to_snib=400,
    high_snib_n=4,
    low_snib_m=4,
    search_range=8,
    signal_window=6,
    only_body_cross=False,
    trend_ma_length=30,
    close_avg_length=10,
    kerd_extend_bar_cross_threshold=3,
)


def frame(bars):
    return pd.DataFrame(
        {"open": bars.open, "high": bars.high, "low": bars.low, "close": bars.close},
        index=pd.to_datetime(list(bars.dates), format="ISO8601"),
    )


class Holder(bt.Strategy):
    params = (("kw", {}), ("stop_at", None), ("saved", None), ("slow", 0))

    def __init__(self):
        if self.p.slow:  # an indicator with a long minimum period, created first
            self.average = bt.indicators.SMA(self.data, period=self.p.slow)
        self.levels = TorvexLevels(self.data, **self.p.kw)

    def next(self):
        if self.p.stop_at is not None and len(self) - 1 == self.p.stop_at:
            self.p.saved.append(pickle.dumps(self.levels.state()))
            self.env.runstop()


def cerebro_run(bars, kw=None, feed=None, slow=0, **cerebro):
    c = bt.Cerebro(stdstats=False, **cerebro)
    c.adddata(feed if feed is not None else bt.feeds.PandasData(dataname=frame(bars)))
    c.addstrategy(Holder, kw=kw or {}, slow=slow)
    return c.run()[0].levels


@pytest.fixture(scope="module")
def data_sets():
    return {"sample": sample_bars(), "seed11": synthetic_bars(1500, seed=11)}


def assert_same_run(levels, reference):
    result = levels.result
    assert result.signals == reference.signals
    assert result.lines == reference.lines
    assert result.failures == reference.failures
    assert result.pivots == reference.pivots
    assert result.bars.dates == reference.bars.dates
    np.testing.assert_array_equal(result.bars.time, reference.bars.time)
    for name in ("normal_high_snib", "trending_low_snib", "is_ma_trending", "close_avg_percent"):
        np.testing.assert_array_equal(getattr(result.inputs, name), getattr(reference.inputs, name))


def assert_lines_show(levels, reference):
    """The indicator's lines carry the signals, and the last bar's support and resistance."""
    count = len(reference.bars)
    signal = np.array(levels.lines.signal.array[:count])
    level = np.array(levels.lines.level.array[:count])
    vvip = np.array(levels.lines.vvip.array[:count])
    assert np.flatnonzero(signal).tolist() == [s.bar for s in reference.signals]
    assert level[signal == 1.0].tolist() == [s.level for s in reference.signals]
    assert np.isnan(level[signal == 0.0]).all()
    assert np.flatnonzero(vvip).tolist() == [s.bar for s in reference.signals if s.vvip]
    support, resistance = nearest_levels(
        ((line.level, line.violated, 0) for line in reference.lines), reference.bars.close[-1]
    )
    for name, expected in (("support", support), ("resistance", resistance)):
        got = getattr(levels.lines, name).array[count - 1]
        assert got == expected.price if expected is not None else math.isnan(got)


@pytest.mark.parametrize("name", ["sample", "seed11"])
@pytest.mark.parametrize(
    "kw", [{}, NON_DEFAULT, dict(draw_from_recent=False), dict(check_form=1)], ids=str
)
@pytest.mark.parametrize("runonce", [True, False])
def test_matches_kit_run(data_sets, name, kw, runonce):
    bars = data_sets[name]
    reference = run(bars, Settings(**kw))
    levels = cerebro_run(bars, dict(kw, view="end"), runonce=runonce)
    assert_same_run(levels, reference)
    assert_lines_show(levels, reference)
    assert levels.engine.bar_index == len(bars) - 1
    # the engine reads the package's own series, and the indicator starts on the first bar
    assert type(levels.engine.close) is Series and levels._minperiod == 1


@pytest.mark.parametrize(
    "cerebro",
    [dict(preload=False), dict(exactbars=1), dict(exactbars=-1), dict(exactbars=-2)],
    ids=str,
)
def test_feeds_that_are_not_kept_whole_match_too(data_sets, cerebro):
    bars = data_sets["seed11"]
    reference = run(bars, Settings(**NON_DEFAULT))
    levels = cerebro_run(bars, dict(NON_DEFAULT, view="end", last_bar_index=len(bars) - 1),
                         **cerebro)
    assert_same_run(levels, reference)


@pytest.mark.parametrize("runonce", [True, False])
def test_a_slow_indicator_beside_it_delays_nothing(data_sets, runonce):
    bars = data_sets["sample"]
    levels = cerebro_run(bars, dict(view="end"), slow=200, runonce=runonce)
    assert_same_run(levels, run(bars))


def test_unpreloaded_feed_without_last_bar_index_says_what_to_pass(data_sets):
    with pytest.raises(TorvexLevelsError, match=r"pass last_bar_index=") as e:
        cerebro_run(data_sets["seed11"], dict(view="end"), preload=False)
    assert "\n" not in str(e.value)


@pytest.mark.parametrize(
    "kw, message",
    [
        (dict(search_range="ten"), "setting search_range: 'ten' is not a whole number"),
        (dict(draw_from_recent="maybe"), "setting draw_from_recent: 'maybe' is not true or false"),
        (dict(close_avg_length=0), "setting close_avg_length: 0 is below 1"),
        (dict(view="end", last_bar_index=True), "last_bar_index must be a whole number"),
        (dict(view="end", last_bar_index=10), "last_bar_index=10 but the preloaded feed has 1500 bars"),
        (dict(view="end", last_bar_index=10**9),
         "last_bar_index=1000000000 but the preloaded feed has 1500"),
        (dict(state={"bar": 3}), "state= takes what TorvexLevels.state"),
    ],
)
def test_bad_params_fail_at_construction_in_one_line(data_sets, kw, message):
    with pytest.raises(TorvexLevelsError) as e:
        cerebro_run(data_sets["seed11"], kw)
    assert message in str(e.value) and "\n" not in str(e.value)


def test_an_indicator_is_not_a_feed(data_sets):
    class OnIndicator(bt.Strategy):
        def __init__(self):
            TorvexLevels(bt.indicators.SMA(self.data, period=5))

    c = bt.Cerebro(stdstats=False)
    c.adddata(bt.feeds.PandasData(dataname=frame(data_sets["seed11"])))
    c.addstrategy(OnIndicator)
    with pytest.raises(TorvexLevelsError, match="needs a data feed"):
        c.run()


@pytest.mark.parametrize("runonce", [True, False])
def test_a_feed_that_ends_before_last_bar_index_warns_once(data_sets, runonce):
    bars = data_sets["seed11"]
    with pytest.warns(TorvexLevelsWarning) as caught:
        levels = cerebro_run(bars, dict(view="end", last_bar_index=len(bars) + 99), preload=False,
                             runonce=runonce)
    # backtrader's own deprecation warnings on newer Pythons are not ours to count
    assert [str(w.message) for w in caught if w.category is TorvexLevelsWarning] == [
        "TorvexLevels: the feed ended at bar 1499, before last_bar_index=1599: the engine took "
        "the data to end later, so it gave fewer signals near the end; pass the index of the "
        "feed's last bar"]
    assert len(levels.result.signals) < len(run(bars).signals)


def test_a_bar_past_last_bar_index_is_refused(data_sets):
    with pytest.raises(TorvexLevelsError, match=r"bar 1000 is past last_bar_index=999"):
        cerebro_run(data_sets["seed11"], dict(view="end", last_bar_index=999), preload=False)


def hourly_bars(count, seed):
    daily = synthetic_bars(count, seed=seed)
    start = dt.datetime(2021, 3, 1, 9)
    moments = [start + dt.timedelta(hours=i) for i in range(count)]
    return Bars.from_arrays(moments, daily.open, daily.high, daily.low, daily.close)


def test_intraday_bars_get_unix_seconds_like_the_kit():
    bars = hourly_bars(700, seed=5)
    feed = bt.feeds.PandasData(
        dataname=frame(bars), timeframe=bt.TimeFrame.Minutes, compression=60
    )
    levels = cerebro_run(bars, dict(bar_count_to_snib=200, view="end"), feed=feed)
    assert_same_run(levels, run(bars, Settings(bar_count_to_snib=200)))
    times = levels.result.bars.time
    assert times[0] == (dt.datetime(2021, 3, 1, 9) - dt.datetime(1970, 1, 1)).total_seconds()
    assert (np.diff(times) == 3600).all()


def test_intraday_bars_on_a_daily_feed_are_refused():
    bars = hourly_bars(50, seed=5)
    with pytest.raises(TorvexLevelsError, match=r"bar 1: 2021-03-01 repeats the date .*timeframe"):
        cerebro_run(bars)


def test_stopped_and_resumed_run_ends_like_an_uninterrupted_one(data_sets):
    class LocalFeed(bt.feeds.PandasData):  # a feed class pickle could not find
        pass

    bars = data_sets["sample"]
    reference = run(bars)
    saved = []
    c = bt.Cerebro(stdstats=False, runonce=False)
    c.adddata(LocalFeed(dataname=frame(bars)))
    c.addstrategy(Holder, kw=dict(view="end"), stop_at=2380, saved=saved)
    stopped = c.run()[0].levels
    assert len(stopped.result.bars) == 2381
    state = pickle.loads(saved[0])
    assert state["kerds"] and state["vip_snibs"] and state["signals"]
    assert len(saved[0]) < 10_000  # the backtrader object graph would be hundreds of KB
    for runonce in (True, False):
        resumed = cerebro_run(bars, dict(view="end", state=state),
                              feed=LocalFeed(dataname=frame(bars)),
                              runonce=runonce)
        assert_same_run(resumed, reference)
        assert_lines_show(resumed, reference)


def test_resuming_needs_the_same_settings_and_feed(data_sets):
    bars = data_sets["sample"]
    saved = []
    c = bt.Cerebro(stdstats=False, runonce=False)
    c.adddata(bt.feeds.PandasData(dataname=frame(bars)))
    c.addstrategy(Holder, kw=dict(view="end"), stop_at=2300, saved=saved)
    c.run()
    state = pickle.loads(saved[0])
    with pytest.raises(TorvexLevelsError, match=r"saved with search_range=10, this indicator has"):
        cerebro_run(bars, dict(view="end", state=state, search_range=9))
    shifted = frame(bars)
    for column in ("open", "high", "low", "close"):  # the whole bar, so it stays a valid one
        shifted.iloc[2300, shifted.columns.get_loc(column)] += 0.5
    with pytest.raises(TorvexLevelsError, match=r"does not match the state at bar 2300"):
        cerebro_run(bars, dict(view="end", state=state),
                    feed=bt.feeds.PandasData(dataname=shifted))


def test_a_project_with_its_own_settings_and_indicators_modules(tmp_path):
    (tmp_path / "settings.py").write_text("DEBUG = 'the project'\n")
    (tmp_path / "indicators").mkdir()
    (tmp_path / "indicators" / "__init__.py").write_text("OWNER = 'the project'\n")
    script = textwrap.dedent(
        """
        import backtrader as bt, pandas as pd, sys
        import settings
        from torvex.bt import TorvexLevels
        from torvex.kit import run, synthetic_bars

        bars = synthetic_bars(800, seed=3)
        frame = pd.DataFrame({"open": bars.open, "high": bars.high, "low": bars.low,
                              "close": bars.close}, index=pd.to_datetime(list(bars.dates)))

        class Strategy(bt.Strategy):
            def __init__(self):
                self.levels = TorvexLevels(self.data, view="end")

        c = bt.Cerebro(stdstats=False)
        c.adddata(bt.feeds.PandasData(dataname=frame))
        c.addstrategy(Strategy)
        levels = c.run()[0].levels
        import indicators
        assert sys.modules["settings"] is settings and settings.DEBUG == "the project"
        assert indicators.OWNER == "the project" and "indicators.common" not in sys.modules
        reference = run(bars)
        assert levels.result.lines == reference.lines and reference.lines
        assert levels.result.signals == reference.signals
        print("ok", len(reference.lines))
        """
    )
    # the project's directory first on the path, no stand-ins on it
    env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "src"))
    done = subprocess.run(
        [sys.executable, "-c", script], cwd=tmp_path, env=env, capture_output=True, text=True
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("ok ")


@pytest.mark.parametrize("view", ["live", "end"])
@pytest.mark.parametrize(
    "column, bar, value, message",
    [
        ("close", 40, math.nan, r"bar 40 \(.*\), column Close: NaN price$"),
        ("low", 41, 1e9, r"bar 41 \(.*\), column High: high .* is below low 1e\+09$"),
        ("open", 42, -1.0, r"bar 42 \(.*\), column Open: price -1 is not above 0$"),
        ("close", 43, 1e6, r"bar 43 \(.*\), column Close: close 1e\+06 is above high [\d.]+$"),
    ],
)
def test_unusable_bars_stop_the_run_in_one_line(data_sets, view, column, bar, value, message):
    bars = data_sets["seed11"]
    broken = frame(bars)
    broken.iloc[bar, broken.columns.get_loc(column)] = value
    with pytest.raises(TorvexLevelsError, match=message) as e:
        cerebro_run(bars, dict(view=view), feed=bt.feeds.PandasData(dataname=broken))
    assert "\n" not in str(e.value)


def test_bar_times_follow_the_kit_and_the_feed_zone():
    from torvex.bt.times import BarTimes

    day = bt.date2num(dt.datetime(2024, 3, 8, 23, 59, 59, 999989))  # a daily bar's session end
    assert BarTimes(daily=True)(0, day) == (20240308, "2024-03-08")
    # with a zone, the date is the one the feed shows in it
    tokyo = BarTimes(daily=True, local_date=lambda n: bt.num2date(n) + dt.timedelta(hours=9))
    assert tokyo(0, day) == (20240309, "2024-03-09")
    minute = bt.date2num(dt.datetime(2024, 3, 8, 14, 30))
    assert BarTimes(daily=False)(0, minute) == (1709908200, "2024-03-08 14:30:00")
    times = BarTimes(daily=False)
    times(0, minute)
    with pytest.raises(ValueError, match=r"bar 1: 2024-03-08 14:30:00 is not after 2024-03-08 14:30:00"):
        times(1, minute)
