"""Bar times of backtrader feeds in the units the kit gives the engine.

backtrader keeps times as floating-point day numbers (the day's ordinal plus the fraction of
the day, in UTC). Handed to the engine as they are, they would be neither the kit's times nor
integers, and bars of one day would look alike to anything that compares them by day. They are
converted as the kit converts bar files: ``YYYYMMDD`` for daily and longer timeframes, Unix
seconds (UTC) for shorter ones.
"""

from __future__ import annotations

import datetime as dt
from typing import Any, Callable

from torvex.kit.bar_dates import iso_text

__all__ = ["BarTimes", "BarTimeError"]

_EPOCH = dt.datetime(1970, 1, 1)
_EPOCH_ORDINAL = _EPOCH.toordinal()
_INT32_MAX = 2**31 - 1


class BarTimeError(ValueError):
    """A bar time the engine cannot take; the message is one line."""


class BarTimes:
    """Converts each bar's day number to (engine time, date text), checking that the times
    increase."""

    def __init__(self, daily: bool, local_date: Callable[[float], dt.datetime] | None = None):
        # `local_date`: the feed's own conversion when it has a time zone, so that a daily bar
        # keeps the date it has in that zone
        self._daily = daily
        self._local = local_date
        self._previous: int | None = None
        self._previous_text = ""

    def __call__(self, bar: int, number: Any) -> tuple[int, str]:
        """(engine time, date text) of the next bar, which must come after the last one."""
        time, text = self.convert(bar, number)
        previous = self._previous
        if previous is not None and time <= previous:
            if self._daily and time == previous:
                raise BarTimeError(
                    f"bar {bar}: {text} repeats the date of the bar before; set the feed's "
                    "timeframe (e.g. timeframe=bt.TimeFrame.Minutes) for intraday bars"
                )
            raise BarTimeError(f"bar {bar}: {text} is not after {self._previous_text}")
        self._previous, self._previous_text = time, text
        return time, text

    def convert(self, bar: int, number: Any) -> tuple[int, str]:
        """(engine time, date text) of a bar's day number, checking nothing against the bar
        before: a replayed bar is converted on every update."""
        if self._daily:
            day = self._local(number).date() if self._local else dt.date.fromordinal(int(number))
            time = day.year * 10000 + day.month * 100 + day.day
            text = day.isoformat()
        else:
            # day numbers carry about 10 microseconds of precision at today's dates
            time = round((number - _EPOCH_ORDINAL) * 86400.0)
            text = iso_text(_EPOCH + dt.timedelta(seconds=time))
            if not 0 <= time <= _INT32_MAX:
                raise BarTimeError(f"bar {bar}: {text} is outside 1970..2038 (32-bit times)")
        return time, text
