"""Checked bars (`Bars`) and the checks every bar source goes through, on whole columns.

A reader hands over five columns of cells (dates and the four prices, as numbers, text or
objects) and how to name a row; `check_columns` turns them into `Bars` or raises the one-line
`BarsError` of the first problem in row order: a cell that is not a date or a number, an empty
cell, a NaN, infinite or non-positive price, a high below the low, a date that repeats or goes
back, an intraday time outside what the engine's 32-bit times hold. Within one row the date
comes first, then the prices from left to right, then high against low, then the order.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Sequence

import numpy as np

from .bar_dates import date_problem, moments_from_cells
from .bar_records import BarOptions, BarsError, Dates
from .bar_rules import (
    INTRADAY_TIME,
    MAX_PRICE,
    ORDER,
    PRICE_RULES,
    PRICES,
    ROW_RULES,
    intraday_time_message,
    order_message,
)
from .bar_zones import cells_zone

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from .bar_zones import Zone

__all__ = ["Bars", "COLUMNS", "MAX_PRICE", "PRICES", "RowNames", "check_columns", "show"]

COLUMNS = ("Date", *PRICES)
READ_AS_IS = BarOptions()


class RowNames:
    """How one source names its rows in messages: ``row 3`` for the file's line 3, ``record 0``
    for the first element of an array. `numbers`, when given, maps positions to rows (a file's
    blank lines make them uneven)."""

    def __init__(
        self,
        source: str,
        first_row: int = 0,
        row_word: str = "row",
        numbers: Sequence[int] | None = None,
        order_hint: str = "",
    ) -> None:
        self.source = source
        self.first_row = first_row
        self.row_word = row_word
        self.numbers = numbers
        self.order_hint = order_hint  # said after a date that goes back

    def row_of(self, position: int) -> int:
        if self.numbers is not None:
            return int(self.numbers[position])
        return self.first_row + position

    def fail(self, row: int | None, column: str | None, message: str) -> Exception:
        where = []
        if row is not None:
            where.append(f"{self.row_word} {row}")
        if column is not None:
            where.append(f"column {column}")
        parts = [self.source] + ([", ".join(where)] if where else []) + [message]
        return BarsError(": ".join(parts))


def show(value: Any) -> str:
    """A cell as quoted, shortened text for a message."""
    text = value.decode("utf-8", "replace") if isinstance(value, bytes) else str(value)
    return repr(text if len(text) <= 40 else text[:37] + "...")


@dataclass(frozen=True, eq=False)
class Bars:
    """Checked bars in date order: dates, prices as float arrays, engine times; `clipped`, how
    many bars clipping changed (open or close moved into low..high); `backend`, the frame
    library the bars came from ("pandas" or "polars"), which frames of them follow."""

    dates: Sequence[str]  # `Dates` from every loader; any sequence of ISO text will do
    open: NDArray[np.float64]
    high: NDArray[np.float64]
    low: NDArray[np.float64]
    close: NDArray[np.float64]
    time: NDArray[np.int64]
    source: str = "<bars>"
    clipped: int = 0
    backend: str = "pandas"

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
        *,
        date_format: str | None = None,
        clip: bool = False,
    ) -> "Bars":
        """Bars from parallel sequences; dates may be ISO text (other text with
        `date_format`), `datetime`/`date` objects (zoned ones keep their zone when they share
        one), numpy datetime64 values or Unix seconds or milliseconds. Checked like a file,
        rows counted from 0; `clip` as for `load_bars`."""
        rows = RowNames(source, first_row=0, row_word="index")
        options = BarOptions(date_format=date_format, clip=clip)
        return check_columns(rows, dates, open, high, low, close, cells_zone(dates), options)


def _cell_number(value: Any) -> tuple[float, str | None]:
    """One price cell as a number, or NaN and why it is not one."""
    if isinstance(value, (str, bytes)):
        text = value.decode("utf-8", "replace") if isinstance(value, bytes) else value
        if not text.strip():
            return math.nan, "empty cell"
        try:
            return float(text), None
        except ValueError:
            return math.nan, f"{show(value)} is not a number"
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.number)):
        return math.nan, f"{show(value)} is not a number"
    return float(value), None


def _numbers(cells: Any) -> tuple[NDArray[np.float64], int, str]:
    """A price column as floats, the position of its first cell that is not a number (-1 when
    none) and why."""
    array = np.asarray(cells)
    if array.dtype.kind in "iuf":
        return array.astype(np.float64, copy=False), -1, ""
    if array.dtype.kind in "US":
        try:
            return array.astype(np.float64), -1, ""
        except ValueError:
            pass  # find the cell below
    values = array.tolist()
    numbers = np.full(len(values), math.nan)
    for i, value in enumerate(values):
        number, problem = _cell_number(value)
        if problem is not None:
            return numbers, i, problem
        numbers[i] = number
    return numbers, -1, ""


def _first(mask: NDArray[np.bool_]) -> int:
    return int(np.argmax(mask)) if mask.any() else -1


Problem = tuple[int, int, str, Callable[[], str]]  # position, rank in the row, column, message


def _price_problems(rank: int, column: str, values: NDArray[np.float64]) -> list[Problem]:
    found: list[Problem] = []
    with np.errstate(invalid="ignore"):
        for rule in PRICE_RULES:
            i = _first(rule.refuses(values))
            if i >= 0:
                say = rule.message
                found.append((i, rank, column, lambda i=i, m=say: m(values[i])))  # type: ignore[misc]
    return found


def check_columns(
    rows: RowNames,
    dates: Any,
    open: Any,
    high: Any,
    low: Any,
    close: Any,
    zone: Zone | None = None,
    options: BarOptions = READ_AS_IS,
) -> Bars:
    """Checked bars from five columns of cells; raises the first problem as a BarsError.
    `zone` is the time zone the source's dates carry (their moments are UTC); `options` say
    how to read the dates and whether to clip open and close into the bar's range."""
    count = len(dates)
    if count == 0:
        raise rows.fail(None, None, "no bars")
    for column, cells in zip(PRICES, (open, high, low, close), strict=True):
        if len(cells) != count:
            raise rows.fail(None, column, f"expected {count} values")
    moments, bad_date = moments_from_cells(dates, options.date_format)
    problems: list[Problem] = []
    if bad_date >= 0:
        cell = dates[bad_date]
        problems.append((bad_date, 0, "Date", lambda: date_problem(
            cell, show(cell), options.date_format)))
    prices = []
    for rank, (column, cells) in enumerate(zip(PRICES, (open, high, low, close)), start=1):
        values, bad, why = _numbers(cells)
        if bad >= 0:
            problems.append((bad, rank, column, lambda why=why: why))  # type: ignore[misc]
            values = values.copy()
            values[bad:] = 1.0  # unread cells; the problem above comes first
        problems.extend(_price_problems(rank, column, values))
        prices.append(values)
    o, h, lo, c = prices
    clipped = 0
    if options.clip:
        o, c, clipped = _clip(o, h, lo, c)
    rank = len(PRICES) + 1
    for row_rule in ROW_RULES:
        i = _first(row_rule.refuses(o, h, lo, c))
        if i >= 0:
            say = row_rule.message
            problems.append(
                (i, rank, row_rule.column, lambda i=i, m=say: m(o[i], h[i], lo[i], c[i]))  # type: ignore[misc]
            )
        rank += 1
    shown = Dates(moments, zone)
    back = _first(ORDER.refuses(moments[1:], moments[:-1]))
    if back >= 0:
        i = back + 1
        problems.append((i, rank, ORDER.column, lambda: _order_message(rows, shown, i)))
    times, daily = _engine_times(shown.local, moments)
    if not daily:
        outside = _first(INTRADAY_TIME.refuses(times))
        if outside >= 0:
            problems.append((outside, rank + 1, INTRADAY_TIME.column, lambda: (
                intraday_time_message(shown[outside]))))
    if problems:
        position, _, column, message = min(problems, key=lambda p: (p[0], p[1]))
        raise rows.fail(rows.row_of(position), column, message())
    return Bars(
        dates=shown,
        open=o,
        high=h,
        low=lo,
        close=c,
        time=times,
        source=rows.source,
        clipped=clipped,
    )


def _clip(
    o: NDArray[np.float64], h: NDArray[np.float64], lo: NDArray[np.float64], c: NDArray[np.float64]
) -> tuple[NDArray[np.float64], NDArray[np.float64], int]:
    """Open and close moved into low..high where a bar's range holds them not; a bar whose
    high is below its low is left for its check. Returns how many bars changed."""
    with np.errstate(invalid="ignore"):
        ranged = lo <= h  # false for NaN
        moved = ranged & ((o < lo) | (o > h) | (c < lo) | (c > h))
        if not moved.any():
            return o, c, 0
        return (
            np.where(moved, np.clip(o, lo, h), o),
            np.where(moved, np.clip(c, lo, h), c),
            int(moved.sum()),
        )


_DAY_US = 86_400_000_000
_SLICE = 1 << 16  # bars converted at a time, to keep temporaries small


def _engine_times(
    local: NDArray[np.datetime64], moments: NDArray[np.datetime64]
) -> tuple[NDArray[np.int64], bool]:
    """YYYYMMDD of the local dates when every local moment is a midnight, else Unix seconds
    of the UTC moments; and which."""
    micros = local.view(np.int64)
    daily = all(
        not (micros[i : i + _SLICE] % _DAY_US).any() for i in range(0, len(micros), _SLICE)
    )
    times = np.empty(len(micros), dtype=np.int64)
    utc = moments.view(np.int64)
    for i in range(0, len(micros), _SLICE):
        part = local[i : i + _SLICE]
        if daily:
            day = part.astype("datetime64[D]")
            month = day.astype("datetime64[M]")
            year = month.astype("datetime64[Y]").astype(np.int64) + 1970
            times[i : i + _SLICE] = (
                year * 10000
                + (month.astype(np.int64) % 12 + 1) * 100
                + (day - month).astype(np.int64)
                + 1
            )
        else:
            times[i : i + _SLICE] = utc[i : i + _SLICE] // 1_000_000
    return times, daily


def _order_message(rows: RowNames, dates: Dates, i: int) -> str:
    same = bool(dates.moments[i] == dates.moments[i - 1])
    message = order_message(dates[i], dates[i - 1], same, f"{rows.row_word} {rows.row_of(i - 1)}")
    return message if same else message + rows.order_hint
