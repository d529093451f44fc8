"""OHLC bars: loading them from files, DataFrames and arrays, checking them, making synthetic
ones.

Every problem with the input is reported as a `BarsError` whose message is one line naming the
source, the row (a file's line number, header = row 1; the position in a DataFrame or array)
and the column, so that a command line can print it as it is.

Bar times handed to the engine are integers: ``YYYYMMDD`` when every bar is a whole day (so
debug windows can be written as dates), otherwise Unix seconds (UTC for naive times), which the
engine's 32-bit record fields take up to 2038-01-19.
"""

from __future__ import annotations

import datetime as dt
import math
import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, overload

import numpy as np

from .bar_columns import COLUMNS, RowNames, check_columns
from .bar_dates import format_moment, iso_text

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["Bars", "BarsError", "COLUMNS", "Dates", "load_bars", "synthetic_bars"]


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


@dataclass(frozen=True, eq=False)
class Bars:
    """Checked bars in date order: dates, prices as float arrays, engine times."""

    dates: Sequence[str]  # `Dates` from every loader; any sequence of ISO text will do
    open: NDArray[np.float64]
    high: NDArray[np.float64]
    low: NDArray[np.float64]
    close: NDArray[np.float64]
    time: NDArray[np.int64]
    source: str = "<bars>"

    def __len__(self) -> int:
        return len(self.dates)

    @classmethod
    def from_arrays(
        cls,
        dates: Sequence[Any],
        open: Any,
        high: Any,
        low: Any,
        close: Any,
        source: str = "<bars>",
    ) -> "Bars":
        """Bars from parallel sequences; dates may be ISO text, `datetime`/`date` objects,
        numpy datetime64 values or Unix seconds or milliseconds. Checked like a file, rows
        counted from 0."""
        rows = RowNames(source, first_row=0, row_word="index")
        return check_columns(rows, dates, open, high, low, close)


def load_bars(source: Any) -> Bars:
    """Bars from a CSV, .npz or Parquet file, a pandas DataFrame or a numpy structured array
    (columns Date, Open, High, Low and Close in any letter case; the date may also be named
    Datetime, Timestamp or Time, or be a DataFrame's DatetimeIndex). `Bars` pass through."""
    from .bar_tables import read_frame, read_records

    if isinstance(source, Bars):
        return source
    if isinstance(source, np.ndarray):
        return read_records(source)
    if isinstance(source, (str, os.PathLike)):
        name = os.fspath(source).lower()
        if name.endswith(".npz"):
            from .bar_files import read_npz

            return read_npz(source)
        if name.endswith((".parquet", ".pq")):
            from .bar_files import read_parquet

            return read_parquet(source)
        from .bar_files import read_csv

        return read_csv(source)
    return read_frame(source)


def synthetic_bars(
    count: int,
    seed: int = 7,
    start: str = "2015-01-02",
    price: float = 100.0,
    volatility: float = 0.012,
) -> Bars:
    """A seeded synthetic daily series: business days from `start`, a geometric random walk
    whose drift switches between up, down and sideways regimes and whose volatility clusters
    around `volatility` (daily), rounded to cents. Not market data."""
    rng = np.random.default_rng(seed)
    day = dt.date.fromisoformat(start)
    dates: list[str] = []
    while len(dates) < count:
        if day.weekday() < 5:
            dates.append(day.isoformat())
        day += dt.timedelta(days=1)
    drift = np.empty(count)
    regime = 0.0
    for i in range(count):
        if i % 60 == 0 or rng.random() < 0.01:
            regime = rng.choice([-0.0015, 0.0, 0.0, 0.0015])
        drift[i] = regime
    sigmas = np.empty(count)
    sigma = volatility
    for i in range(count):
        sigma = 0.94 * sigma + 0.06 * volatility * math.exp(rng.normal(0.0, 0.5))
        sigmas[i] = sigma
    returns = drift + sigmas * rng.standard_normal(count)
    close = price * np.exp(np.cumsum(returns))
    previous = np.concatenate([[price], close[:-1]])
    gap = previous * np.exp(sigmas * 0.3 * rng.standard_normal(count))
    top = np.maximum(gap, close) * (1 + sigmas * np.abs(rng.standard_normal(count)) * 0.6)
    bottom = np.minimum(gap, close) * (1 - sigmas * np.abs(rng.standard_normal(count)) * 0.6)
    o, c = np.round(gap, 2), np.round(close, 2)
    h = np.maximum(np.round(top, 2), np.maximum(o, c))
    lo = np.minimum(np.round(bottom, 2), np.minimum(o, c))
    return Bars.from_arrays(dates, o, h, lo, c, source=f"synthetic(seed={seed})")
