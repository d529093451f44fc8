"""Bars from Arrow tables: Parquet files' (through pyarrow), polars DataFrames, and anything
that speaks the Arrow PyCapsule interface (``__arrow_c_stream__``), read column by column into
numpy without a pandas round trip. A zoned time column keeps its zone."""

from __future__ import annotations

import sys
from dataclasses import replace
from typing import Any

import numpy as np

from .bar_columns import COLUMNS, READ_AS_IS, Bars, RowNames, check_columns
from .bar_records import BarOptions, BarsError
from .bar_tables import column_positions
from .bar_zones import Zone, zone_from_name

__all__ = [
    "arrow_cells",
    "arrow_zone",
    "is_arrow_source",
    "is_polars_frame",
    "read_arrow",
    "read_table",
]


def is_polars_frame(source: Any) -> bool:
    pl = sys.modules.get("polars")  # a polars DataFrame means polars is loaded already
    return pl is not None and isinstance(source, pl.DataFrame)


def is_arrow_source(source: Any) -> bool:
    return hasattr(source, "__arrow_c_stream__")


def read_arrow(source: Any, label: str | None = None, options: BarOptions = READ_AS_IS) -> Bars:
    """Bars from a polars DataFrame or any object with ``__arrow_c_stream__`` (a pyarrow
    Table, a DuckDB result, ...): columns as in a CSV file, in any letter case. Rows in
    messages are positions, counted from 0. Needs pyarrow for objects other than polars'."""
    if is_polars_frame(source):
        return replace(_read_polars(source, label or "<polars DataFrame>", options), backend="polars")
    label = label or f"<{type(source).__name__}>"
    try:
        import pyarrow as pa
    except ImportError:
        try:
            import polars as pl
        except ImportError:
            raise BarsError(
                f"{label}: reading an Arrow table needs pyarrow or polars "
                "(pip install 'torvex[frames]')"
            ) from None
        return _read_polars(pl.DataFrame(source), label, options)
    try:
        table = pa.table(source)
    except (TypeError, ValueError, pa.ArrowException) as e:
        raise BarsError(f"{label}: not a table of bars ({str(e).splitlines()[0]})") from None
    return read_table(table, label, options)


def read_table(table: Any, label: str, options: BarOptions = READ_AS_IS) -> Bars:
    """Bars from a pyarrow Table."""
    rows = RowNames(label, first_row=0)
    positions = column_positions(rows, None, table.column_names)
    picked = table.select([positions[c] for c in COLUMNS])
    zone = arrow_zone(picked.schema.field(0).type)
    return check_columns(rows, *arrow_cells(picked), zone=zone, options=options)


def arrow_cells(table: Any) -> list[Any]:
    """An arrow table's columns as numpy cells for the checks; a column with nulls as objects
    (None is then the cell the checks name). Zoned times come as UTC moments."""
    columns = []
    for column in table.columns:
        array = column.combine_chunks()
        if array.null_count:
            columns.append(np.array(array.to_pylist(), dtype=object))
        else:
            columns.append(array.to_numpy(zero_copy_only=False))
    return columns


def arrow_zone(kind: Any) -> Zone | None:
    """The zone of an arrow timestamp type, None for any other type."""
    name = getattr(kind, "tz", None)
    return zone_from_name(name) if name else None


def _read_polars(frame: Any, label: str, options: BarOptions) -> Bars:
    import polars as pl

    rows = RowNames(label, first_row=0)
    positions = column_positions(rows, None, frame.columns)
    columns = [frame.get_column(frame.columns[positions[c]]) for c in COLUMNS]
    kind = columns[0].dtype
    zone = None
    if isinstance(kind, pl.Datetime) and kind.time_zone:
        zone = zone_from_name(kind.time_zone)  # to_numpy then gives the UTC moments
    cells = [
        column.to_numpy().astype(object) if column.dtype == pl.Boolean else column.to_numpy()
        for column in columns
    ]
    return check_columns(rows, *cells, zone=zone, options=options)
