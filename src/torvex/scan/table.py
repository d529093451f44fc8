"""The scan's table: one row per instrument, and writing it as CSV, Parquet or JSON records."""

from __future__ import annotations

import csv
import dataclasses
import datetime as dt
import json
import os
from dataclasses import dataclass
from typing import Any, Iterable

from torvex.kit import RunResult, nearest_levels
from torvex.kit.levels import round_to_tick
from torvex.kit.result_frames import frame_backend

__all__ = ["COLUMNS", "FORMATS", "ScanRow", "error_row", "result_row", "table_format", "write_table"]


@dataclass(frozen=True)
class ScanRow:
    """One instrument as of its last bar. Support is the nearest unviolated line at or below
    the last close, resistance the nearest above it, with their pivot counts and their
    distances from the close, in percent of the close and in average bar ranges (the kit's
    `close_avg_percent` of the last bar); None where there is no such level. Levels are
    rounded to the tick. Everything but `symbol`, `seconds` and `error` is None on a row whose
    instrument failed."""

    symbol: str
    bars: int | None = None
    last_date: str | None = None
    last_close: float | None = None
    support: float | None = None
    support_pivots: int | None = None
    support_distance_pct: float | None = None
    support_distance_ranges: float | None = None
    resistance: float | None = None
    resistance_pivots: int | None = None
    resistance_distance_pct: float | None = None
    resistance_distance_ranges: float | None = None
    last_signal_date: str | None = None
    last_signal_level: float | None = None
    last_signal_vvip: bool | None = None
    bars_since_signal: int | None = None
    lines: int | None = None
    signals: int | None = None
    failures: int | None = None
    clipped: int | None = None  # bars whose open or close --clip moved into low..high
    seconds: float = 0.0  # wall time of loading and running this instrument
    error: str = ""

    @property
    def failed(self) -> bool:
        return bool(self.error)

    @property
    def nearest_ranges(self) -> float | None:
        """How many average ranges the close lies from its nearer level; None with none."""
        found = [d for d in (self.support_distance_ranges, self.resistance_distance_ranges)
                 if d is not None]
        return min(found) if found else None


COLUMNS = tuple(f.name for f in dataclasses.fields(ScanRow))
# column -> Arrow type name, for Parquet and frames, from each field's annotated type; the
# date columns are typed by what they hold (`_date_type`)
_ARROW = {"str": "string", "int": "int64", "float": "float64", "bool": "bool"}
_TYPES = {f.name: _ARROW[str(f.type).split(" |")[0]] for f in dataclasses.fields(ScanRow)}
DATE_COLUMNS = ("last_date", "last_signal_date")
FORMATS = {".csv": "csv", ".parquet": "parquet", ".pq": "parquet", ".json": "json"}
_DIGITS = 4  # decimals of the distances


def result_row(symbol: str, result: RunResult, seconds: float) -> ScanRow:
    bars = result.bars
    tick = result.settings.mintick
    close = float(bars.close[-1])
    support, resistance = nearest_levels(
        ((line.level, line.violated, len(line.pivots)) for line in result.lines), close
    )
    low = round_to_tick(support.price, tick) if support else None
    high = round_to_tick(resistance.price, tick) if resistance else None
    ranges = float(result.inputs.close_avg_percent[-1])
    last = result.signals[-1] if result.signals else None
    return ScanRow(
        symbol=symbol,
        bars=len(bars),
        last_date=bars.dates[-1],
        last_close=close,
        support=low,
        support_pivots=support.pivots if support else None,
        support_distance_pct=_percent(close - low, close) if low is not None else None,
        support_distance_ranges=_ranges(close - low, close, ranges) if low is not None else None,
        resistance=high,
        resistance_pivots=resistance.pivots if resistance else None,
        resistance_distance_pct=_percent(high - close, close) if high is not None else None,
        resistance_distance_ranges=(
            _ranges(high - close, close, ranges) if high is not None else None),
        last_signal_date=last.date if last else None,
        last_signal_level=round_to_tick(last.level, tick) if last else None,
        last_signal_vvip=last.vvip if last else None,
        bars_since_signal=len(bars) - 1 - last.bar if last else None,
        lines=len(result.lines),
        signals=len(result.signals),
        failures=len(result.failures),
        clipped=getattr(bars, "clipped", 0),
        seconds=round(seconds, 6),
    )


def _percent(distance: float, close: float) -> float:
    # a level rounded to the tick may pass the close by less than a tick: that is no distance
    return round(max(distance, 0.0) / close * 100.0, _DIGITS)


def _ranges(distance: float, close: float, ranges: float) -> float | None:
    """A distance in average bar ranges (`ranges` is in percent of the close); None when the
    bars had no range to measure by."""
    if not ranges > 0.0:
        return None
    return round(max(distance, 0.0) / close * 100.0 / ranges, _DIGITS)


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


def typed_dates(data: list[dict[str, Any]]) -> tuple[list[dict[str, Any]], str]:
    """The records with their date columns as real values, and which: "date" (dates) when
    every date is a whole day, else "timestamp" (UTC datetimes; a text without an offset is
    UTC, as the kit reads it)."""
    texts = [r[c] for r in data for c in DATE_COLUMNS if r[c] is not None]
    daily = all(len(text) == 10 for text in texts)

    def value(text: str | None) -> Any:
        if text is None:
            return None
        if daily:
            return dt.date.fromisoformat(text)
        moment = dt.datetime.fromisoformat(text)
        if moment.tzinfo is None:
            return moment.replace(tzinfo=dt.timezone.utc)
        return moment.astimezone(dt.timezone.utc)

    typed = [dict(r, **{c: value(r[c]) for c in DATE_COLUMNS}) for r in data]
    return typed, "date" if daily else "timestamp"


def arrow_table(data: list[dict[str, Any]]) -> Any:
    import pyarrow as pa

    typed, kind = typed_dates(data)
    dates = pa.date32() if kind == "date" else pa.timestamp("us", tz="UTC")
    schema = pa.schema([
        (c, dates if c in DATE_COLUMNS else pa.type_for_alias(_TYPES[c])) for c in COLUMNS
    ])
    return pa.Table.from_pylist(typed, schema=schema)


def frame(rows: Iterable[ScanRow], backend: str = "auto") -> Any:
    """The rows as a DataFrame, pandas ("auto" too) or polars: nullable integer, boolean and
    string columns, NaN for a missing price in pandas; dates as dates for daily bars, else as
    UTC timestamps."""
    if frame_backend(backend) == "polars":
        return _polars_frame(records(rows))
    import pandas as pd
    import pyarrow as pa

    nullable = {
        pa.int64(): pd.Int64Dtype(),
        pa.bool_(): pd.BooleanDtype(),
        pa.string(): pd.StringDtype(),
        pa.date32(): pd.ArrowDtype(pa.date32()),
    }
    return arrow_table(records(rows)).to_pandas(types_mapper=nullable.get)


def _polars_frame(data: list[dict[str, Any]]) -> Any:
    import polars as pl

    typed, kind = typed_dates(data)
    kinds = {"string": pl.String, "int64": pl.Int64, "float64": pl.Float64, "bool": pl.Boolean}
    dates = pl.Date if kind == "date" else pl.Datetime("us", "UTC")
    schema = {c: dates if c in DATE_COLUMNS else kinds[_TYPES[c]] for c in COLUMNS}
    return pl.DataFrame(typed, schema=schema)
