"""A run's records as DataFrames, pandas or polars (imported here only, when asked for).

Levels are rounded to the run's tick, as everywhere they are shown; date columns are real
times, taken from the bars' own moments, in the bars' time zone when they had one.
"""

from __future__ import annotations

import dataclasses
from typing import TYPE_CHECKING, Any, Sequence

import numpy as np

from .bar_dates import moments_from_cells
from .bar_records import Dates
from .bar_zones import zone_name
from .levels import round_to_tick

if TYPE_CHECKING:
    from .bar_columns import Bars

__all__ = ["BACKENDS", "frame_backend", "records_frame"]

BACKENDS = ("auto", "pandas", "polars")
# the bar each date column is the date of
_BAR_OF = {"date": "bar", "start_date": "start_bar", "end_date": "end_bar"}
_LEVELS = ("level",)


def frame_backend(backend: str, bars: Bars | None = None) -> str:
    """The library a frame is made with: `backend`, or for "auto" the one the bars came in
    (polars for polars input, pandas otherwise)."""
    if backend not in BACKENDS:
        raise ValueError(f"backend must be one of {', '.join(BACKENDS)}, not {backend!r}")
    if backend == "auto":
        return getattr(bars, "backend", "pandas") if bars is not None else "pandas"
    return backend


def records_frame(
    records: Sequence[Any],
    kind: type,
    bars: Bars,
    tick: float,
    extra: Sequence[str] = (),
    backend: str = "auto",
) -> Any:
    """One row per record of dataclass `kind`, one column per field (then the `extra`
    properties), in the library `backend` picks."""
    library = frame_backend(backend, bars)
    fields = {f.name: str(f.type) for f in dataclasses.fields(kind)}
    names = list(fields) + list(extra)
    columns: dict[str, Any] = {n: [getattr(r, n) for r in records] for n in names}
    for name in _LEVELS:
        if name in columns:
            columns[name] = [round_to_tick(v, tick) for v in columns[name]]
    dates = {
        name: _moments(bars, columns[_BAR_OF[name]] if _BAR_OF.get(name) in columns else None,
                       columns[name])
        for name in names
        if name == "date" or name.endswith("_date")
    }
    zone = bars.dates.zone if isinstance(bars.dates, Dates) else None
    if library == "polars":
        return _polars(columns, fields, dates, zone)
    return _pandas(columns, dates, zone)


def _moments(bars: Bars, positions: list[int] | None, texts: list[str]) -> np.ndarray:
    """UTC moments of a date column: the bars' own by position, else read from the texts;
    NaT where there is no date."""
    if isinstance(bars.dates, Dates) and positions is not None:
        at = np.asarray(positions, dtype=np.int64)
        inside = (at >= 0) & (at < len(bars.dates))
        moments = bars.dates.moments[np.where(inside, at, 0)].copy()
        moments[~inside] = np.datetime64("NaT", "us")
        return moments
    moments = np.full(len(texts), np.datetime64("NaT", "us"))
    for i, text in enumerate(texts):
        if text:
            moments[i] = moments_from_cells([text])[0][0]
    return moments


def _pandas(columns: dict[str, Any], dates: dict[str, np.ndarray], zone: Any) -> Any:
    try:
        import pandas as pd
    except ImportError:
        raise ImportError("result frames need pandas: pip install 'torvex[frames]'") from None
    frame = pd.DataFrame(columns)
    for name, moments in dates.items():
        stamps = pd.DatetimeIndex(moments)
        if zone is not None:
            stamps = stamps.tz_localize("UTC").tz_convert(zone)
        frame[name] = stamps
    return frame


_POLARS_TYPES = {
    "int": "Int64",
    "float": "Float64",
    "float | None": "Float64",
    "bool": "Boolean",
    "str": "String",
}


def _polars(
    columns: dict[str, Any], fields: dict[str, str], dates: dict[str, np.ndarray], zone: Any
) -> Any:
    try:
        import polars as pl
    except ImportError:
        raise ImportError("polars frames need polars: pip install 'torvex[polars]'") from None

    def kind(name: str) -> Any:
        annotation = fields.get(name, "int")  # an extra property: a bar index
        if annotation.startswith("tuple["):
            return pl.List(pl.Float64 if "float" in annotation else pl.String)
        return getattr(pl, _POLARS_TYPES[annotation])

    series = []
    for name, values in columns.items():
        if name in dates:
            one = pl.Series(name, dates[name], dtype=pl.Datetime("us"))
            if zone is not None:
                one = one.dt.replace_time_zone("UTC").dt.convert_time_zone(zone_name(zone))
        else:
            one = pl.Series(name, [list(v) if isinstance(v, tuple) else v for v in values],
                            dtype=kind(name))
        series.append(one)
    return pl.DataFrame(series)
