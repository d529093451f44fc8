"""Bar dates as ``datetime64[us]`` moments (naive UTC) from whatever a source holds.

Accepted: ISO text (``2020-01-02``, ``2020-01-02 09:30[:00]`` with ``T`` or a space, an offset,
any form ``datetime.fromisoformat`` reads), ``datetime``/``date`` objects (pandas' Timestamp is
one), ``datetime64`` values, and Unix times as numbers, or as digit-only text, in seconds or
milliseconds (milliseconds when the column holds a magnitude of 1e11 or more, as seconds that
would be past the year 5000). Eight-digit text is a basic ISO date (``20200102``), as
``fromisoformat`` reads it, not a Unix time.

Dates in any other form are never guessed: they are read only with the ``strptime`` format the
caller names (`date_format`), and refused with a message that names the option otherwise.

Fixed-width forms (the common ISO ones, and a named format of numeric fields such as
``%m/%d/%Y``) are parsed over whole columns at once; anything else goes cell by cell.
"""

from __future__ import annotations

import datetime as dt
import re
from typing import TYPE_CHECKING, Any, NamedTuple, Sequence

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = [
    "date_problem",
    "format_moment",
    "iso_text",
    "moments_from_cells",
    "moments_from_codes",
    "to_datetime",
]

_US = "datetime64[us]"
_EPOCH = dt.datetime(1970, 1, 1)
_MS_FROM = 1e11  # a Unix column reaching this magnitude is in milliseconds
_UNIX_LIMIT = 1e15  # beyond any millisecond date this engine can use; keeps us in int64
_DIGIT0 = ord("0")



class _Layout(NamedTuple):
    """A fixed-width form: where each numeric field lies (``Y`` year, ``m`` month, ``d`` day,
    ``H``, ``M``, ``S``: first and past-last character) and what each other position holds."""

    width: int
    fields: dict[str, tuple[int, int]]
    literals: dict[int, bytes]


_DATE = {"Y": (0, 4), "m": (5, 7), "d": (8, 10)}
_ISO = {
    10: _Layout(10, _DATE, {4: b"-", 7: b"-"}),
    16: _Layout(16, {**_DATE, "H": (11, 13), "M": (14, 16)}, {4: b"-", 7: b"-", 10: b" T", 13: b":"}),
    19: _Layout(
        19,
        {**_DATE, "H": (11, 13), "M": (14, 16), "S": (17, 19)},
        {4: b"-", 7: b"-", 10: b" T", 13: b":", 16: b":"},
    ),
}
_FIELD_WIDTHS = {"Y": 4, "m": 2, "d": 2, "H": 2, "M": 2, "S": 2}


def format_layout(date_format: str) -> _Layout | None:
    """The fixed-width form of a ``strptime`` format made of numeric fields and separators
    (``%m/%d/%Y``, ``%d.%m.%Y %H:%M``); None for any other (``%b``, ``%z``, ...).

    Reading a column by it is the fast path beside ``datetime.strptime`` cell by cell, valid
    by one rule: a cell that fills the form exactly (every field's digits at its place, every
    separator as written) is a cell strptime reads as those same fields, and the same range
    checks refuse the same cells. A column with any other cell goes cell by cell."""
    fields: dict[str, tuple[int, int]] = {}
    literals: dict[int, bytes] = {}
    at = i = 0
    while i < len(date_format):
        char = date_format[i]
        if char == "%":
            code = date_format[i + 1 : i + 2]
            if code == "%":
                literals[at] = b"%"
                at += 1
            elif code in _FIELD_WIDTHS and code not in fields:
                fields[code] = (at, at + _FIELD_WIDTHS[code])
                at += _FIELD_WIDTHS[code]
            else:
                return None
            i += 2
            continue
        if not char.isascii() or char.isdigit():
            return None
        literals[at] = char.encode()
        at += 1
        i += 1
    if not {"Y", "m", "d"} <= fields.keys():
        return None
    return _Layout(at, fields, literals)


def to_datetime(value: Any) -> dt.datetime | None:
    """One cell as a naive UTC datetime; None when it is not a date."""
    if isinstance(value, bytes):
        value = value.decode("utf-8", "replace")
    if isinstance(value, np.datetime64):
        if np.isnat(value):
            return None
        value = value.astype(_US).item()
    if isinstance(value, dt.datetime):
        return value.astimezone(dt.timezone.utc).replace(tzinfo=None) if value.tzinfo else value
    if isinstance(value, dt.date):
        return dt.datetime(value.year, value.month, value.day)
    if isinstance(value, str):
        text = value.strip()
        try:
            if len(text) <= 10:
                day = dt.date.fromisoformat(text)
                return dt.datetime(day.year, day.month, day.day)
            return to_datetime(dt.datetime.fromisoformat(text))
        except ValueError:
            return None
    return None


def format_moment(moment: np.datetime64) -> str:
    """ISO text of a moment: the date alone at midnight, else date and time."""
    return iso_text(_EPOCH + dt.timedelta(microseconds=int(moment.astype(_US).view(np.int64))))


def iso_text(value: dt.datetime) -> str:
    """ISO text of a datetime: the date alone at midnight, else date and time."""
    if value.hour == value.minute == value.second == value.microsecond == 0:
        return value.date().isoformat()
    return value.isoformat(sep=" ")


def _unix(numbers: NDArray[np.float64]) -> tuple[NDArray[np.datetime64], int]:
    """Unix seconds or milliseconds as moments; the first non-finite or far-off value is bad."""
    bad = ~np.isfinite(numbers) | (np.abs(numbers) >= _UNIX_LIMIT)
    first = int(np.argmax(bad)) if bad.any() else -1
    good = np.where(bad, 0.0, numbers)
    scale = 1_000 if good.size and np.abs(good).max() >= _MS_FROM else 1_000_000
    whole = good.astype(np.int64)
    micros = whole * scale + np.round((good - whole) * scale).astype(np.int64)
    moments = micros.astype(_US)
    moments[bad] = np.datetime64("NaT", "us")
    return moments, first


def _number(codes: NDArray[Any], first: int, last: int) -> NDArray[np.int64]:
    """The decimal number written in character columns first..last-1 of every row."""
    value = np.zeros(codes.shape[0], dtype=np.int64)
    for k in range(first, last):
        value *= 10
        value += codes[:, k]
        value -= _DIGIT0
    return value


def _all_digits(codes: NDArray[Any], columns: Any) -> bool:
    for k in columns:
        column = codes[:, k]
        if not ((column >= _DIGIT0) & (column <= _DIGIT0 + 9)).all():
            return False
    return True


def moments_from_codes(
    codes: NDArray[Any], layout: _Layout | None = None
) -> tuple[NDArray[np.datetime64], int] | None:
    """Moments from a matrix of character codes, one fixed-width cell per row; None when the
    cells are not all in the form: `layout`, or without one digits only or ISO date and time
    without offset or fraction. Works a character column at a time, so that no temporary is
    larger than one number per cell."""
    count, width = codes.shape
    if layout is None:
        if width != 8 and width <= 15 and _all_digits(codes, range(width)):
            return _unix(_number(codes, 0, width).astype(np.float64))
        layout = _ISO.get(width)
    if layout is None or layout.width != width:
        return None
    digits = [k for first, last in layout.fields.values() for k in range(first, last)]
    if not _all_digits(codes, digits):
        return None
    for k, allowed in layout.literals.items():
        column = codes[:, k]
        if not np.logical_or.reduce([column == c for c in allowed]).all():
            return None
    zero = np.zeros(count, dtype=np.int64)
    year, month, day, hour, minute, second = (
        _number(codes, *layout.fields[f]) if f in layout.fields else zero
        for f in ("Y", "m", "d", "H", "M", "S")
    )
    bad = (year < 1) | (month < 1) | (month > 12) | (day < 1)
    bad |= (hour > 23) | (minute > 59) | (second > 59)
    month = np.clip(month, 1, 12)
    months = ((year - 1970) * 12 + month - 1).astype("datetime64[M]")
    days = months.astype("datetime64[D]") + np.maximum(day - 1, 0).astype("timedelta64[D]")
    bad |= days.astype("datetime64[M]") != months  # past the month's last day
    moments = days.astype(_US)
    moments += ((hour * 3600 + minute * 60 + second) * 1_000_000).astype("timedelta64[us]")
    moments[bad] = np.datetime64("NaT", "us")
    return moments, int(np.argmax(bad)) if bad.any() else -1


def _text_codes(cells: NDArray[Any]) -> NDArray[Any] | None:
    """The character codes of a text array whose cells all have one width, else None."""
    cells = np.ascontiguousarray(cells)
    if cells.dtype.kind == "U":
        width = cells.dtype.itemsize // 4
        codes = cells.view(np.uint32).reshape(len(cells), width)
    elif cells.dtype.kind == "S":
        width = cells.dtype.itemsize
        codes = cells.view(np.uint8).reshape(len(cells), width)
    else:
        return None
    if width == 0 or not (codes[:, -1] != 0).all():
        return None  # shorter cells are padded with zeros
    return codes


def _digit_text(values: Sequence[Any]) -> bool:
    return all(isinstance(v, str) and v.strip().isascii() and v.strip().isdigit()
               for v in values) and not all(len(v.strip()) == 8 for v in values)


def moments_from_cells(
    cells: Any, date_format: str | None = None
) -> tuple[NDArray[np.datetime64], int]:
    """Moments of a column of cells and the position of the first cell that is not a date
    (-1 when all are). With `date_format` text cells (and whole numbers, as their digits) are
    read by that ``strptime`` format alone."""
    array = np.asarray(cells)
    kind = array.dtype.kind
    if kind == "M":
        moments = array.astype(_US)
        bad = np.isnat(moments)
        return moments, int(np.argmax(bad)) if bad.any() else -1
    if date_format is not None:
        return _formatted(array, date_format)
    if kind in "iuf":
        return _unix(array.astype(np.float64))
    if array.ndim == 1 and len(array):
        codes = _text_codes(array)
        if codes is not None:
            fast = moments_from_codes(codes)
            if fast is not None:
                return fast
    values = array.tolist() if array.ndim == 1 else list(cells)
    if values and _digit_text(values):
        return _unix(np.array([float(v) for v in values]))
    return _cell_by_cell(values, to_datetime)


def _cell_by_cell(values: Sequence[Any], read: Any) -> tuple[NDArray[np.datetime64], int]:
    moments = np.empty(len(values), dtype=_US)
    for i, value in enumerate(values):
        moment = read(value)
        if moment is None:
            moments[i:] = np.datetime64("NaT", "us")
            return moments, i
        moments[i] = moment
    return moments, -1


def _formatted(array: NDArray[Any], date_format: str) -> tuple[NDArray[np.datetime64], int]:
    if array.dtype.kind in "iuf":
        whole = np.isfinite(array) & (array == np.round(array)) if array.dtype.kind == "f" else None
        if whole is not None and not whole.all():
            first = int(np.argmin(whole))
            moments = np.full(len(array), np.datetime64("NaT", "us"))
            return moments, first
        array = array.astype(np.int64).astype(str)
    layout = format_layout(date_format)
    if layout is not None and array.ndim == 1 and len(array):
        codes = _text_codes(array)
        if codes is not None:
            fast = moments_from_codes(codes, layout)
            if fast is not None:
                return fast

    def read(value: Any) -> dt.datetime | None:
        if isinstance(value, bytes):
            value = value.decode("utf-8", "replace")
        if not isinstance(value, str):
            return to_datetime(value)  # a datetime needs no format
        try:
            return to_datetime(dt.datetime.strptime(value.strip(), date_format))
        except ValueError:
            return None

    return _cell_by_cell(array.tolist() if array.ndim == 1 else list(array), read)


_ISO_LIKE = re.compile(r"^\s*\d{4}-")


def date_problem(cell: Any, shown: str, date_format: str | None) -> str:
    """Why a cell is not a date, naming the option that reads other forms."""
    if date_format is not None:
        return f"{shown} does not match the date format {date_format!r}"
    text = cell.decode("utf-8", "replace") if isinstance(cell, bytes) else cell
    if isinstance(text, str) and text.strip() and not _ISO_LIKE.match(text):
        return (
            f"{shown} is not an ISO 8601 date; name its format with --date-format "
            "(date_format= in Python), e.g. '%m/%d/%Y' or '%d.%m.%Y'"
        )
    return f"{shown} is not a date"
