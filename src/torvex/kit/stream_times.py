"""A stream's bar times: each bar's time as the kit hands it to the engine, its date as text,
and the dates of the past bars that lines and pivots may still name.

A bar's time may be anything a bar file's date column holds: a ``datetime`` or ``date``
(pandas' Timestamp is one), a numpy ``datetime64``, ISO text, or Unix seconds or milliseconds as
a number (milliseconds from 1e11 on). The engine gets ``YYYYMMDD`` for daily bars and Unix
seconds for intraday ones, as `torvex.kit.load_bars` gives it; a stream cannot look ahead at
all its bars to tell which it has, so it takes its first bar's word (a midnight is a day)
unless told.
"""

from __future__ import annotations

import datetime as dt
from array import array
from typing import Any

import numpy as np

from .bar_columns import RowNames, show
from .bar_dates import iso_text, to_datetime
from .bar_rules import INTRADAY_TIME, ORDER, intraday_time_message, order_message

__all__ = ["StreamTimes", "micros_of", "text_of"]

_DAY_US = 86_400_000_000
_EPOCH = dt.datetime(1970, 1, 1)
_EPOCH_ORDINAL = _EPOCH.toordinal()
_MS_FROM = 1e11
_UNIX_LIMIT = 1e15
_NUMBERS = (int, float, np.integer, np.floating)
_date, _datetime = dt.date, dt.datetime


def micros_of(value: Any) -> int | None:
    """A bar time as whole microseconds since 1970 (naive UTC); None when it is not one."""
    kind = type(value)
    # the common kinds first, each by plain arithmetic
    if kind is _date:
        return (value.toordinal() - _EPOCH_ORDINAL) * _DAY_US
    if kind is _datetime and value.tzinfo is None:
        seconds = (value.toordinal() - _EPOCH_ORDINAL) * 86400 + value.hour * 3600 \
            + value.minute * 60 + value.second
        return seconds * 1_000_000 + value.microsecond
    if kind is float or kind is int or (
        isinstance(value, _NUMBERS) and not isinstance(value, bool)
    ):
        number = float(value)
        if not abs(number) < _UNIX_LIMIT:  # NaN too
            return None
        scale = 1_000 if abs(number) >= _MS_FROM else 1_000_000
        whole = int(number)
        return whole * scale + round((number - whole) * scale)
    moment = to_datetime(value)
    if moment is None:
        return None
    return (moment - _EPOCH) // dt.timedelta(microseconds=1)


def text_of(micros: int) -> str:
    """A moment as the kit writes a bar's date."""
    return iso_text(_EPOCH + dt.timedelta(microseconds=micros))


class StreamTimes:
    """Times of the bars taken so far. `moment` and `engine_time` turn a bar's time into what
    the engine gets, raising the one-line BarsError of a bad one and recording nothing; `take`
    records it. Keeps the moments of the bars from `first` on; `forget_before` drops older ones
    that no line or pivot can name any more."""

    def __init__(self, source: str, intraday: bool | None = None) -> None:
        self.rows = RowNames(source, first_row=0, row_word="bar")
        self.intraday = intraday
        self.count = 0  # bars taken
        self.last = 0  # the moment of the last one
        self.first = 0  # the bar of _moments[0]
        self._moments = array("q")

    def __len__(self) -> int:
        return self.count

    def __getitem__(self, bar: int) -> str:
        """The date of a bar taken, as text; "" for one forgotten."""
        at = bar - self.first
        return text_of(self._moments[at]) if 0 <= at < len(self._moments) else ""

    def moment(self, bar: int, value: Any) -> int:
        """Bar `bar`'s time in microseconds; BarsError when it is not a date."""
        micros = micros_of(value)
        if micros is None:
            raise self.rows.fail(bar, "Date", f"{show(value)} is not a date")
        return micros

    def engine_time(self, bar: int, micros: int) -> tuple[int, bool, str]:
        """The engine time of bar `bar` at `micros`, whether the stream's bars are intraday,
        and the bar's date as text; BarsError when it is not after the bar before, or the
        engine cannot take it."""
        if self.count and ORDER.refuses(micros, self.last):
            raise self.rows.fail(bar, ORDER.column, order_message(
                text_of(micros), text_of(self.last), micros == self.last, "the bar before"))
        whole_day = micros % _DAY_US == 0
        intraday = self.intraday
        if intraday is None:
            intraday = not whole_day
        if not intraday:
            if not whole_day:
                raise self.rows.fail(bar, "Date", (
                    f"{text_of(micros)} is not a whole day, and this stream's bars are daily "
                    "(from its first bar): make it with intraday=True for intraday bars"))
            day = _date.fromordinal(_EPOCH_ORDINAL + micros // _DAY_US)
            return day.year * 10000 + day.month * 100 + day.day, False, day.isoformat()
        seconds = micros // 1_000_000
        if INTRADAY_TIME.refuses(seconds):
            raise self.rows.fail(bar, INTRADAY_TIME.column, intraday_time_message(text_of(micros)))
        return seconds, True, text_of(micros)

    def take(self, micros: int, intraday: bool) -> None:
        """Record the next bar's moment; the stream's bars are intraday or daily from now on."""
        self.intraday = intraday
        self._moments.append(micros)
        self.count += 1
        self.last = micros

    def untake(self, intraday: bool | None) -> None:
        """Undo the last `take`, `intraday` being what was known before it."""
        moments = self._moments
        moments.pop()
        self.count -= 1
        self.last = moments[-1] if moments else 0
        self.intraday = intraday

    def forget_before(self, bar: int) -> None:
        """Drop the moments of the bars before `bar` (the last one is always kept)."""
        drop = min(bar - self.first, len(self._moments) - 1)
        if drop > 0:
            del self._moments[:drop]
            self.first += drop

    def copy(self) -> StreamTimes:
        made = StreamTimes.__new__(StreamTimes)
        made.__dict__.update(self.__dict__)
        made._moments = self._moments[:]
        return made
