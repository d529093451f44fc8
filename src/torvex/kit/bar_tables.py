"""Bars from tables held in memory: pandas DataFrames and numpy structured arrays, and the
column lookup that every source with named columns shares."""

from __future__ import annotations

import sys
from typing import Any, Sequence

import numpy as np

from .bar_columns import COLUMNS, PRICES, READ_AS_IS, Bars, RowNames, check_columns
from .bar_records import BarOptions
from .bar_zones import Zone, cells_zone, normal_zone
__all__ = [
    "DATE_NAMES",
    "column_names",
    "column_positions",
    "is_pandas_frame",
    "read_frame",
    "read_records",
]

# names a date column goes by in common data sources, in order of preference
DATE_NAMES = ("Date", "Datetime", "Timestamp", "Time")


def column_positions(
    rows: RowNames,
    row: int | None,
    names: Sequence[str],
    word: str = "column",
    date_elsewhere: bool = False,
) -> dict[str, int]:
    """Where Date and the prices are among `names` (any letter case, surrounding blanks
    ignored); the date is the first of DATE_NAMES present. Without a date column the result
    has no "Date" when `date_elsewhere` (a DataFrame's DatetimeIndex), else it is an error."""
    lowered = [str(name).strip().lower() for name in names]
    date_name = next((d for d in DATE_NAMES if d.lower() in lowered), None)
    wanted = {column: column for column in PRICES}
    if date_name is not None:
        wanted["Date"] = date_name
    positions: dict[str, int] = {}
    for column in COLUMNS:
        if column not in wanted:
            continue
        found = [i for i, name in enumerate(lowered) if name == wanted[column].lower()]
        if len(found) > 1:
            raise rows.fail(row, wanted[column], f"{word} appears twice")
        if found:
            positions[column] = found[0]
    missing = [c for c in COLUMNS if c not in positions and not (c == "Date" and date_elsewhere)]
    if missing:
        raise rows.fail(row, None, f"missing {word} {', '.join(missing)}")
    return positions


def column_names(names: Sequence[str]) -> set[str]:
    """Which of the bar columns `names` hold (a date by any of its names)."""
    lowered = {str(name).strip().lower() for name in names}
    found = {c for c in PRICES if c.lower() in lowered}
    return found | ({"Date"} if lowered & {d.lower() for d in DATE_NAMES} else set())


def _frame_column(pd: Any, series: Any) -> tuple[Any, Zone | None]:
    """A DataFrame column (or index) as numpy cells: numbers as floats, datetimes as naive UTC
    datetime64 (and the zone of zoned ones), everything else as it is."""
    dtype = series.dtype
    if isinstance(dtype, pd.DatetimeTZDtype):
        series = series.dt.tz_convert("UTC").dt.tz_localize(None)
        return series.to_numpy(), normal_zone(dtype.tz)
    if pd.api.types.is_bool_dtype(dtype):
        return series.to_numpy(dtype=object), None
    if pd.api.types.is_numeric_dtype(dtype):
        return series.to_numpy(dtype=np.float64, na_value=np.nan), None
    cells = series.to_numpy()
    return cells, cells_zone(cells) if cells.dtype == object else None


def is_pandas_frame(source: Any) -> bool:
    pd = sys.modules.get("pandas")  # a DataFrame means pandas is loaded already
    return pd is not None and isinstance(source, pd.DataFrame)


def read_frame(
    frame: Any, label: str = "<DataFrame>", options: BarOptions = READ_AS_IS
) -> Bars:
    """Bars from a pandas DataFrame: Open, High, Low and Close columns in any letter case and
    the date in a column (Date, Datetime, Timestamp or Time, any case) or the DatetimeIndex;
    a zoned one keeps its zone. Rows in messages are positions, counted from 0."""
    import pandas as pd

    rows = RowNames(label, first_row=0)
    indexed = isinstance(frame.index, pd.DatetimeIndex)
    positions = column_positions(rows, None, list(frame.columns), date_elsewhere=indexed)
    columns = [_frame_column(pd, frame.iloc[:, positions[c]])[0] for c in PRICES]
    if "Date" in positions:
        dates, zone = _frame_column(pd, frame.iloc[:, positions["Date"]])
    else:
        dates, zone = _frame_column(pd, frame.index.to_series())
    return check_columns(rows, dates, *columns, zone=zone, options=options)


def read_records(array: Any, label: str = "<array>", options: BarOptions = READ_AS_IS) -> Bars:
    """Bars from a one-dimensional numpy structured array with fields Date (or Datetime,
    Timestamp, Time), Open, High, Low and Close, any letter case."""
    rows = RowNames(label, first_row=0, row_word="record")
    fields = array.dtype.names
    if fields is None or array.ndim != 1:
        raise rows.fail(None, None, "expected a one-dimensional structured array")
    positions = column_positions(rows, None, fields, word="field")
    return check_columns(rows, *(array[fields[positions[c]]] for c in COLUMNS), options=options)
