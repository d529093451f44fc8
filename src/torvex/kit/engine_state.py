"""An engine's state without its series, taken from a `Driver` and put into a fresh one.

The state is the records (pivots, windows), each line's attributes and the window mapping: all
that the engine keeps outside its series, as copies, so that later bars change nothing in it.
A line's series are the engine's own; a fresh driver's lines get that driver's series. The
stream copies and pickles the Python model with it; the backtrader indicator's `state()` is it
plus what identifies the run.
"""

from __future__ import annotations

import copy
import sys
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .driver import Driver

__all__ = ["engine_state", "put_engine_state"]

# a line's series are the engine's own; everything else on it is its state
_LINE_SERIES = ("close", "open", "high", "low", "time")
# the line constructor's arguments after its eight base values
_LINE_REQUIRED = (
    "start_bar_index",
    "end_bar_index",
    "start_time",
    "end_time",
    "kerd_value",
    "kerd_accum_value",
    "snib_values",
    "close_avg_percent",
)


def engine_state(driver: Driver) -> dict[str, Any]:
    """Copies of what `driver`'s engine keeps outside its series: plain values and records,
    picklable."""
    return {
        "kerds": [
            {name: copy.copy(v) for name, v in vars(kerd).items() if name not in _LINE_SERIES}
            for kerd in driver.kerds
        ],
        "vip_snibs": [snib.copy() for snib in driver.vip_snibs],
        "new_vip_snibs": [snib.copy() for snib in driver.new_vip_snibs],
        "mavets": [mavet.copy() for mavet in driver.mavets],
        "latest_mavets": dict(driver.latest_mavets),
    }


def put_engine_state(driver: Driver, state: dict[str, Any]) -> None:
    """Fill the fresh `driver`'s lists with copies of `state` (which can fill others after),
    its lines made over the driver's own series."""
    kerd_class = sys.modules["torvex.dto.kerd"].Kerd
    series = driver.series
    for saved in state["kerds"]:
        kerd = kerd_class(
            series.close,
            series.open,
            series.high,
            series.low,
            saved["bar_index"],
            series.time,
            saved["last_bar_index"],
            saved["mintick"],
            *(copy.copy(saved[name]) for name in _LINE_REQUIRED),
        )
        for name, value in saved.items():
            setattr(kerd, name, copy.copy(value))
        driver.kerds.append(kerd)
    driver.vip_snibs.extend(snib.copy() for snib in state["vip_snibs"])
    driver.new_vip_snibs.extend(snib.copy() for snib in state["new_vip_snibs"])
    driver.mavets.extend(mavet.copy() for mavet in state["mavets"])
    driver.latest_mavets.update(state["latest_mavets"])
