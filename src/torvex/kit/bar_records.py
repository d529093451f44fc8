"""The bars' records below every reader: the error every bar source raises, and the dates of
checked bars.

Every problem with the input is reported as a `BarsError` whose message is one line naming the
source, the row (a file's line number, header = row 1; the position in a DataFrame or array)
and the column, so that a command line can print it as it is.
"""

from __future__ import annotations

import datetime as dt
from collections.abc import Sequence
from typing import TYPE_CHECKING, overload

import numpy as np

from .bar_dates import format_moment, iso_text

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["BarsError", "Dates"]


class BarsError(ValueError):
    """Bad bar input; the message is one line naming the source, row and column."""


_EPOCH = dt.datetime(1970, 1, 1)


class Dates(Sequence[str]):
    """The bars' dates as ISO text, made on demand from one array of moments: the date alone
    for a bar at midnight, else date and time (``2024-03-01 09:30:00``)."""

    __slots__ = ("moments", "_micros", "_texts")

    def __init__(self, moments: NDArray[np.datetime64]) -> None:
        self.moments = moments  # datetime64[us], naive UTC
        self._micros = moments.view(np.int64)
        self._texts: dict[int, str] = {}  # texts made ahead by prepare()

    def __len__(self) -> int:
        return len(self.moments)

    @overload
    def __getitem__(self, index: int) -> str: ...
    @overload
    def __getitem__(self, index: slice) -> tuple[str, ...]: ...
    def __getitem__(self, index: int | slice) -> str | tuple[str, ...]:
        if isinstance(index, slice):
            return tuple(format_moment(m) for m in self.moments[index])
        text = self._texts.get(index)
        if text is None:
            text = iso_text(_EPOCH + dt.timedelta(microseconds=int(self._micros[index])))
        return text

    def prepare(self, positions: Sequence[int]) -> None:
        """Format the texts of many positions at once (daily ones together) and keep them for
        the lookups that follow; positions outside the dates are left out."""
        wanted = np.unique(np.asarray(positions, dtype=np.int64))
        wanted = wanted[(wanted >= 0) & (wanted < len(self))]
        micros = self._micros[wanted]
        if (micros % 86_400_000_000).any():
            return
        days = self.moments[wanted].astype("datetime64[D]")
        texts = np.datetime_as_string(days, unit="D").tolist()
        self._texts.update(zip(wanted.tolist(), texts))

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Dates):
            return bool(np.array_equal(self.moments, other.moments))
        if isinstance(other, Sequence) and not isinstance(other, str):
            return len(other) == len(self) and all(a == b for a, b in zip(self, other))
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        shown = ", ".join(repr(d) for d in self[:3]) + (", ..." if len(self) > 3 else "")
        return f"Dates([{shown}], {len(self)} bars)"
