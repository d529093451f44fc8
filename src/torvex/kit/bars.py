"""OHLC bars: reading them from CSV or .npz, checking them, and making synthetic ones.

Every problem with an input file is reported as a `BarsError` whose message is one line naming
the file, the row (the file's line number, header = row 1; for .npz the record index) and the
column, so that a command line can print it as it is.

Bar times handed to the engine are integers: ``YYYYMMDD`` when every bar is a whole day (so
debug windows can be written as dates), otherwise Unix seconds (UTC for naive times), which the
engine's 32-bit record fields take up to 2038-01-19.
"""

from __future__ import annotations

import csv
import datetime as dt
import io
import math
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Iterable, Sequence

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["Bars", "BarsError", "COLUMNS", "load_bars", "read_csv", "read_npz", "synthetic_bars"]

COLUMNS = ("Date", "Open", "High", "Low", "Close")
_PRICES = COLUMNS[1:]
_INT32_MAX = 2**31 - 1


class BarsError(ValueError):
    """Bad bar input; the message is one line naming the source, row and column."""


@dataclass(frozen=True)
class Bars:
    """Checked bars in date order: dates as ISO text, prices as float arrays, engine times."""

    dates: tuple[str, ...]
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
        """Bars from parallel sequences; dates may be ISO text, `datetime`/`date` objects or
        numpy datetime64 values. Checked like a file, rows counted from 0."""
        rows = _Rows(source, first_row=0, row_word="index")
        moments = [rows.date(i, value) for i, value in enumerate(dates)]
        prices = []
        for column, values in zip(_PRICES, (open, high, low, close), strict=True):
            array = np.asarray(values)
            if array.shape != (len(moments),):
                raise BarsError(f"{source}: column {column}: expected {len(moments)} values")
            prices.append([rows.price(i, column, v) for i, v in enumerate(array.tolist())])
        return _build(rows, moments, *prices)


class _Rows:
    """Error wording and cell conversion for one source."""

    def __init__(self, source: str, first_row: int, row_word: str = "row") -> None:
        self.source = source
        self.first_row = first_row
        self.row_word = row_word

    def row_of(self, position: int) -> int:
        """The row number shown for the bar at `position`."""
        return self.first_row + position

    def fail(self, row: int | None, column: str | None, message: str) -> BarsError:
        where = []
        if row is not None:
            where.append(f"{self.row_word} {row}")
        if column is not None:
            where.append(f"column {column}")
        parts = [self.source] + ([", ".join(where)] if where else []) + [message]
        return BarsError(": ".join(parts))

    def date(self, row: int, value: Any) -> dt.datetime:
        moment = _to_datetime(value)
        if moment is None:
            raise self.fail(row, "Date", f"{_show(value)} is not a date")
        return moment

    def price(self, row: int, column: str, value: Any) -> float:
        if isinstance(value, str):
            text = value.strip()
            if not text:
                raise self.fail(row, column, "empty cell")
            try:
                number = float(text)
            except ValueError:
                raise self.fail(row, column, f"{_show(value)} is not a number") from None
        elif isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.number)):
            raise self.fail(row, column, f"{_show(value)} is not a number")
        else:
            number = float(value)
        if math.isnan(number):
            raise self.fail(row, column, "NaN price")
        if math.isinf(number):
            raise self.fail(row, column, "infinite price")
        if number <= 0:
            raise self.fail(row, column, f"price {number:g} is not above 0")
        return number


def _show(value: Any) -> str:
    text = value.decode("utf-8", "replace") if isinstance(value, bytes) else str(value)
    return repr(text if len(text) <= 40 else text[:37] + "...")


def _to_datetime(value: Any) -> dt.datetime | None:
    if isinstance(value, bytes):
        value = value.decode("utf-8", "replace")
    if isinstance(value, np.datetime64):
        if np.isnat(value):
            return None
        value = value.astype("datetime64[us]").item()
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
            return _to_datetime(dt.datetime.fromisoformat(text))
        except ValueError:
            return None
    return None


def _build(
    rows: _Rows,
    moments: list[dt.datetime],
    open: list[float],
    high: list[float],
    low: list[float],
    close: list[float],
) -> Bars:
    if not moments:
        raise rows.fail(None, None, "no bars")
    for i in range(len(moments)):
        row = rows.row_of(i)
        if high[i] < low[i]:
            raise rows.fail(row, "High", f"high {high[i]:g} is below low {low[i]:g}")
        if i and moments[i] <= moments[i - 1]:
            before = f"{rows.row_word} {rows.row_of(i - 1)}"
            if moments[i] == moments[i - 1]:
                message = f"{_iso(moments[i])} repeats the date of {before}"
            else:
                message = f"{_iso(moments[i])} is before {_iso(moments[i - 1])} of {before}"
            raise rows.fail(row, "Date", message)
    daily = all(m.hour == m.minute == m.second == m.microsecond == 0 for m in moments)
    if daily:
        times = [m.year * 10000 + m.month * 100 + m.day for m in moments]
    else:
        epoch = dt.datetime(1970, 1, 1)
        times = [int((m - epoch).total_seconds()) for m in moments]
        for i, t in enumerate(times):
            if not 0 <= t <= _INT32_MAX:
                raise rows.fail(rows.row_of(i), "Date", f"{_iso(moments[i])} is outside 1970..2038")
    return Bars(
        dates=tuple(_iso(m) for m in moments),
        open=np.array(open, dtype=np.float64),
        high=np.array(high, dtype=np.float64),
        low=np.array(low, dtype=np.float64),
        close=np.array(close, dtype=np.float64),
        time=np.array(times, dtype=np.int64),
        source=rows.source,
    )


def _iso(moment: dt.datetime) -> str:
    if moment.hour == moment.minute == moment.second == moment.microsecond == 0:
        return moment.date().isoformat()
    return moment.isoformat(sep=" ")


def load_bars(path: str | os.PathLike[str]) -> Bars:
    """Bars from a CSV file or an .npz file holding a structured array."""
    if os.fspath(path).lower().endswith(".npz"):
        return read_npz(path)
    return read_csv(path)


def _open_error(label: str, error: OSError) -> BarsError:
    if isinstance(error, FileNotFoundError):
        return BarsError(f"{label}: no such file")
    if isinstance(error, IsADirectoryError):
        return BarsError(f"{label}: is a directory")
    return BarsError(f"{label}: cannot read: {error.strerror or error}")


def read_csv(path: str | os.PathLike[str], label: str | None = None) -> Bars:
    """Bars from CSV text with Date, Open, High, Low and Close columns (any letter case, any
    order, other columns ignored)."""
    label = label or os.fspath(path)
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except OSError as e:
        raise _open_error(label, e) from None
    try:
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        raise BarsError(f"{label}: not UTF-8 text (byte {e.start})") from None
    return parse_csv(text, label)


def parse_csv(text: str, label: str = "<csv>") -> Bars:
    rows = _Rows(label, first_row=2)
    reader = csv.reader(io.StringIO(text, newline=""), strict=True)
    try:
        header = next(reader, None)
        while header is not None and not any(cell.strip() for cell in header):
            header = next(reader, None)
        if header is None:
            raise rows.fail(None, None, "empty file")
        header_row = reader.line_num
        index = _column_index(rows, header_row, [cell.strip() for cell in header])
        moments: list[dt.datetime] = []
        prices: list[list[float]] = [[], [], [], []]
        row_numbers: list[int] = []
        for record in reader:
            row = reader.line_num
            if not any(cell.strip() for cell in record):
                continue
            for column in COLUMNS:
                if index[column] >= len(record):
                    raise rows.fail(row, column, "missing cell")
            moments.append(rows.date(row, record[index["Date"]]))
            for k, column in enumerate(_PRICES):
                prices[k].append(rows.price(row, column, record[index[column]]))
            row_numbers.append(row)
    except csv.Error as e:
        raise rows.fail(reader.line_num, None, f"malformed CSV: {e}") from None
    return _build(_Numbered(rows, row_numbers), moments, *prices)


class _Numbered(_Rows):
    """Maps bar positions back to file rows, which blank lines may have made uneven."""

    def __init__(self, rows: _Rows, row_numbers: list[int]) -> None:
        super().__init__(rows.source, 0, rows.row_word)
        self.row_numbers = row_numbers

    def row_of(self, position: int) -> int:
        return self.row_numbers[position]


def _column_index(rows: _Rows, header_row: int, names: Iterable[str]) -> dict[str, int]:
    index: dict[str, int] = {}
    for position, name in enumerate(names):
        for column in COLUMNS:
            if name.lower() == column.lower():
                if column in index:
                    raise rows.fail(header_row, column, "column appears twice")
                index[column] = position
    missing = [column for column in COLUMNS if column not in index]
    if missing:
        raise rows.fail(header_row, None, f"missing column {', '.join(missing)}")
    return index


def read_npz(path: str | os.PathLike[str], label: str | None = None) -> Bars:
    """Bars from an .npz file holding one structured array with fields Date, Open, High, Low
    and Close (any letter case; the array named ``bars`` when there are several)."""
    label = label or os.fspath(path)
    try:
        archive = np.load(path, allow_pickle=False)
    except OSError as e:
        raise _open_error(label, e) from None
    except (ValueError, EOFError) as e:
        raise BarsError(f"{label}: not an .npz file ({e})") from None
    if not isinstance(archive, np.lib.npyio.NpzFile):
        raise BarsError(f"{label}: not an .npz archive")
    with archive:
        names = list(archive.files)
        if not names:
            raise BarsError(f"{label}: empty file")
        key = "bars" if "bars" in names else names[0]
        if len(names) > 1 and key != "bars":
            raise BarsError(f"{label}: several arrays and none named 'bars'")
        try:
            array = archive[key]
        except ValueError as e:
            raise BarsError(f"{label}: array {key!r}: cannot load ({e})") from None
    rows = _Rows(f"{label}[{key}]", first_row=0, row_word="record")
    fields = array.dtype.names
    if fields is None or array.ndim != 1:
        raise rows.fail(None, None, "expected a one-dimensional structured array")
    by_lower = {name.lower(): name for name in fields}
    missing = [column for column in COLUMNS if column.lower() not in by_lower]
    if missing:
        raise rows.fail(None, None, f"missing field {', '.join(missing)}")
    dates = array[by_lower["date"]]
    moments = [rows.date(i, value) for i, value in enumerate(dates)]
    prices = []
    for column in _PRICES:
        values = array[by_lower[column.lower()]].tolist()
        prices.append([rows.price(i, column, v) for i, v in enumerate(values)])
    return _build(rows, moments, *prices)


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
