"""One instrument's work, as an executor runs it: load its bars when given a file, run the
engine, and reduce the result to its row. Every failure becomes the row's error."""

from __future__ import annotations

import os
import time
from dataclasses import dataclass
from typing import Any

from torvex.kit import Bars, BarsError, Settings, run
from torvex.kit.bars import BarOptions, read_bars

from .table import ScanRow, error_row, result_row

__all__ = ["Instrument", "run_instrument"]


@dataclass(frozen=True)
class Instrument:
    """What an executor is handed: the bars themselves (or a frame of them), a file to read
    them from, or the reason they could not be had; how to read them, and the view to run
    them in (one of `torvex.kit.VIEWS`)."""

    symbol: str
    bars: Bars | Any = None
    path: str | None = None
    error: str | None = None
    view: str = "end"
    options: BarOptions = BarOptions()


def run_instrument(instrument: Instrument, settings: Settings) -> ScanRow:
    started = time.perf_counter()
    try:
        if instrument.error is not None:
            raise BarsError(instrument.error)
        result = run(_load(instrument), settings, view=instrument.view)
    except BarsError as e:
        return error_row(instrument.symbol, str(e), time.perf_counter() - started)
    except Exception as e:  # one instrument's failure is its row's, never the scan's
        message = f"{type(e).__name__}: {e}"
        return error_row(instrument.symbol, message, time.perf_counter() - started)
    return result_row(instrument.symbol, result, time.perf_counter() - started)


def _load(instrument: Instrument) -> Bars:
    if instrument.bars is not None:
        return read_bars(instrument.bars, instrument.options)
    if instrument.path is None:
        raise BarsError(f"{instrument.symbol}: no bars")
    return read_bars(os.fspath(instrument.path), instrument.options)
