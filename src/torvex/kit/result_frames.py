"""A run's records as pandas DataFrames (pandas is imported here only, when asked for)."""

from __future__ import annotations

import dataclasses
from typing import TYPE_CHECKING, Any, Sequence

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["records_frame"]


def records_frame(
    records: Sequence[Any], kind: type, extra: Sequence[str] = ()
) -> pd.DataFrame:
    """One row per record of dataclass `kind`, one column per field (then the `extra`
    properties); ISO date columns become datetimes, so that an empty frame has them too."""
    try:
        import pandas as pd
    except ImportError:
        raise ImportError(
            "result frames need pandas: pip install 'torvex[frames]'"
        ) from None
    names = [f.name for f in dataclasses.fields(kind)] + list(extra)
    frame = pd.DataFrame([[getattr(r, n) for n in names] for r in records], columns=names)
    for name in names:
        if name == "date" or name.endswith("_date"):
            frame[name] = pd.to_datetime(frame[name].replace("", None), format="ISO8601")
    return frame
