"""`TorvexLevels`: one engine inside a backtrader run, as a ready indicator."""

from __future__ import annotations

import array
import math
import time as _clock
import warnings
from typing import Any

import numpy as np

try:
    import backtrader as bt
except ImportError as e:  # an optional dependency: say which extra brings it
    raise ImportError(f"torvex.bt needs backtrader: pip install 'torvex[bt]' ({e})") from e

from torvex.kit.bar_rules import bar_problem, prices_pass
from torvex.kit.bars import Bars, BarsError
from torvex.kit.driver import ENGINES, Driver, EngineSeries
from torvex.kit.host import load_engine_with_stand_ins
from torvex.kit.levels import nearest_levels
from torvex.kit.results import VIEWS, RunResult
from torvex.kit.settings import Settings, SettingsError, setting_names

from .inputs import TrailingInputs, WholeInputs
from .live import LIVE_STATE_VERSION, LiveLevels
from .state import StateError, capture, restore
from .times import BarTimeError, BarTimes

__all__ = ["TorvexLevels", "TorvexLevelsError", "TorvexLevelsWarning"]

_NAMES = tuple(setting_names())
_DEFAULTS = Settings()
_NAN = math.nan
_NO_SIGNAL = (0.0, _NAN, 0.0)


class TorvexLevelsError(ValueError):
    """A problem with how the indicator is used or fed; the message is one line."""


class TorvexLevelsWarning(UserWarning):
    """A run that went through but not as asked (a feed that ended before last_bar_index)."""


class TorvexLevels(bt.Indicator):  # type: ignore[misc]
    """Support and resistance from the torvex engine, driven exactly as `torvex.kit.run`
    drives it, with the inputs computed by the kit's rules.

    Params: every setting of `torvex.kit.Settings` (same names, same defaults); `view`, "live"
    (the default) or "end"; `engine`, the object model of the live view ("auto", "native" or
    "python", as for `torvex.kit.Stream`); `last_bar_index` (the end view's only: the index of
    the feed's last bar, counted from 0, needed when the feed is not preloaded); `state` (what
    `state()` returned, to resume a stopped run over the same feed).

    The live view (the default) is `torvex.kit.run(..., view="live")` bar by bar: every bar's
    signal and lines are those a live host had on that bar, so a backtest sees no later bar.
    It takes any feed (preloaded or not, live, replayed) through a `torvex.kit.Stream`; a
    replayed bar is peeked at on every update and added once, when the next bar begins. Its
    `state()` resumes on the same feed after the feed has grown. The end view, the default
    before, is `torvex.kit.run(...)`: the whole data as of its last bar, which it must know
    (a preloaded feed, or `last_bar_index`).

    Lines: `signal` (1.0 on a bar with a signal, else 0.0), `level` (the signalled level, NaN
    on other bars), `vvip` (1.0 on a vvip signal), `support` and `resistance` (the nearest
    unviolated line at or below, and above, the close; NaN when none).

    After the run (or during it): `result`, the `RunResult` that `torvex.kit.run` gives for the
    bars taken so far in the indicator's view, `engine` (the engine object: the Python model's
    `Torvex`, or the native model's stream) and, in the live view, `stream`.
    """

    lines = ("signal", "level", "vvip", "support", "resistance")
    params = tuple((name, getattr(_DEFAULTS, name)) for name in _NAMES) + (
        ("view", "live"),
        ("engine", "auto"),
        ("last_bar_index", None),
        ("state", None),
    )
    plotinfo = dict(subplot=False, plotlinelabels=True)
    plotlines = dict(
        signal=dict(_plotskip=True),
        vvip=dict(_plotskip=True),
        level=dict(marker="D", markersize=7.0, color="darkviolet", fillstyle="full", ls=""),
        support=dict(color="royalblue", lw=1.0, alpha=0.8),
        resistance=dict(color="firebrick", lw=1.0, alpha=0.8),
    )

    def __init__(self) -> None:
        try:
            self.settings = Settings.from_mapping({name: getattr(self.p, name) for name in _NAMES})
        except SettingsError as e:
            raise TorvexLevelsError(f"TorvexLevels: {e}") from None
        data = self.data
        if not isinstance(data, bt.AbstractDataBase):
            raise TorvexLevelsError(
                "TorvexLevels needs a data feed (open, high, low, close and datetime lines), "
                f"not {type(data).__name__}"
            )
        view, engine = self.p.view, self.p.engine
        if view not in VIEWS:
            raise TorvexLevelsError(
                f"TorvexLevels: view must be one of {', '.join(VIEWS)}, not {view!r}")
        if engine not in ENGINES:
            raise TorvexLevelsError(
                f"TorvexLevels: engine must be one of {', '.join(ENGINES)}, not {engine!r}")
        # the line objects stay for the whole run; looking them up by name each bar is slow
        self._feed_lines = (data.open, data.high, data.low, data.close, data.datetime)
        self._own_lines = tuple(self.lines)
        self._preloaded = data.buflen()
        self._replaying = bool(getattr(data, "replaying", False))
        daily = data._timeframe >= bt.TimeFrame.Days
        tz = getattr(data, "_tz", None)
        self._times = BarTimes(daily=daily, local_date=data.num2date if tz is not None else None)
        self._dates: list[str] = []
        self._seconds = 0.0
        self._resumed = -1
        self._past: dict[int, tuple[float, float, float]] = {}
        load_engine_with_stand_ins()
        self._live: LiveLevels | None = None
        if view == "live":
            if self.p.last_bar_index is not None:
                raise TorvexLevelsError(
                    "TorvexLevels: last_bar_index belongs to the end view: pass view=\"end\" "
                    "with it, or leave it out (the live view needs no last bar)")
            self._live = LiveLevels(self.settings, engine, self._source(), daily)
        else:
            if engine == "native":
                raise TorvexLevelsError(
                    "TorvexLevels: the end view runs on the python engine; engine=\"native\" "
                    "is for the live view")
            self._last = self._last_bar_index()
            self._warned = False
            self._series = EngineSeries()
            self._appends = tuple(one.append for one in self._series.all)
            self._driver = Driver(self.settings, self._series, self._last)
            self._inputs: WholeInputs | TrailingInputs | None = None
        if self.p.state is not None:
            self._resume(self.p.state)

    def _source(self) -> str:
        return str(getattr(self.data, "_name", "") or "backtrader feed")

    def _resume(self, state: Any) -> None:
        live = self._live
        try:
            if live is None:
                self._resumed = restore(self._driver, state)
                signals = self._driver.signals
            else:
                if not isinstance(state, dict) or state.get("version") != LIVE_STATE_VERSION:
                    raise StateError("state= takes what TorvexLevels.state() returned")
                if state.get("view") != "live":
                    raise StateError(
                        "state= takes what TorvexLevels.state() returned in the live view")
                saved = self.settings.as_dict()
                for name, value in state["settings"].items():
                    if saved.get(name) != value:
                        raise StateError(
                            f"the state was saved with {name}={value!r}, this indicator has "
                            f"{name}={saved.get(name)!r}")
                self._resumed = live.resume(state)
                signals = live.signals
        except StateError as e:
            raise TorvexLevelsError(f"TorvexLevels: {e}") from None
        self._past = {s.bar: (1.0, s.level, float(s.vvip)) for s in signals}

    def _plotlabel(self) -> list[Any]:
        # the legend names only the settings changed from their defaults
        return [
            f"{name}={getattr(self.p, name)}"
            for name in _NAMES
            if getattr(self.p, name) != getattr(_DEFAULTS, name)
        ]

    def _last_bar_index(self) -> int:
        given = self.p.last_bar_index
        if given is None:
            if self._preloaded > 0:
                return int(self._preloaded - 1)
            raise TorvexLevelsError(
                "TorvexLevels: the feed is not preloaded, so its last bar is unknown: pass "
                "last_bar_index=<index of the feed's last bar, counted from 0>"
            )
        if isinstance(given, bool) or not isinstance(given, (int, np.integer)) or given < 0:
            raise TorvexLevelsError(
                f"TorvexLevels: last_bar_index must be a whole number >= 0, not {given!r}"
            )
        if self._preloaded > 0 and given != self._preloaded - 1:
            raise TorvexLevelsError(
                f"TorvexLevels: last_bar_index={given} but the preloaded feed has "
                f"{self._preloaded} bars (its last is {self._preloaded - 1}); leave it out"
            )
        return int(given)

    def _stage1(self) -> None:
        # backtrader tells an indicator nothing when a run ends; the strategy's stop puts every
        # line iterator back in stage 1, the one call an indicator gets then
        super()._stage1()
        if self._live is not None:
            # the data has ended: a replayed bar still forming is closed as it stands
            self._live.close_forming()
            return
        taken = len(self._dates)
        # a preloaded feed's length is known at construction: stopping short of it is the
        # strategy's doing (runstop), not a feed that ended
        if taken and taken <= self._last and not self._preloaded and not self._warned:
            self._warned = True
            warnings.warn(
                f"TorvexLevels: the feed ended at bar {taken - 1}, before last_bar_index="
                f"{self._last}: the engine took the data to end later, so it gave fewer "
                "signals near the end; pass the index of the feed's last bar",
                TorvexLevelsWarning,
                stacklevel=2,
            )

    @property
    def engine(self) -> Any:
        """The engine object: the Python model's `Torvex`, or the native model's stream."""
        if self._live is None:
            return self._driver.engine
        model = self._live.stream._model
        return getattr(model, "live", None) or model.driver.engine

    @property
    def stream(self) -> Any:
        """The live view's `torvex.kit.Stream` (None in the end view): the closed bars."""
        return None if self._live is None else self._live.stream

    @property
    def result(self) -> RunResult:
        """The kit's result for the bars taken so far."""
        if self._live is not None:
            return self._live.result(self._source(), self._seconds)
        series = self._series
        count = len(self._dates)
        bars = Bars(
            dates=tuple(self._dates),
            open=np.array(series.open.values(), dtype=np.float64),
            high=np.array(series.high.values(), dtype=np.float64),
            low=np.array(series.low.values(), dtype=np.float64),
            close=np.array(series.close.values(), dtype=np.float64),
            time=np.array(series.time.values(), dtype=np.int64),
            source=self._source(),
        )
        inputs = self._input_source().inputs(count)
        result = RunResult(bars=bars, settings=self.settings, inputs=inputs, seconds=self._seconds)
        return self._driver.finish(result)

    def state(self) -> dict[str, Any]:
        """The engine's state after the last bar taken (in the live view, the last closed
        bar), without the feed's bars: small, picklable, and what `TorvexLevels(data,
        state=...)` resumes from. A live view's state resumes on the same feed after it has
        grown; an end view's needs the same last bar."""
        live = self._live
        if not (live.dates if live is not None else self._dates):
            raise TorvexLevelsError("TorvexLevels.state(): no bar has been taken yet")
        if live is not None:
            return live.state()
        series = self._series
        return capture(self._driver, len(self._dates) - 1, series.time[0], series.close[0])

    def _input_source(self) -> WholeInputs | TrailingInputs:
        if self._inputs is None:
            data, count = self.data, self._preloaded
            columns = (data.high.array, data.low.array, data.close.array)
            if count > 0 and all(isinstance(c, array.array) and len(c) >= count for c in columns):
                high, low, close = (np.array(c[:count], dtype=np.float64) for c in columns)
                self._inputs = WholeInputs(high, low, close, self.settings)
            else:
                self._inputs = TrailingInputs(self.settings)
        return self._inputs

    def _checked(self, bar: int, date: str, o: float, h: float, lo: float, c: float) -> None:
        # the kit's bar rules, as a file's bars meet them; a feed has no clip option to offer
        if not prices_pass(o, h, lo, c):
            column, why = bar_problem(o, h, lo, c, offers_clip=False)  # type: ignore[misc]
            raise TorvexLevelsError(f"TorvexLevels: bar {bar} ({date}), column {column}: {why}")

    def _take(self, bar: int, o: float, h: float, lo: float, c: float, number: float) -> tuple:
        """Feed one closed bar to the engine; the bar's five line values."""
        live = self._live
        if live is None and bar > self._last:
            raise TorvexLevelsError(
                f"TorvexLevels: bar {bar} is past last_bar_index={self._last}; pass the index "
                "of the feed's last bar"
            )
        try:
            time, date = self._times(bar, number)
        except BarTimeError as e:
            raise TorvexLevelsError(f"TorvexLevels: {e}") from None
        self._checked(bar, date, o, h, lo, c)
        if live is None:
            return self._step_end(bar, time, date, o, h, lo, c)
        if bar <= self._resumed:
            live.skip(time, date, o, h, lo, c)
            return self._past_bar(bar, date, time, c)
        try:
            return live.add(bar, time, date, o, h, lo, c)
        except BarsError as e:
            raise TorvexLevelsError(f"TorvexLevels: {e}") from None

    def _step_end(self, bar: int, time: int, date: str, o: float, h: float, lo: float, c: float
                  ) -> tuple:
        """The end view's step: the bar on the engine's series, `Driver.step` over it."""
        high_pivot, low_pivot, trending_high, trending_low, trending, cap = (
            self._inputs or self._input_source()
        ).at(bar, h, lo, c)
        # in EngineSeries order
        add_c, add_o, add_h, add_l, add_t, add_nh, add_nl, add_th, add_tl, add_tr = self._appends
        add_c(c)
        add_o(o)
        add_h(h)
        add_l(lo)
        add_t(time)
        add_nh(high_pivot)
        add_nl(low_pivot)
        add_th(trending_high)
        add_tl(trending_low)
        add_tr(trending)
        self._dates.append(date)
        if bar <= self._resumed:
            return self._past_bar(bar, date, time, c)
        driver = self._driver
        signal = driver.step(bar, cap, date)
        marks = _NO_SIGNAL if signal is None else (1.0, signal.level, float(signal.vvip))
        kerds = driver.kerds
        if not kerds:  # no lines: nothing to look through
            return (*marks, _NAN, _NAN)
        support, resistance = nearest_levels(((k.kerd_value, k.violated, 0) for k in kerds), c)
        return (
            *marks,
            support.price if support is not None else _NAN,
            resistance.price if resistance is not None else _NAN,
        )

    def _past_bar(self, bar: int, date: str, time: float, close: float) -> tuple:
        """A bar a resumed run took before it stopped: its saved signal, no lines."""
        if bar == self._resumed:
            state = self.p.state
            if (time, close) != (state["time"], state["close"]):
                raise TorvexLevelsError(
                    f"TorvexLevels: the feed does not match the state at bar {bar} ({date}): "
                    f"time {time:.0f} close {close} against time "
                    f"{state['time']:.0f} close {state['close']}"
                )
        return (*self._past.get(bar, _NO_SIGNAL), _NAN, _NAN)

    def _replayed(self, bar: int) -> tuple:
        """A replayed bar's update: the bar before is added once, when this one begins (its
        line values then are its final ones); this one, which may still change, is peeked."""
        live = self._live
        assert live is not None
        o, h, lo, c, t = self._feed_lines
        forming = live.forming
        if forming is not None and forming[0] != bar:
            live.forming = None
            final = self._take(forming[0], o[-1], h[-1], lo[-1], c[-1], t[-1])
            for line, value in zip(self._own_lines, final):
                line[-1] = value
        if bar <= self._resumed:
            live.forming = (bar,)  # taken from the state when it closes
            return (*self._past.get(bar, _NO_SIGNAL), _NAN, _NAN)
        try:
            time, date = self._times.convert(bar, t[0])
        except BarTimeError as e:
            raise TorvexLevelsError(f"TorvexLevels: {e}") from None
        self._checked(bar, date, o[0], h[0], lo[0], c[0])
        try:
            return live.form(bar, time, date, o[0], h[0], lo[0], c[0])
        except BarsError as e:
            raise TorvexLevelsError(f"TorvexLevels: {e}") from None

    def next(self) -> None:
        started = _clock.perf_counter()
        bar = len(self) - 1
        if self._replaying and self._live is not None:
            values = self._replayed(bar)
        else:
            o, h, lo, c, t = self._feed_lines
            values = self._take(bar, o[0], h[0], lo[0], c[0], t[0])
        signal, level, vvip, support, resistance = self._own_lines
        signal[0], level[0], vvip[0], support[0], resistance[0] = values
        self._seconds += _clock.perf_counter() - started

    def once(self, start: int, end: int) -> None:
        started = _clock.perf_counter()
        d = self.data
        o, h, lo, c, t = (d.open.array, d.high.array, d.low.array, d.close.array, d.datetime.array)
        outputs = tuple(line.array for line in self.lines)
        take = self._take
        for bar in range(start, end):
            for out, value in zip(outputs, take(bar, o[bar], h[bar], lo[bar], c[bar], t[bar])):
                out[bar] = value
        self._seconds += _clock.perf_counter() - started
