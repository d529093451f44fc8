"""One long table of many instruments: a symbol column beside the bar columns, each symbol's
rows in date order (symbols may interleave; `sort` orders each symbol's rows by date). It is
split into one `Bars` per symbol, each checked like a file of its own, with messages naming the
table's own rows."""

from __future__ import annotations

import csv
import os
from typing import Any, Sequence

import numpy as np

from .bar_arrow import arrow_cells, arrow_zone
from .bar_columns import COLUMNS, READ_AS_IS, Bars, RowNames, check_columns
from .bar_dates import moments_from_cells
from .bar_files import sniff_delimiter
from .bar_records import BarOptions, BarsError
from .bar_tables import column_positions

__all__ = ["SYMBOL", "read_symbols"]

SYMBOL = "symbol"
_UNSORTED = "; --sort (sort=True) orders each symbol's rows by date"


def read_symbols(
    path: str | os.PathLike[str],
    symbol_column: str = SYMBOL,
    sort: bool = False,
    options: BarOptions = READ_AS_IS,
) -> dict[str, Bars | BarsError]:
    """Each symbol's bars, or the error that stops them, in symbol order, from a CSV or Parquet
    table with a symbol column named `symbol_column` (any letter case). Needs pyarrow. A table
    that cannot be read, lacks a column or has a row without a symbol raises BarsError."""
    label = os.fspath(path)
    parquet = label.lower().endswith((".parquet", ".pq"))
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise BarsError(f"{label}: reading a table needs pyarrow (pip install 'torvex[scan]')") from None
    if not os.path.exists(path):
        raise BarsError(f"{label}: no such file")
    table = _read_parquet(path, label) if parquet else _read_csv(path, label, symbol_column, options)
    header = RowNames(label, first_row=0 if parquet else 1)
    names = table.column_names
    lowered = [str(name).strip().lower() for name in names]
    if symbol_column.strip().lower() not in lowered:
        hint = "; --symbol-column (symbol_column=) names another" if symbol_column == SYMBOL else ""
        raise header.fail(None if parquet else 1, None, f"missing column {symbol_column}{hint}")
    positions = column_positions(header, None if parquet else 1, names)
    symbols = table.column(lowered.index(symbol_column.strip().lower()))
    symbols = symbols.to_numpy(zero_copy_only=False)
    lines = _Positions() if parquet else _Lines(path, options.delimiter or sniff_delimiter(path))
    blank = np.flatnonzero([not isinstance(s, str) or not s.strip() for s in symbols])
    if blank.size:
        rows = RowNames(label, numbers=lines)
        raise rows.fail(rows.row_of(int(blank[0])), symbol_column, "empty cell")
    picked_table = table.select([positions[c] for c in COLUMNS])
    zone = arrow_zone(picked_table.schema.field(0).type)
    cells = arrow_cells(picked_table)
    keys = np.array([s.strip() for s in symbols], dtype=object)
    order = np.argsort(keys, kind="stable")
    ordered = keys[order]
    starts = np.flatnonzero(np.r_[True, ordered[1:] != ordered[:-1]])
    ends = np.r_[starts[1:], len(ordered)]
    split: dict[str, Bars | BarsError] = {}
    for start, end in zip(starts, ends):
        picked = order[start:end]
        if sort:
            picked = _by_date(cells[0], picked, options.date_format)
        rows = RowNames(label, numbers=_Picked(lines, picked), order_hint="" if sort else _UNSORTED)
        try:
            split[str(ordered[start])] = check_columns(
                rows, *(c[picked] for c in cells), zone=zone, options=options)
        except BarsError as e:
            split[str(ordered[start])] = e
    return split


def _by_date(dates: Any, picked: np.ndarray, date_format: str | None) -> np.ndarray:
    """One symbol's rows in date order (stable: rows of one date keep their order, for the
    checks to name the repeat); rows whose date cannot be read go last, for the checks to
    name."""
    moments, _ = moments_from_cells(dates[picked], date_format)
    if np.isnat(moments).any():  # read again cell by cell: NaT marks only the first bad cell
        moments = np.array([moments_from_cells(dates[[i]], date_format)[0][0] for i in picked])
    return picked[np.argsort(moments, kind="stable")]


def _read_parquet(path: str | os.PathLike[str], label: str) -> Any:
    from pyarrow import parquet

    try:
        return parquet.read_table(path)
    except OSError as e:
        raise BarsError(f"{label}: cannot read: {e.strerror or e}") from None
    except Exception as e:  # noqa: BLE001 - pyarrow's errors for a file that is not Parquet
        raise BarsError(f"{label}: not a Parquet file ({str(e).splitlines()[0]})") from None


def _read_csv(path: str | os.PathLike[str], label: str, symbol_column: str, options: BarOptions) -> Any:
    import pyarrow as pa
    from pyarrow import csv as pcsv

    delimiter = options.delimiter or sniff_delimiter(path)
    try:
        with open(path, encoding="utf-8-sig", newline="") as f:
            header = next(csv.reader(f, delimiter=delimiter), [])
    except UnicodeDecodeError as e:
        raise BarsError(f"{label}: not UTF-8 text (byte {e.start})") from None
    except OSError as e:
        raise BarsError(f"{label}: cannot read: {e.strerror or e}") from None
    # symbols and dates stay text; a price column with a bad cell comes through as text too,
    # for the checks to name the cell
    text_columns = _TEXT | {symbol_column.strip().lower()}
    text = {name: pa.string() for name in header if name.strip().lower() in text_columns}
    try:
        return pcsv.read_csv(
            path,
            parse_options=pcsv.ParseOptions(delimiter=delimiter),
            convert_options=pcsv.ConvertOptions(
                column_types=text,
                null_values=[],
                strings_can_be_null=False,
                quoted_strings_can_be_null=False,
            ),
        )
    except pa.ArrowInvalid as e:
        raise BarsError(f"{label}: malformed CSV: {str(e).splitlines()[0]}") from None


_TEXT = {SYMBOL, "date", "datetime", "timestamp", "time"}


class _Positions:
    """Parquet rows are named by position."""

    def __getitem__(self, position: int) -> int:
        return position


class _Lines:
    """A CSV table's data positions as its line numbers (header = row 1), found only when a
    message needs one: blank lines, which the reader skips, make them uneven."""

    def __init__(self, path: str | os.PathLike[str], delimiter: str) -> None:
        self.path = path
        self.delimiter = delimiter
        self.numbers: list[int] | None = None

    def __getitem__(self, position: int) -> int:
        if self.numbers is None:
            with open(self.path, encoding="utf-8-sig", newline="") as f:
                reader = csv.reader(f, delimiter=self.delimiter)
                next(reader, None)
                self.numbers = [reader.line_num for record in reader if record]
        return self.numbers[position]


class _Picked:
    """One symbol's positions mapped to the table's rows."""

    def __init__(self, lines: Any, picked: Sequence[int]) -> None:
        self.lines = lines
        self.picked = picked

    def __getitem__(self, position: int) -> int:
        return int(self.lines[int(self.picked[position])])
