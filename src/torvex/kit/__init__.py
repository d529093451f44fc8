"""Host kit: everything needed to drive the engine without a trading framework.

* `ensure_host_modules` makes the host modules the engine imports available (the host's own
  when present, the package's stand-ins otherwise);
* `Settings` holds the engine's settings, the per-bar window thresholds and the kit's own
  lengths, with defaults for daily bars;
* `host_inputs` (and `pivot_highs`, `pivot_lows`, `trend_flags`, `close_avg_percent`) compute
  the per-bar inputs a host hands the engine from plain OHLC arrays;
* `load_bars` reads and checks bars from CSV, .npz or Parquet files, pandas and polars
  DataFrames, Arrow tables and numpy structured arrays; `sample_bars` is the embedded data set;
* `run` drives one engine over the bars and collects lines, signals and failures, in the end
  view (as of the last bar) or the live view (as of each bar in turn); `Driver` is its per-bar
  step, shared by every way of running the engine;
* `Stream` takes one instrument's bars one at a time, as a live source gives them, with each
  bar's outcome as the live view has it;
* `nearest_levels` picks support and resistance around a price from a set of lines;
* `synthetic_universe` makes many seeded instruments of different volatilities.
"""

from __future__ import annotations

from importlib import resources

from .bar_files import read_csv
from .bars import Bars, BarsError, Dates, load_bars, synthetic_bars
from .driver import Driver, EngineSeries, run
from .host import ensure_host_modules
from .indicators import (
    HostInputs,
    close_avg_percent,
    host_inputs,
    pivot_highs,
    pivot_lows,
    trend_flags,
)
from .levels import Level, nearest_levels
from .results import FAILURE_REASONS, VIEWS, Failure, Line, Pivot, RunResult, Signal
from .settings import Settings, SettingsError, as_settings
from .stream import Outcome, Stream
from .universe import synthetic_universe

__all__ = [
    "Bars",
    "BarsError",
    "Dates",
    "Driver",
    "EngineSeries",
    "FAILURE_REASONS",
    "Failure",
    "HostInputs",
    "Level",
    "Line",
    "Pivot",
    "RunResult",
    "SAMPLE_NAME",
    "Settings",
    "SettingsError",
    "Signal",
    "as_settings",
    "Stream",
    "Outcome",
    "VIEWS",
    "close_avg_percent",
    "ensure_host_modules",
    "host_inputs",
    "load_bars",
    "nearest_levels",
    "pivot_highs",
    "pivot_lows",
    "run",
    "sample_bars",
    "synthetic_bars",
    "synthetic_universe",
    "trend_flags",
]

SAMPLE_NAME = "sample_daily.csv"


def sample_bars() -> Bars:
    """The embedded data set: 2500 synthetic daily bars (a seeded random walk, not market
    data), shipped with the package."""
    source = resources.files("torvex") / "data" / SAMPLE_NAME
    with resources.as_file(source) as path:
        return read_csv(path, label=f"{SAMPLE_NAME} (synthetic)")
