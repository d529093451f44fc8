"""Bar dates as ``datetime64[us]`` moments (naive UTC) from whatever a source holds.

Accepted: ISO text (``2020-01-02``, ``2020-01-02 09:30[:00]`` with ``T`` or a space, an offset,
any form ``datetime.fromisoformat`` reads), ``datetime``/``date`` objects (pandas' Timestamp is
one), ``datetime64`` values, and Unix times as numbers, or as digit-only text, in seconds or
milliseconds (milliseconds when the column holds a magnitude of 1e11 or more, as seconds that
would be past the year 5000). Eight-digit text is a basic ISO date (``20200102``), as
``fromisoformat`` reads it, not a Unix time.

The common fixed-width ISO forms are parsed over whole columns at once; anything else goes
cell by cell.
"""

from __future__ import annotations

import datetime as dt
from typing import TYPE_CHECKING, Any, Sequence

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = [
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

# positions of the separators of each fixed-width form; every other position is a digit
_FORMS = {
    10: {4: b"-", 7: b"-"},
    16: {4: b"-", 7: b"-", 10: b" T", 13: b":"},
    19: {4: b"-", 7: b"-", 10: b" T", 13: b":", 16: b":"},
}


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


def moments_from_codes(codes: NDArray[Any]) -> tuple[NDArray[np.datetime64], int] | None:
    """Moments from a matrix of character codes, one fixed-width cell per row; None when the
    cells are not all in one of the whole-column forms (digits only, or ISO date and time
    without offset or fraction). Works a character column at a time, so that no temporary is
    larger than one number per cell."""
    count, width = codes.shape
    if width != 8 and width <= 15 and _all_digits(codes, range(width)):
        return _unix(_number(codes, 0, width).astype(np.float64))
    form = _FORMS.get(width)
    if form is None or not _all_digits(codes, (k for k in range(width) if k not in form)):
        return None
    for k, allowed in form.items():
        column = codes[:, k]
        if not np.logical_or.reduce([column == c for c in allowed]).all():
            return None
    year, month, day = _number(codes, 0, 4), _number(codes, 5, 7), _number(codes, 8, 10)
    bad = (year < 1) | (month < 1) | (month > 12) | (day < 1)
    seconds = None
    if width >= 16:
        hour, minute = _number(codes, 11, 13), _number(codes, 14, 16)
        second = _number(codes, 17, 19) if width == 19 else np.zeros(count, dtype=np.int64)
        bad |= (hour > 23) | (minute > 59) | (second > 59)
        seconds = hour * 3600 + minute * 60 + second
    np.clip(month, 1, 12, out=month)
    months = ((year - 1970) * 12 + month - 1).astype("datetime64[M]")
    days = months.astype("datetime64[D]") + np.maximum(day - 1, 0).astype("timedelta64[D]")
    bad |= days.astype("datetime64[M]") != months  # past the month's last day
    moments = days.astype(_US)
    if seconds is not None:
        moments += (seconds * 1_000_000).astype("timedelta64[us]")
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


def moments_from_cells(cells: Any) -> tuple[NDArray[np.datetime64], int]:
    """Moments of a column of cells and the position of the first cell that is not a date
    (-1 when all are)."""
    array = np.asarray(cells)
    kind = array.dtype.kind
    if kind == "M":
        moments = array.astype(_US)
        bad = np.isnat(moments)
        return moments, int(np.argmax(bad)) if bad.any() else -1
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
    moments = np.empty(len(values), dtype=_US)
    for i, value in enumerate(values):
        moment = to_datetime(value)
        if moment is None:
            moments[i:] = np.datetime64("NaT", "us")
            return moments, i
        moments[i] = moment
    return moments, -1
