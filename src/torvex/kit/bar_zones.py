"""Time zones of bar dates: the zone a source's dates carry, and the wall-clock moments in it.

The kit keeps every bar's moment in UTC (what the engine's intraday times count from) and the
source's zone beside it, when it had one: a pandas, polars or Arrow column of zoned times, or
`datetime` objects that all carry one zone. Texts, frames and charts then show the bars as the
source did: an 11:10 New York bar stays 11:10, with its offset. Text cells with offsets are
read as UTC: one offset each is no zone.
"""

from __future__ import annotations

import datetime as dt
import re
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["Zone", "cells_zone", "local_moments", "offset_text", "zone_from_name", "zone_name"]

Zone = dt.tzinfo
_UTC_EPOCH = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc)
_HOUR_US = 3_600_000_000
_OFFSET = re.compile(r"^(?:UTC)?([+-])(\d{1,2}):?(\d{2})$")


def zone_from_name(name: str) -> Zone:
    """The zone an Arrow or polars column names: an IANA name or a fixed ``+hh:mm`` offset."""
    fixed = _OFFSET.match(name.strip())
    if fixed:
        sign, hours, minutes = fixed.groups()
        offset = dt.timedelta(hours=int(hours), minutes=int(minutes))
        return dt.timezone(-offset if sign == "-" else offset)
    from zoneinfo import ZoneInfo

    return ZoneInfo(name)


def zone_name(zone: Zone) -> str:
    """The zone's name as Arrow and polars take it: its IANA key, or ``+hh:mm``."""
    if isinstance(zone, dt.timezone):
        offset = zone.utcoffset(None)
        return "UTC" if not offset else offset_text(offset // dt.timedelta(microseconds=1))
    for attribute in ("key", "zone"):  # zoneinfo's, pytz's
        name = getattr(zone, attribute, None)
        if isinstance(name, str):
            return name
    return str(zone)


def normal_zone(zone: Any) -> Zone:
    """A pandas or datetime zone as a `zoneinfo` zone where it has an IANA name (pytz's zones
    are one object per offset), else as it is."""
    if isinstance(zone, dt.timezone) or type(zone).__module__ == "zoneinfo":
        return zone  # type: ignore[no-any-return]
    name = zone_name(zone)
    try:
        return zone_from_name(name)
    except (ValueError, KeyError, OSError):  # no such IANA name: the object itself will do
        return zone  # type: ignore[no-any-return]


def cells_zone(cells: Any) -> Zone | None:
    """The zone of a column of `datetime` cells (pandas' Timestamps are some) when every cell
    carries one and it is the same for all; None otherwise."""
    values = cells.tolist() if isinstance(cells, np.ndarray) else cells
    if not len(values) or not isinstance(values[0], dt.datetime) or values[0].tzinfo is None:
        return None
    name = zone_name(values[0].tzinfo)
    for value in values:
        if not isinstance(value, dt.datetime) or value.tzinfo is None:
            return None
        if value.tzinfo is not values[0].tzinfo and zone_name(value.tzinfo) != name:
            return None
    return normal_zone(values[0].tzinfo)


def _offset_us(micros: int, zone: Zone) -> int:
    local = (_UTC_EPOCH + dt.timedelta(microseconds=micros)).astimezone(zone)
    offset = local.utcoffset()
    return 0 if offset is None else offset // dt.timedelta(microseconds=1)


def local_moments(moments: NDArray[np.datetime64], zone: Zone) -> NDArray[np.datetime64]:
    """UTC moments as wall-clock moments in `zone` (NaT stays NaT). The offset is asked once
    per hour the moments fall in, at the hour's start and end; the rule that keeps this exact:
    where the two differ a transition lies inside, and each moment of that hour is asked on
    its own."""
    micros = moments.astype("datetime64[us]").view(np.int64)
    valid = ~np.isnat(moments)
    hours = np.where(valid, micros, 0) // _HOUR_US
    unique, inverse = np.unique(hours, return_inverse=True)
    starts = [_offset_us(int(h) * _HOUR_US, zone) for h in unique]
    ends = [_offset_us(int(h) * _HOUR_US + _HOUR_US - 1, zone) for h in unique]
    offsets = np.array(starts, dtype=np.int64)[inverse.reshape(-1)]
    for k in np.flatnonzero(np.array(starts) != np.array(ends)):
        for i in np.flatnonzero((inverse.reshape(-1) == k) & valid):
            offsets[i] = _offset_us(int(micros[i]), zone)
    local = (micros + offsets).view("datetime64[us]")
    local[~valid] = np.datetime64("NaT", "us")
    return local


def offset_text(offset_us: int) -> str:
    """``+hh:mm`` (``+hh:mm:ss`` for the rare offset of seconds) of an offset in microseconds."""
    sign = "-" if offset_us < 0 else "+"
    seconds = abs(int(offset_us)) // 1_000_000
    hours, rest = divmod(seconds, 3600)
    minutes, seconds = divmod(rest, 60)
    return f"{sign}{hours:02d}:{minutes:02d}" + (f":{seconds:02d}" if seconds else "")
