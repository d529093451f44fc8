"""The live view of `TorvexLevels`: a `torvex.kit.Stream` fed the feed's bars as they come.

Any feed works the same: preloaded or not, live, or replayed. A replayed bar is shown while it
forms: every update of it is a peek (its lines show what the bar would give if it closed as it
stands), and the bar is added once, with its final values, when the next bar begins or the
data ends; until then `result` sees it through a copy of the stream that has taken it, and
`state()` holds the closed bars. The view needs no last bar: a state saved on one run resumes
on the same feed after it has grown.
"""

from __future__ import annotations

import datetime as dt
import math
import pickle
from array import array
from dataclasses import astuple
from typing import Any

import numpy as np

from torvex.kit.bars import Bars
from torvex.kit.indicators import host_inputs
from torvex.kit.results import Failure, Pivot, RunResult, Signal
from torvex.kit.settings import Settings
from torvex.kit.stream import Outcome, Stream

__all__ = ["LIVE_STATE_VERSION", "LiveLevels"]

LIVE_STATE_VERSION = 1
_NAN = math.nan


def _moment(time: int, daily: bool) -> Any:
    """The stream's time of a bar from the kit's engine time: a date, or Unix seconds."""
    if daily:
        return dt.date(time // 10000, time // 100 % 100, time % 100)
    return time


def _marks(outcome: Outcome) -> tuple[float, float, float, float, float]:
    """The indicator's five line values of an outcome."""
    record, support, resistance = outcome.record, outcome.support, outcome.resistance
    return (
        0.0 if record is None else 1.0,
        _NAN if record is None else record.level,
        1.0 if record is not None and record.vvip else 0.0,
        _NAN if support is None else support.price,
        _NAN if resistance is None else resistance.price,
    )


class LiveLevels:
    """The stream, what it gave so far and the bars it took (for `result`)."""

    def __init__(self, settings: Settings, engine: str, source: str, daily: bool) -> None:
        self.settings = settings
        self.daily = daily
        self.stream = Stream(settings, engine, intraday=not daily, source=source)
        self.signals: list[Signal] = []
        self.failures: list[Failure] = []
        self.pivots: list[Pivot] = []
        # the bars taken: dates and (time, open, high, low, close)
        self.dates: list[str] = []
        self.columns = tuple(array("d") for _ in range(5))
        # a replayed bar not yet closed: (bar, time, date, open, high, low, close)
        self.forming: tuple[Any, ...] | None = None

    def add(self, bar: int, time: int, date: str, o: float, h: float, lo: float, c: float
            ) -> tuple[float, ...]:
        """Take a closed bar; its five line values."""
        outcome = self.stream.add(_moment(time, self.daily), o, h, lo, c)
        self._keep(outcome, time, date, o, h, lo, c)
        return _marks(outcome)

    def form(self, bar: int, time: int, date: str, o: float, h: float, lo: float, c: float
             ) -> tuple[float, ...]:
        """An update of a replayed bar that may still change: a peek."""
        self.forming = (bar, time, date, o, h, lo, c)
        return _marks(self.stream.peek(_moment(time, self.daily), o, h, lo, c))

    def close_forming(self, final: tuple[Any, ...] | None = None) -> None:
        """Add the replayed bar that was forming, with `final` (time, date, open, high, low,
        close) when given, else as last seen."""
        if self.forming is None:
            return
        bar, *values = self.forming
        self.forming = None
        if final is not None or values:  # no values: a bar of a resumed run's past
            self.add(bar, *(final if final is not None else values))

    def skip(self, time: int, date: str, o: float, h: float, lo: float, c: float) -> None:
        """Record a bar a resumed run took before it stopped (the stream has it already)."""
        self.dates.append(date)
        for column, value in zip(self.columns, (time, o, h, lo, c)):
            column.append(value)

    def _keep(self, outcome: Outcome, time: int, date: str, *prices: float) -> None:
        if outcome.record is not None:
            self.signals.append(outcome.record)
        self.failures.extend(outcome.failures)
        self.pivots.extend(outcome.pivots)
        self.skip(time, date, *prices)

    def _closed(self) -> LiveLevels:
        """This, or when a replayed bar is forming, a copy that has taken it."""
        if self.forming is None:
            return self
        done = LiveLevels.__new__(LiveLevels)
        done.__dict__.update(self.__dict__)
        done.stream = self.stream.copy()
        done.signals, done.failures, done.pivots = (
            list(self.signals), list(self.failures), list(self.pivots))
        done.dates, done.columns = list(self.dates), tuple(array("d", c) for c in self.columns)
        done.close_forming()
        return done

    def result(self, source: str, seconds: float) -> RunResult:
        """The kit's result for the bars taken so far, a forming bar as it stands."""
        done = self._closed()
        time, o, h, lo, c = (np.array(column, dtype=np.float64) for column in done.columns)
        bars = Bars(dates=tuple(done.dates), open=o, high=h, low=lo, close=c,
                    time=time.astype(np.int64), source=source)
        stream = done.stream
        return RunResult(
            bars=bars,
            settings=self.settings,
            inputs=host_inputs(h, lo, c, self.settings),
            lines=stream.levels(),
            signals=list(done.signals),
            failures=list(done.failures),
            pivots=sorted(done.pivots, key=lambda p: (p.bar, not p.is_high)),
            seconds=seconds,
            engine=stream.engine,
            view="live",
        )

    def state(self) -> dict[str, Any]:
        """The stream after the last closed bar and what it gave: picklable, and what a run on
        the same feed, grown or not, resumes from."""
        bar = len(self.dates) - 1
        return {
            "version": LIVE_STATE_VERSION,
            "view": "live",
            "bar": bar,
            "time": self.columns[0][bar],
            "close": self.columns[4][bar],
            "settings": self.settings.as_dict(),
            "stream": pickle.dumps(self.stream, protocol=pickle.HIGHEST_PROTOCOL),
            "signals": [astuple(signal) for signal in self.signals],
            "failures": [astuple(failure) for failure in self.failures],
            "pivots": [astuple(pivot) for pivot in self.pivots],
        }

    def resume(self, state: dict[str, Any]) -> int:
        """Take over a state of `state()`: its stream and what it gave; the saved bar."""
        self.stream = pickle.loads(state["stream"])
        self.signals = [Signal(*fields) for fields in state["signals"]]
        self.failures = [Failure(*fields) for fields in state["failures"]]
        self.pivots = [Pivot(*fields) for fields in state["pivots"]]
        return int(state["bar"])
