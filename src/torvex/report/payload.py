"""What one instrument's chart needs, packed small: the bars, the final lines as segments, the
pivots, the signals and the failed recoveries of a run.

Prices travel as integers on the coarsest decimal grid that holds every price exactly (closes
as steps from the previous close, opens as gaps from it, highs and lows as wicks beyond the
body), so that dividing by the grid's power of ten in the browser gives back the very same
doubles; times as steps in their common unit (a day, a minute). These columns go as little-endian binary arrays of the
narrowest type that holds them (16 or 32-bit integers, else doubles), after a JSON head with
everything else; the whole is gzip-compressed and base64-encoded. A chart of 2500 daily bars
takes about 20 KB, and the browser inflates it only when the chart is drawn.
"""

from __future__ import annotations

import base64
import gzip
import json
import math
import struct
from typing import TYPE_CHECKING, Any

import numpy as np

from torvex.ticks import decimals

from .shapes import ChartBars, ChartLine, ChartRun

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["FORMAT", "chart_payload", "decode_chart", "encode_chart", "encoded_chart", "segment"]

FORMAT = 2  # bumped when the browser side must read the payload differently
_MOST_DECIMALS = 8
_DAY = 86_400


def segment(line: ChartLine) -> tuple[int, int]:
    """The bars a line's solid segment spans: from its first pivot (`start_bar_index`) to where
    the engine last carried it (`Line.reach`). Lines that merges left starting after that bar
    span the same two bars the other way round."""
    return min(line.start_bar, line.reach), max(line.start_bar, line.reach)


def chart_payload(result: ChartRun, name: str | None = None) -> dict[str, Any]:
    """The chart of `result`: plain JSON values, and numpy arrays for the bars' columns (see
    the module's description)."""
    bars = result.bars
    count = len(bars)
    payload: dict[str, Any] = {
        "format": FORMAT,
        "name": name if name is not None else bars.source,
        "view": str(getattr(result, "view", "end")),
        "digits": decimals(result.settings.mintick),
        "bars": count,
    }
    payload.update(_times(bars))
    payload.update(_prices(bars))
    payload["lines"] = [
        [_number(line.level), *segment(line), line.violated, len(line.pivots), line.crossings]
        for line in result.lines
    ]
    payload["pivots"] = [
        [pivot.bar, _number(pivot.price), pivot.is_high] for pivot in result.pivots
    ]
    payload["signals"] = [
        [s.bar, _number(s.level), s.vvip, s.break_bar, s.recover_bar, s.pivot_count]
        for s in result.signals
    ]
    payload["failures"] = [
        [f.bar, None if f.level is None else _number(f.level), list(f.reasons)]
        for f in result.failures
    ]
    return payload


def encode_chart(payload: dict[str, Any]) -> str:
    """The head as JSON after its length (4 bytes), then each array, 8-byte aligned; gzip (no
    time stamp, so equal charts give equal text), base64. Level 3 packs a chart within 3 % of
    level 6's size in a third of its time, which the scan's workers pay."""
    head = {k: v for k, v in payload.items() if not isinstance(v, np.ndarray)}
    arrays = [(k, v) for k, v in payload.items() if isinstance(v, np.ndarray)]
    head["arrays"] = []
    blocks = []
    for name, values in arrays:
        code = _narrowest(values)
        head["arrays"].append([name, code, len(values)])
        blocks.append(values.astype("<" + code).tobytes())
    text = json.dumps(head, separators=(",", ":"), allow_nan=False).encode()
    parts = [struct.pack("<I", len(text)), text]
    at = 4 + len(text)
    for block in blocks:
        parts += [bytes(-at % 8), block]
        at += -at % 8 + len(block)
    packed = gzip.compress(b"".join(parts), compresslevel=3, mtime=0)
    return base64.b64encode(packed).decode()


def decode_chart(text: str) -> dict[str, Any]:
    """The payload `encode_chart` packed, its arrays as numpy arrays."""
    raw = gzip.decompress(base64.b64decode(text))
    (length,) = struct.unpack_from("<I", raw)
    payload: dict[str, Any] = json.loads(raw[4 : 4 + length])
    at = 4 + length
    for name, code, count in payload.pop("arrays"):
        at += -at % 8
        payload[name] = np.frombuffer(raw, dtype="<" + code, count=count, offset=at)
        at += payload[name].nbytes
    return payload


def _narrowest(values: NDArray[Any]) -> str:
    """The smallest type that holds `values` exactly: 16 or 32-bit integers, else doubles
    (whole numbers beyond 32 bits stay exact as doubles, being under 2**53 here)."""
    if values.dtype.kind == "i" and len(values):
        low, high = int(values.min()), int(values.max())
        for code, kind in (("i2", np.int16), ("i4", np.int32)):
            if np.iinfo(kind).min <= low and high <= np.iinfo(kind).max:
                return code
    elif values.dtype.kind == "i":
        return "i2"
    return "f8"


def encoded_chart(result: ChartRun, name: str | None = None) -> str:
    return encode_chart(chart_payload(result, name))


def _number(value: float) -> float | None:
    return float(value) if math.isfinite(value) else None


def _times(bars: ChartBars) -> dict[str, Any]:
    """Seconds since 1970 as a first time and steps; where the bars' moments are not strictly
    increasing whole seconds from 1970 on (a zone's clock turned back, say), the dates' text
    instead, and the browser counts bars."""
    seconds = _seconds(bars)
    if seconds is not None and len(seconds) and seconds[0] >= 0:
        steps = np.diff(seconds)
        if not len(steps) or steps.min() > 0:
            # in the steps' common unit (a day, a minute): small numbers pack small
            unit = int(np.gcd.reduce(steps)) if len(steps) else 1
            daily = not (seconds % _DAY).any()
            return {"time0": int(seconds[0]), "unit": unit, "time": steps // unit, "daily": daily}
    return {"time": None, "dates": [str(d) for d in bars.dates]}


def _seconds(bars: ChartBars) -> NDArray[np.int64] | None:
    """The bars' moments on the source's own clock (its zone's wall clock where it had one,
    as the chart shows them), in whole seconds from 1970."""
    moments = getattr(bars.dates, "local", getattr(bars.dates, "moments", None))
    try:
        if moments is None:
            moments = np.array([str(d) for d in bars.dates], dtype="datetime64[us]")
        return moments.astype("datetime64[s]").astype(np.int64)  # type: ignore[no-any-return]
    except (TypeError, ValueError):
        return None


def _prices(bars: ChartBars) -> dict[str, Any]:
    columns = (bars.open, bars.high, bars.low, bars.close)
    o, h, lo, c = (np.asarray(a, dtype=np.float64) for a in columns)
    digits = _grid(o, h, lo, c)
    if digits is None:  # no decimal grid holds them: the doubles themselves
        return {"scale": None, **dict(zip("ohlc", (o, h, lo, c)))}
    power = 10.0**digits
    oi, hi, li, ci = (np.rint(a * power).astype(np.int64) for a in (o, h, lo, c))
    # small numbers compress best: the close's step, the open's gap from the previous close,
    # and the wicks beyond the body
    return {
        "scale": digits,
        "close0": int(ci[0]) if len(ci) else 0,
        "c": np.diff(ci),
        "o": oi - np.concatenate(([0], ci[:-1])),
        "h": hi - np.maximum(oi, ci),
        "l": np.minimum(oi, ci) - li,
    }


def _grid(*columns: NDArray[np.float64]) -> int | None:
    """The fewest decimals d such that every price p is exactly rint(p * 10^d) / 10^d, the
    division the browser makes; None when no d up to eight will do."""
    for digits in range(_MOST_DECIMALS + 1):
        power = 10.0**digits
        for column in columns:
            scaled = np.rint(column * power)
            if np.abs(scaled).max(initial=0.0) >= 2.0**52 or not np.array_equal(
                scaled / power, column
            ):
                break
        else:
            return digits
    return None
