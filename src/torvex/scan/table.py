"""The scan's table: one row per instrument, and writing it as CSV, Parquet or JSON records."""

from __future__ import annotations

import csv
import dataclasses
import json
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Iterable

from torvex.kit import RunResult, nearest_levels

if TYPE_CHECKING:
    import pandas

__all__ = ["COLUMNS", "FORMATS", "ScanRow", "error_row", "result_row", "table_format", "write_table"]


@dataclass(frozen=True)
class ScanRow:
    """One instrument. Support is the nearest unviolated line at or below the last close,
    resistance the nearest above it; None where there is none, and everything but `symbol`,
    `seconds` and `error` is None on a row whose instrument failed."""

    symbol: str
    bars: int | None = None
    last_date: str | None = None
    last_close: float | None = None
    support: float | None = None
    support_pivots: int | None = None
    resistance: float | None = None
    resistance_pivots: int | None = None
    last_signal_date: str | None = None
    last_signal_level: float | None = None
    last_signal_vvip: bool | None = None
    lines: int | None = None
    signals: int | None = None
    failures: int | None = None
    seconds: float = 0.0  # wall time of loading and running this instrument
    error: str = ""

    @property
    def failed(self) -> bool:
        return bool(self.error)


COLUMNS = tuple(f.name for f in dataclasses.fields(ScanRow))
# column -> Arrow type name, for Parquet and frames, from each field's annotated type
_ARROW = {"str": "string", "int": "int64", "float": "float64", "bool": "bool"}
_TYPES = {f.name: _ARROW[str(f.type).split(" |")[0]] for f in dataclasses.fields(ScanRow)}
FORMATS = {".csv": "csv", ".parquet": "parquet", ".pq": "parquet", ".json": "json"}


def result_row(symbol: str, result: RunResult, seconds: float) -> ScanRow:
    bars = result.bars
    close = float(bars.close[-1])
    support, resistance = nearest_levels(
        ((line.level, line.violated, len(line.pivots)) for line in result.lines), close
    )
    last = result.signals[-1] if result.signals else None
    return ScanRow(
        symbol=symbol,
        bars=len(bars),
        last_date=bars.dates[-1],
        last_close=close,
        support=support.price if support else None,
        support_pivots=support.pivots if support else None,
        resistance=resistance.price if resistance else None,
        resistance_pivots=resistance.pivots if resistance else None,
        last_signal_date=last.date if last else None,
        last_signal_level=last.level if last else None,
        last_signal_vvip=last.vvip if last else None,
        lines=len(result.lines),
        signals=len(result.signals),
        failures=len(result.failures),
        seconds=round(seconds, 6),
    )


def error_row(symbol: str, message: str, seconds: float = 0.0) -> ScanRow:
    """A failed instrument; the message is folded onto one line."""
    line = " ".join(message.split()) or "failed"
    return ScanRow(symbol=symbol, seconds=round(seconds, 6), error=line)


def table_format(path: str | os.PathLike[str]) -> str:
    """'csv', 'parquet' or 'json' by the file's suffix; ValueError for any other."""
    suffix = os.path.splitext(os.fspath(path))[1].lower()
    if suffix not in FORMATS:
        raise ValueError(
            f"{os.fspath(path)}: unknown table suffix {suffix or '(none)'!r}; "
            f"use {', '.join(FORMATS)}"
        )
    return FORMATS[suffix]


def records(rows: Iterable[ScanRow]) -> list[dict[str, Any]]:
    return [dataclasses.asdict(row) for row in rows]


def write_table(rows: Iterable[ScanRow], path: str | os.PathLike[str]) -> None:
    """Write the rows in the format the suffix names; empty cells in CSV, nulls elsewhere."""
    form = table_format(path)
    data = records(rows)
    if form == "parquet":
        import pyarrow.parquet as pq

        pq.write_table(arrow_table(data), path)
    elif form == "json":
        with open(path, "w", encoding="utf-8") as f:
            json.dump(data, f, allow_nan=False)
            f.write("\n")
    else:
        with open(path, "w", encoding="utf-8", newline="") as f:
            writer = csv.writer(f, lineterminator="\n")
            writer.writerow(COLUMNS)
            for record in data:
                writer.writerow(_cell(record[column]) for column in COLUMNS)


def _cell(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    return repr(value) if isinstance(value, float) else str(value)


def arrow_table(data: list[dict[str, Any]]) -> Any:
    import pyarrow as pa

    schema = pa.schema([(column, pa.type_for_alias(_TYPES[column])) for column in COLUMNS])
    return pa.Table.from_pylist(data, schema=schema)


def frame(rows: Iterable[ScanRow]) -> pandas.DataFrame:
    """The rows as a DataFrame: nullable integer, boolean and string columns, NaN for a missing
    price."""
    import pandas as pd
    import pyarrow as pa

    nullable = {pa.int64(): pd.Int64Dtype(), pa.bool_(): pd.BooleanDtype(), pa.string(): pd.StringDtype()}
    return arrow_table(records(rows)).to_pandas(types_mapper=nullable.get)
