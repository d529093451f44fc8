"""One instrument's work, as an executor runs it: load its bars when given a file, run the
engine, and reduce the result to its row (with its chart, when asked for). Every failure
becomes the row's error."""

from __future__ import annotations

import os
import time
from dataclasses import dataclass, fields
from typing import Any

from torvex.kit import Bars, BarsError, RunResult, Settings, run
from torvex.kit.bars import BarOptions, read_bars

from .table import ScanRow, error_row, result_row

__all__ = ["ChartedRow", "Instrument", "run_instrument"]


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


@dataclass(frozen=True)
class ChartedRow(ScanRow):
    """A row and what its instrument's chart needs (`torvex.report`'s packed payload), as a
    worker returns it when the scan makes a report; the scan keeps the two apart."""

    chart: str = ""

    def row(self) -> ScanRow:
        return ScanRow(**{f.name: getattr(self, f.name) for f in fields(ScanRow)})


def run_instrument(instrument: Instrument, settings: Settings, chart: bool = False) -> ScanRow:
    """The instrument's row; with `chart`, a `ChartedRow` that also carries its chart."""
    started = time.perf_counter()
    try:
        if instrument.error is not None:
            raise BarsError(instrument.error)
        result = run(_load(instrument), settings, view=instrument.view)
        packed = _chart(instrument, result) if chart else None
    except BarsError as e:
        return error_row(instrument.symbol, str(e), time.perf_counter() - started)
    except Exception as e:  # one instrument's failure is its row's, never the scan's
        message = f"{type(e).__name__}: {e}"
        return error_row(instrument.symbol, message, time.perf_counter() - started)
    row = result_row(instrument.symbol, result, time.perf_counter() - started)
    if packed is None:
        return row
    return ChartedRow(**{f.name: getattr(row, f.name) for f in fields(row)}, chart=packed)


def _chart(instrument: Instrument, result: RunResult) -> str:
    from torvex.report.payload import encoded_chart

    return encoded_chart(result, instrument.symbol)


def _load(instrument: Instrument) -> Bars:
    if instrument.bars is not None:
        return read_bars(instrument.bars, instrument.options)
    if instrument.path is None:
        raise BarsError(f"{instrument.symbol}: no bars")
    return read_bars(os.fspath(instrument.path), instrument.options)
