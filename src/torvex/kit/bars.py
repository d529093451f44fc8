"""OHLC bars: loading them from files, DataFrames and arrays, and making synthetic ones.

The records and checks live below the readers: `Bars` and its checks in `bar_columns`, the
error and the dates in `bar_records`; this module picks the reader for a source.

Bar times handed to the engine are integers: ``YYYYMMDD`` when every bar is a whole day (so
debug windows can be written as dates), otherwise Unix seconds (UTC for naive times), which the
engine's 32-bit record fields take up to 2038-01-19.
"""

from __future__ import annotations

import datetime as dt
import math
import os
from typing import Any

import numpy as np

from .bar_arrow import is_arrow_source, is_polars_frame, read_arrow
from .bar_columns import COLUMNS, Bars
from .bar_files import read_csv, read_npz, read_parquet
from .bar_records import BarOptions, BarsError, Dates
from .bar_tables import is_pandas_frame, read_frame, read_records

__all__ = [
    "BarOptions",
    "Bars",
    "BarsError",
    "COLUMNS",
    "Dates",
    "load_bars",
    "read_bars",
    "synthetic_bars",
]


def load_bars(
    source: Any,
    *,
    date_format: str | None = None,
    delimiter: str | None = None,
    clip: bool = False,
) -> Bars:
    """Bars from a CSV, .npz or Parquet file, a pandas or polars DataFrame, anything with the
    Arrow PyCapsule interface (a pyarrow Table, ...) or a numpy structured array (columns
    Date, Open, High, Low and Close in any letter case; the date may also be named Datetime,
    Timestamp or Time, or be a DataFrame's DatetimeIndex). `Bars` pass through.

    Dates are ISO 8601 (or datetimes, or Unix times); others need their ``strptime`` format,
    `date_format` (``"%m/%d/%Y"``): they are never guessed. `delimiter` is a CSV file's (by
    default whichever of ``, ; tab |`` makes the header's columns). A bar whose open or close
    lies outside its low..high is refused unless `clip`, which moves them inside and counts
    the bars it changed in `Bars.clipped`."""
    options = BarOptions(date_format=date_format, delimiter=delimiter, clip=clip)
    return read_bars(source, options)


def read_bars(source: Any, options: BarOptions) -> Bars:
    """`load_bars` with its options in one record."""
    if isinstance(source, Bars):
        return source
    if isinstance(source, np.ndarray):
        return read_records(source, options=options)
    if isinstance(source, (str, os.PathLike)):
        name = os.fspath(source).lower()
        if name.endswith(".npz"):
            return read_npz(source, options=options)
        if name.endswith((".parquet", ".pq")):
            return read_parquet(source, options=options)
        return read_csv(source, options=options)
    if is_pandas_frame(source):
        return read_frame(source, options=options)
    if is_polars_frame(source) or is_arrow_source(source):
        return read_arrow(source, options=options)
    raise TypeError(
        "bars must be Bars, a file path, a pandas or polars DataFrame, an Arrow table or a "
        f"numpy structured array, not {type(source).__name__}"
    )


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
