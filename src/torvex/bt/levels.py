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

from torvex.kit.bars import Bars
from torvex.kit.driver import Driver, EngineSeries, RunResult
from torvex.kit.host import load_engine_with_stand_ins
from torvex.kit.levels import nearest_levels
from torvex.kit.settings import Settings, SettingsError, setting_names

from .inputs import TrailingInputs, WholeInputs
from .state import StateError, capture, restore
from .times import BarTimeError, BarTimes

__all__ = ["TorvexLevels", "TorvexLevelsError", "TorvexLevelsWarning"]

_NAMES = tuple(setting_names())
_DEFAULTS = Settings()
_NAN = math.nan
_INF = math.inf
_NO_SIGNAL = (0.0, _NAN, 0.0)


class TorvexLevelsError(ValueError):
    """A problem with how the indicator is used or fed; the message is one line."""


class TorvexLevelsWarning(UserWarning):
    """A run that went through but not as asked (a feed that ended before last_bar_index)."""


class TorvexLevels(bt.Indicator):  # type: ignore[misc]
    """Support and resistance from the torvex engine, driven exactly as `torvex.kit.run`
    drives it, with the inputs computed by the kit's rules.

    Params: every setting of `torvex.kit.Settings` (same names, same defaults); `last_bar_index`
    (needed only when the feed is not preloaded: the index of the feed's last bar, counted from
    0); `state` (what `state()` returned, to resume a stopped run over the same feed).

    Lines: `signal` (1.0 on a bar with a signal, else 0.0), `level` (the signalled level, NaN
    on other bars), `vvip` (1.0 on a vvip signal), `support` and `resistance` (the nearest
    unviolated line at or below, and above, the close; NaN when none).

    After the run (or during it): `result`, the `RunResult` that `torvex.kit.run` gives for the
    bars taken so far, and `engine`.
    """

    lines = ("signal", "level", "vvip", "support", "resistance")
    params = tuple((name, getattr(_DEFAULTS, name)) for name in _NAMES) + (
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
        # the line objects stay for the whole run; looking them up by name each bar is slow
        self._feed_lines = (data.open, data.high, data.low, data.close, data.datetime)
        self._own_lines = tuple(self.lines)
        self._preloaded = data.buflen()
        self._last = self._last_bar_index()
        self._warned = False
        load_engine_with_stand_ins()
        self._series = EngineSeries()
        self._appends = tuple(one.append for one in self._series.all)
        self._driver = Driver(self.settings, self._series, self._last)
        tz = getattr(data, "_tz", None)
        self._times = BarTimes(
            daily=data._timeframe >= bt.TimeFrame.Days,
            local_date=data.num2date if tz is not None else None,
        )
        self._inputs: WholeInputs | TrailingInputs | None = None
        self._dates: list[str] = []
        self._seconds = 0.0
        self._resumed = -1
        self._past: dict[int, tuple[float, float, float]] = {}
        if self.p.state is not None:
            try:
                self._resumed = restore(self._driver, self.p.state)
            except StateError as e:
                raise TorvexLevelsError(f"TorvexLevels: {e}") from None
            self._past = {s.bar: (1.0, s.level, float(s.vvip)) for s in self._driver.signals}

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
        return self._driver.engine

    @property
    def result(self) -> RunResult:
        """The kit's result for the bars taken so far."""
        series = self._series
        count = len(self._dates)
        bars = Bars(
            dates=tuple(self._dates),
            open=np.array(series.open.values(), dtype=np.float64),
            high=np.array(series.high.values(), dtype=np.float64),
            low=np.array(series.low.values(), dtype=np.float64),
            close=np.array(series.close.values(), dtype=np.float64),
            time=np.array(series.time.values(), dtype=np.int64),
            source=str(getattr(self.data, "_name", "") or "backtrader feed"),
        )
        inputs = self._input_source().inputs(count)
        result = RunResult(bars=bars, settings=self.settings, inputs=inputs, seconds=self._seconds)
        return self._driver.finish(result)

    def state(self) -> dict[str, Any]:
        """The engine's state after the last bar taken, without its series: small, picklable,
        and what `TorvexLevels(data, state=...)` resumes from."""
        if not self._dates:
            raise TorvexLevelsError("TorvexLevels.state(): no bar has been taken yet")
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

    def _take(self, bar: int, o: float, h: float, lo: float, c: float, number: float) -> tuple:
        """Feed one bar to the series and the engine; the bar's five line values."""
        if bar > self._last:
            raise TorvexLevelsError(
                f"TorvexLevels: bar {bar} is past last_bar_index={self._last}; pass the index "
                "of the feed's last bar"
            )
        try:
            time, date = self._times(bar, number)
        except BarTimeError as e:
            raise TorvexLevelsError(f"TorvexLevels: {e}") from None
        if not (0.0 < lo <= h < _INF and 0.0 < o < _INF and 0.0 < c < _INF):
            raise TorvexLevelsError(
                f"TorvexLevels: bar {bar} ({date}) has unusable prices: open {o}, high {h}, "
                f"low {lo}, close {c}"
            )
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
            if bar == self._resumed:
                self._check_resumed(bar, date)
            return (*self._past.get(bar, _NO_SIGNAL), _NAN, _NAN)
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

    def _check_resumed(self, bar: int, date: str) -> None:
        state, series = self.p.state, self._series
        if (series.time[0], series.close[0]) != (state["time"], state["close"]):
            raise TorvexLevelsError(
                f"TorvexLevels: the feed does not match the state at bar {bar} ({date}): "
                f"time {series.time[0]:.0f} close {series.close[0]} against time "
                f"{state['time']:.0f} close {state['close']}"
            )

    def next(self) -> None:
        started = _clock.perf_counter()
        o, h, lo, c, t = self._feed_lines
        values = self._take(len(self) - 1, o[0], h[0], lo[0], c[0], t[0])
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
