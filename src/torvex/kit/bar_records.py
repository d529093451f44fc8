"""The bars' records below every reader: the error every bar source raises, how to read a
source (`BarOptions`), and the dates of checked bars.

Every problem with the input is reported as a `BarsError` whose message is one line naming the
source, the row (a file's line number, header = row 1; the position in a DataFrame or array)
and the column, so that a command line can print it as it is.
"""

from __future__ import annotations

import datetime as dt
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, overload

import numpy as np

from .bar_dates import iso_text
from .bar_zones import Zone, local_moments, offset_text, zone_name

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["BarOptions", "BarsError", "Dates"]


class BarsError(ValueError):
    """Bad bar input; the message is one line naming the source, row and column."""


@dataclass(frozen=True)
class BarOptions:
    """How to read a source's cells: `date_format`, the ``strptime`` format of dates that are
    not ISO 8601 (``%m/%d/%Y``); `delimiter`, a CSV file's (None: told from the header);
    `clip`, move open and close into low..high instead of refusing a bar whose open or close
    lies outside its range."""

    date_format: str | None = None
    delimiter: str | None = None
    clip: bool = False


_EPOCH = dt.datetime(1970, 1, 1)
_DAY_US = 86_400_000_000


class Dates(Sequence[str]):
    """The bars' dates as ISO text, made on demand from one array of moments: the date alone
    for a bar at midnight, else date and time (``2024-03-01 09:30:00``). Dates of a source in
    a time zone are shown in it: the date alone when every bar is a local midnight, else local
    date and time with the offset (``2024-03-01 11:10:00-05:00``)."""

    __slots__ = ("moments", "zone", "_local", "_micros", "_texts", "_daily")

    def __init__(
        self,
        moments: NDArray[np.datetime64],
        zone: Zone | None = None,
        local: NDArray[np.datetime64] | None = None,
    ) -> None:
        self.moments = moments  # datetime64[us], naive UTC
        self.zone = zone
        self._local = local  # wall-clock moments in the zone, made when first needed
        self._micros = moments.view(np.int64)
        self._texts: dict[int, str] = {}  # texts made ahead by prepare()
        self._daily: bool | None = None

    @property
    def local(self) -> NDArray[np.datetime64]:
        """The moments as the source's clock showed them (UTC when it had no zone)."""
        if self.zone is None:
            return self.moments
        if self._local is None:
            self._local = local_moments(self.moments, self.zone)
        return self._local

    @property
    def daily(self) -> bool:
        """Whether every bar is a (local) midnight."""
        if self._daily is None:
            self._daily = not (self.local.view(np.int64) % _DAY_US).any()
        return self._daily

    def __len__(self) -> int:
        return len(self.moments)

    @overload
    def __getitem__(self, index: int) -> str: ...
    @overload
    def __getitem__(self, index: slice) -> tuple[str, ...]: ...
    def __getitem__(self, index: int | slice) -> str | tuple[str, ...]:
        if isinstance(index, slice):
            return tuple(self[i] for i in range(*index.indices(len(self))))
        text = self._texts.get(index)
        if text is None:
            if self.zone is None:
                return iso_text(_EPOCH + dt.timedelta(microseconds=int(self._micros[index])))
            local = int(self.local.view(np.int64)[index])
            moment = _EPOCH + dt.timedelta(microseconds=local)
            if self.daily:
                return moment.date().isoformat()
            text = moment.isoformat(sep=" ") + offset_text(local - int(self._micros[index]))
        return text

    def prepare(self, positions: Sequence[int]) -> None:
        """Format the texts of many positions at once (daily ones together) and keep them for
        the lookups that follow; positions outside the dates are left out."""
        wanted = np.unique(np.asarray(positions, dtype=np.int64))
        wanted = wanted[(wanted >= 0) & (wanted < len(self))]
        local = self.local[wanted]
        if (local.view(np.int64) % _DAY_US).any():
            return
        days = local.astype("datetime64[D]")
        texts = np.datetime_as_string(days, unit="D").tolist()
        self._texts.update(zip(wanted.tolist(), texts))

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Dates):
            zones = [None if d.zone is None else zone_name(d.zone) for d in (self, other)]
            return zones[0] == zones[1] and bool(np.array_equal(self.moments, other.moments))
        if isinstance(other, Sequence) and not isinstance(other, str):
            return len(other) == len(self) and all(a == b for a, b in zip(self, other))
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        shown = ", ".join(repr(d) for d in self[:3]) + (", ..." if len(self) > 3 else "")
        return f"Dates([{shown}], {len(self)} bars)"
