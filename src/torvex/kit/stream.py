"""`Stream`: one instrument's bars in one at a time, in the live view.

    stream = Stream(Settings(bar_count_to_snib=300))
    for time, o, h, l, c in source:           # a broker's or a websocket's closed bars
        outcome = stream.add(time, o, h, l, c)
        if outcome.signal:
            print(outcome.date, "signal at", outcome.level)

Every bar's outcome is the one `torvex.kit.run(bars, view="live")` gives on that bar, on the
same core and the same per-bar step. `peek` gives the outcome of a bar still forming and commits
nothing; a stream pickles, and `Stream.from_bars` warms one up on a history.
"""

from __future__ import annotations

from typing import Any, Mapping, NamedTuple

import numpy as np

from .bar_columns import show
from .bar_rules import PRICES, bar_problem, prices_pass
from .bars import Bars, Dates, load_bars
from .driver import check_engine, picks_native
from .levels import Level
from .results import Failure, Line, Pivot, Signal
from .settings import Settings, as_settings
from .stream_models import NativeModel, PythonModel, RawOutcome
from .stream_times import StreamTimes

__all__ = ["Outcome", "Stream"]

_NUMBERS = (int, float, np.integer, np.floating)
# how often, in bars, a stream lets go of the dates no line or pivot can name any more
_FORGET_EVERY = 4096


class Outcome(NamedTuple):
    """What one bar gave: `signal` (bool), `level` (the signalled level or None), `vvip`;
    `record`, the `Signal` as `RunResult.signals` holds it; `failures`, the failed recoveries
    closed on the bar as `RunResult.failures` items; `support` and `resistance`, the nearest
    unviolated lines at or below and above the bar's close (`Level(price, pivots)` or None);
    `pivots`, those taken on the bar (reported `m` bars after their own)."""

    bar: int
    date: str
    record: Signal | None
    failures: tuple[Failure, ...]
    support: Level | None
    resistance: Level | None
    pivots: tuple[Pivot, ...]

    @property
    def signal(self) -> bool:
        return self.record is not None

    @property
    def level(self) -> float | None:
        return None if self.record is None else self.record.level

    @property
    def vvip(self) -> bool:
        return self.record is not None and self.record.vvip


class Stream:
    """One instrument in the live view, a bar at a time.

    `settings` as for `torvex.kit.run` (a `Settings`, a mapping of names to values, or None for
    the defaults). `engine`: "native" (the C++ model,
    which keeps only the bars and pivots its rules can still reach), "python" (the host's
    objects: `torvex.dto.torvex.Torvex` stepped over series the bars are appended to), or
    "auto", the native model unless a host module of a project's own or a settings subclass is
    in use. `intraday`: whether bar times are intraday (the engine then gets Unix seconds) or
    daily (``YYYYMMDD``); by default the first bar tells (a midnight is a day). `source` names
    the stream in messages.

    A bar is refused by the rules `torvex.kit.load_bars` applies to a file, and when its time
    is not after the previous bar's: a one-line `BarsError`, and the stream is left as it was.
    """

    def __init__(
        self,
        settings: Settings | Mapping[str, Any] | None = None,
        engine: str = "auto",
        *,
        intraday: bool | None = None,
        source: str = "stream",
    ) -> None:
        settings = as_settings(settings)
        settings.check()
        check_engine(engine)
        self.settings = settings
        model = NativeModel if picks_native(engine, settings) else PythonModel
        self._model: NativeModel | PythonModel = model(settings)
        self._times = StreamTimes(source, intraday)

    @classmethod
    def from_bars(
        cls, bars: Bars | Any, settings: Settings | Mapping[str, Any] | None = None,
        engine: str = "auto",
    ) -> Stream:
        """A stream that has taken `bars` (anything `load_bars` takes), checked as a file is,
        and goes on exactly as one fed them one by one."""
        bars = load_bars(bars)
        dates = bars.dates
        if isinstance(dates, Dates):
            moments = dates.moments
        else:
            moments = np.array([np.datetime64(d) for d in dates], dtype="datetime64[us]")
        micros = moments.astype("datetime64[us]").view(np.int64).tolist()
        intraday = any(m % 86_400_000_000 for m in micros)
        stream = cls(settings, engine, intraday=intraday, source=bars.source)
        columns = (bars.time.tolist(), *(a.tolist() for a in (bars.open, bars.high, bars.low,
                                                              bars.close)))
        add = stream._model.add
        for bar, (moment, time, o, h, lo, c) in enumerate(zip(micros, *columns)):
            stream._take(bar, moment, time, intraday, dates[bar], o, h, lo, c, add)
        return stream

    @property
    def engine(self) -> str:
        """The object model that runs: "native" or "python"."""
        return self._model.name

    @property
    def bars(self) -> int:
        """How many bars the stream has taken."""
        return len(self._times)

    def add(self, time: Any, open: Any, high: Any, low: Any, close: Any) -> Outcome:
        """Take a closed bar; its outcome. `time` is a ``datetime``/``date``, a ``datetime64``,
        ISO text or Unix seconds or milliseconds."""
        return self._checked(time, open, high, low, close, self._model.add, keep=True)

    def peek(self, time: Any, open: Any, high: Any, low: Any, close: Any) -> Outcome:
        """The outcome the bar would have if it closed as it stands; nothing is kept, so any
        number of peeks change nothing that a later `add` gives."""
        return self._checked(time, open, high, low, close, self._model.peek, keep=False)

    def levels(self) -> list[Line]:
        """The lines as they stand after the last bar, as `RunResult.lines` items."""
        return self._model.levels(self._times)

    def pivots(self) -> list[Pivot]:
        """The pivots the engine still holds, in bar order (the native model lets go of those
        its rules can no longer reach)."""
        return self._model.pivots(self._times)

    def copy(self) -> Stream:
        """An independent stream that goes on exactly as this one would."""
        made = Stream.__new__(Stream)
        made.settings = self.settings
        made._model = self._model.copy()
        made._times = self._times.copy()
        return made

    def __repr__(self) -> str:
        return f"<Stream {self._times.rows.source}: {self.bars} bars on the {self.engine} model>"

    def _checked(
        self, time: Any, o: Any, h: Any, lo: Any, c: Any, step: Any, keep: bool
    ) -> Outcome:
        times = self._times
        bar = times.count
        micros = times.moment(bar, time)
        if not (type(o) is type(h) is type(lo) is type(c) is float):
            o, h, lo, c = (self._number(bar, column, value)
                           for column, value in zip(PRICES, (o, h, lo, c)))
        if not prices_pass(o, h, lo, c):
            column, message = bar_problem(o, h, lo, c, offers_clip=False)  # type: ignore[misc]
            raise times.rows.fail(bar, column, message)
        engine_time, intraday, date = times.engine_time(bar, micros)
        return self._take(bar, micros, engine_time, intraday, date, o, h, lo, c, step, keep)

    def _number(self, bar: int, column: str, value: Any) -> float:
        if isinstance(value, bool) or not isinstance(value, _NUMBERS):
            raise self._times.rows.fail(bar, column, f"{show(value)} is not a number")
        return float(value)

    def _take(
        self, bar: int, micros: int, time: int, intraday: bool, date: str, o: float, h: float,
        lo: float, c: float, step: Any, keep: bool = True,
    ) -> Outcome:
        """Step the checked bar on the model: its date is known to the lines and pivots named
        during the step, and kept only when the bar is."""
        times = self._times
        before = times.intraday
        times.take(micros, intraday)
        try:
            raw: RawOutcome = step(bar, time, o, h, lo, c, date, times)
        except BaseException:
            times.untake(before)
            raise
        if not keep:
            times.untake(before)
        elif bar % _FORGET_EVERY == _FORGET_EVERY - 1:
            times.forget_before(self._model.oldest_named())
        return Outcome(bar, date, *raw)
