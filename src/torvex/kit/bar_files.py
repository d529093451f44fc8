"""Bars from files: CSV, .npz (a structured array) and Parquet.

CSV is read into columns by pyarrow's reader where pyarrow is installed, else by pandas', else
by the standard library's. The column readers only read: whenever they cannot take a file as
it is, or its bars fail a check, the file is read again by the standard library's reader, which
knows every line's number and reports the problem as one line naming the row and column. A
file with good bars therefore gives the same `Bars` through every reader.
"""

from __future__ import annotations

import codecs
import csv
import io
import os
from typing import Any, BinaryIO, Iterator, TextIO

import numpy as np

from .bar_arrow import read_table
from .bar_columns import COLUMNS, READ_AS_IS, Bars, RowNames, check_columns
from .bar_dates import moments_from_cells
from .bar_records import BarOptions, BarsError
from .bar_tables import column_names, column_positions, read_records
__all__ = [
    "DELIMITERS",
    "READERS",
    "parse_csv",
    "read_csv",
    "read_npz",
    "read_parquet",
    "sniff_delimiter",
]

READERS = ("auto", "pyarrow", "pandas", "python")
_HEAD = 1 << 16  # the header must lie in the first 64 KiB for the column readers
_CHUNK = 1 << 20
_BLOCK = 1 << 18
_SLICE = 1 << 16


def _open_error(label: str, error: OSError) -> Exception:
    if isinstance(error, FileNotFoundError):
        return BarsError(f"{label}: no such file")
    if isinstance(error, IsADirectoryError):
        return BarsError(f"{label}: is a directory")
    return BarsError(f"{label}: cannot read: {error.strerror or error}")


def read_csv(
    path: str | os.PathLike[str],
    label: str | None = None,
    reader: str = "auto",
    options: BarOptions = READ_AS_IS,
) -> Bars:
    """Bars from CSV text with Date, Open, High, Low and Close columns (any letter case, any
    order, other columns ignored; the date may be named Datetime, Timestamp or Time too),
    separated by `options.delimiter`, else by whichever of ``, ; tab |`` makes the header's
    columns. `reader` picks the column reader ("pyarrow", "pandas", or "python" for the
    standard library's alone); "auto" takes the first installed, for files of a megabyte or
    more (below that, importing one costs more than it saves)."""
    if reader not in READERS:
        raise ValueError(f"reader must be one of {', '.join(READERS)}, not {reader!r}")
    label = label or os.fspath(path)
    delimiter = options.delimiter or sniff_delimiter(path)
    if reader == "auto" and _size(path) < _CHUNK:
        reader = "python"
    if reader != "python":
        try:
            columns = _read_columns(path, reader, delimiter, options.date_format)
        except Exception:  # noqa: BLE001 - anything unusual: the exact reader says what
            columns = None
        if columns is not None:
            try:
                return check_columns(RowNames(label, first_row=2), *columns, options=options)
            except BarsError:
                pass  # reported below with the file's own row numbers
    try:
        f = open(path, "rb")
    except OSError as e:
        raise _open_error(label, e) from None
    with f:
        _, bad = _scan(f)
        if bad is not None:
            raise BarsError(f"{label}: not UTF-8 text (byte {bad})")
        f.seek(0)
        text = io.TextIOWrapper(f, encoding="utf-8-sig", newline="")
        return parse_csv(text, label, delimiter, options)


def _size(path: str | os.PathLike[str]) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0  # the reader below reports it


def parse_csv(
    text: str | TextIO,
    label: str = "<csv>",
    delimiter: str = ",",
    options: BarOptions = READ_AS_IS,
) -> Bars:
    """Bars from CSV text (or a text stream), read row by row; rows in messages are line
    numbers."""
    rows = RowNames(label, first_row=2)
    lines = io.StringIO(text, newline="") if isinstance(text, str) else text
    reader = csv.reader(lines, delimiter=delimiter, strict=True)
    try:
        header = next(reader, None)
        while header is not None and not any(cell.strip() for cell in header):
            header = next(reader, None)
        if header is None:
            raise rows.fail(None, None, "empty file")
        positions = column_positions(rows, reader.line_num, header)
        wanted = [positions[c] for c in COLUMNS]
        # cells go to numpy text arrays a slice at a time: Python strings cost far more
        parts: list[list[Any]] = [[] for _ in COLUMNS]
        cells: list[list[str]] = [[] for _ in COLUMNS]
        numbers: list[int] = []
        for record in reader:
            if not any(cell.strip() for cell in record):
                continue
            for column, at in zip(COLUMNS, wanted):
                if at >= len(record):
                    raise rows.fail(reader.line_num, column, "missing cell")
            for column_cells, at in zip(cells, wanted):
                column_cells.append(record[at])
            numbers.append(reader.line_num)
            if len(cells[0]) == _SLICE:
                _move(cells, parts)
    except csv.Error as e:
        raise rows.fail(reader.line_num, None, f"malformed CSV: {e}") from None
    _move(cells, parts)
    rows.numbers = np.array(numbers, dtype=np.int64)
    return check_columns(rows, *(np.concatenate(p) for p in parts), options=options)


def _move(cells: list[list[str]], parts: list[list[Any]]) -> None:
    for column_cells, column_parts in zip(cells, parts):
        column_parts.append(np.array(column_cells, dtype=str))
        column_cells.clear()


def _header(path: str | os.PathLike[str], delimiter: str) -> list[str] | None:
    """The first line's cells when it is a header the column readers can take as it is."""
    with open(path, "rb") as f:
        head = f.read(_HEAD)
    head = head.removeprefix(codecs.BOM_UTF8)  # the column readers skip it too
    end = head.find(b"\n")
    if end < 0:
        return None
    line = head[:end].decode("utf-8").rstrip("\r")
    if '"' in line or not line.strip():
        return None
    return line.split(delimiter)


DELIMITERS = (",", ";", "\t", "|")


def sniff_delimiter(path: str | os.PathLike[str]) -> str:
    """The one of `DELIMITERS` that splits the file's header into the most bar columns (the
    first of equals, "," when none finds any)."""
    try:
        with open(path, "rb") as f:
            head = f.read(_HEAD)
    except OSError:
        return ","  # the reader reports it
    text = head.removeprefix(codecs.BOM_UTF8).decode("utf-8", "replace")
    line = next((line for line in text.splitlines() if line.strip()), "")
    found = [
        len(column_names(next(csv.reader([line], delimiter=d), []))) for d in DELIMITERS
    ]
    return DELIMITERS[found.index(max(found))]


def _scan(f: BinaryIO) -> tuple[int, int | None]:
    """The number of lines of an open file (a bound on its bars) and the offset of its first
    byte that is not UTF-8 (None when all are); read a block at a time."""
    decoder = codecs.getincrementaldecoder("utf-8")()
    lines, offset = 1, 0
    try:
        while chunk := f.read(_CHUNK):
            lines += chunk.count(b"\n")
            if decoder.getstate()[0] or not chunk.isascii():
                pending = len(decoder.getstate()[0])
                try:
                    decoder.decode(chunk)
                except UnicodeDecodeError as e:
                    return lines, offset - pending + e.start
            offset += len(chunk)
        decoder.decode(b"", final=True)
    except UnicodeDecodeError as e:
        return lines, offset - len(e.object) + e.start
    return lines, None


Batch = tuple[Any, Any, Any, Any, Any]  # date cells and the four prices of some rows


def _read_columns(
    path: str | os.PathLike[str], reader: str, delimiter: str, date_format: str | None
) -> tuple[Any, ...] | None:
    """The five columns by a column reader, or None when none can take the file. The file is
    read in blocks, each turned into dates and numbers at once, so that no more than one
    block's text is held at a time."""
    header = _header(path, delimiter)
    if header is None:
        return None
    with open(path, "rb") as f:
        lines, bad = _scan(f)
    if bad is not None:
        return None
    positions = column_positions(RowNames("", first_row=2), 1, header)
    names = [header[positions[c]] for c in COLUMNS]
    if len(set(header)) != len(header):
        return None
    batches = None
    if reader in ("auto", "pyarrow"):
        try:
            batches = _pyarrow_batches(path, names, delimiter)
        except ImportError:
            if reader == "pyarrow":
                return None
    if batches is None:
        try:
            batches = _pandas_batches(path, names, delimiter)
        except ImportError:
            return None
    return _collect(batches, lines, date_format)


def _collect(
    batches: Iterator[Batch], rows_at_most: int, date_format: str | None
) -> tuple[Any, ...] | None:
    moments = np.empty(rows_at_most, dtype="datetime64[us]")
    prices = [np.empty(rows_at_most) for _ in COLUMNS[1:]]
    at = 0
    for dates, *columns in batches:
        found, bad = moments_from_cells(dates, date_format)
        if bad >= 0:
            return None
        end = at + len(found)
        moments[at:end] = found
        for whole, part in zip(prices, columns):
            whole[at:end] = part
        at = end
    return (moments[:at], *(p[:at] for p in prices))


def _pyarrow_batches(
    path: str | os.PathLike[str], names: list[str], delimiter: str
) -> Iterator[Batch]:
    import pyarrow as pa
    from pyarrow import csv as pcsv

    # small blocks in the system allocator: the reader's memory stays a few blocks' worth
    reader = pcsv.open_csv(
        path,
        read_options=pcsv.ReadOptions(block_size=_BLOCK, use_threads=False),
        parse_options=pcsv.ParseOptions(delimiter=delimiter),
        convert_options=pcsv.ConvertOptions(
            include_columns=names,
            column_types={names[0]: pa.string(), **{n: pa.float64() for n in names[1:]}},
            null_values=[],
            strings_can_be_null=False,
            quoted_strings_can_be_null=False,
        ),
        memory_pool=pa.system_memory_pool(),
    )

    def batches() -> Iterator[Batch]:
        for batch in reader:
            yield (
                _arrow_text(batch.column(names[0])),
                *(_arrow_floats(batch.column(n)) for n in names[1:]),
            )

    return batches()


def _arrow_floats(array: Any) -> Any:
    """A float64 arrow array without nulls as a numpy view of its buffer (pyarrow's own
    conversion would import pandas)."""
    values = np.frombuffer(array.buffers()[1], dtype=np.float64)
    return values[array.offset : array.offset + len(array)]


def _arrow_text(array: Any) -> Any:
    """An arrow string array as numpy fixed-width bytes when every cell has one width (no
    copy), else as Python strings."""
    _, offsets, data = array.buffers()
    count = len(array)
    bounds = np.frombuffer(offsets, dtype=np.int32)[array.offset : array.offset + count + 1]
    widths = np.diff(bounds)
    if count and widths.min() == widths.max() and widths[0] > 0:
        width = int(widths[0])
        raw = np.frombuffer(data, dtype=np.uint8)[bounds[0] : bounds[-1]]
        return raw.view(f"S{width}")
    return np.array(array.to_pylist(), dtype=str)


def _pandas_batches(
    path: str | os.PathLike[str], names: list[str], delimiter: str
) -> Iterator[Batch]:
    import pandas as pd

    # before pandas 3 the default number parser may be off by an ulp
    exact = {"float_precision": "round_trip"} if int(pd.__version__.split(".")[0]) < 3 else {}
    chunks = pd.read_csv(
        path,
        sep=delimiter,
        usecols=names,
        dtype={names[0]: str, **{n: np.float64 for n in names[1:]}},
        na_filter=False,
        encoding="utf-8",
        chunksize=1 << 16,
        **exact,
    )

    def batches() -> Iterator[Batch]:
        with chunks:
            for frame in chunks:
                yield (
                    frame[names[0]].to_numpy().astype(str),
                    *(frame[n].to_numpy(dtype=np.float64) for n in names[1:]),
                )

    return batches()


def read_npz(
    path: str | os.PathLike[str], label: str | None = None, options: BarOptions = READ_AS_IS
) -> Bars:
    """Bars from an .npz file holding one structured array with fields Date, Open, High, Low
    and Close (any letter case; the array named ``bars`` when there are several)."""
    label = label or os.fspath(path)
    try:
        archive = np.load(path, allow_pickle=False)
    except OSError as e:
        raise _open_error(label, e) from None
    except (ValueError, EOFError):
        # numpy's reason for an unrecognised file suggests loading it with pickle: not here.
        raise BarsError(f"{label}: not an .npz file") from None
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
    return read_records(array, f"{label}[{key}]", options)


def read_parquet(
    path: str | os.PathLike[str], label: str | None = None, options: BarOptions = READ_AS_IS
) -> Bars:
    """Bars from a Parquet file with the columns of a CSV file (needs pyarrow); rows in
    messages are positions, counted from 0."""
    label = label or os.fspath(path)
    try:
        from pyarrow import parquet
    except ImportError:
        raise BarsError(
            f"{label}: reading Parquet needs pyarrow (pip install 'torvex[frames]')"
        ) from None
    if not os.path.exists(path):
        raise BarsError(f"{label}: no such file")
    try:
        names = parquet.read_schema(path).names
        positions = column_positions(RowNames(label, first_row=0), None, names)
        table = parquet.read_table(path, columns=[names[positions[c]] for c in COLUMNS])
    except BarsError:
        raise
    except OSError as e:
        raise _open_error(label, e) from None
    except Exception as e:  # noqa: BLE001 - pyarrow's errors for a file that is not Parquet
        raise BarsError(f"{label}: not a Parquet file ({str(e).splitlines()[0]})") from None
    return read_table(table, label, options)
