"""An engine's state without its series, to stop a backtrader run and resume it later.

The state holds the records (pivots, windows), each line's attributes, the window mapping, the
signals and failures so far, and what identifies the run: the settings, the last bar index and
the last bar taken (its time and close). The series are not in it: a resumed run takes the feed
again from its first bar, fills the series from it and drives the engine from the bar after
the saved one. Everything is plain data and records, so it pickles small.
"""

from __future__ import annotations

from dataclasses import astuple
from typing import Any

from torvex.kit.driver import Driver
from torvex.kit.engine_state import engine_state, put_engine_state
from torvex.kit.results import Failure, Signal

__all__ = ["STATE_VERSION", "StateError", "capture", "restore"]

STATE_VERSION = 1


class StateError(ValueError):
    """A state that cannot resume this run; the message is one line."""


def capture(driver: Driver, bar: int, time: float, close: float) -> dict[str, Any]:
    """A snapshot of the engine after bar `bar`; later bars do not change it."""
    engine = driver.engine
    return {
        "version": STATE_VERSION,
        "bar": bar,
        "time": time,
        "close": close,
        "last_bar_index": engine.last_bar_index,
        "settings": driver.settings.as_dict(),
        **engine_state(driver),
        # as plain tuples: a pickled dataclass repeats its field names on every instance
        "signals": [astuple(signal) for signal in driver.signals],
        "failures": [astuple(failure) for failure in driver.failures],
    }


def restore(driver: Driver, state: Any) -> int:
    """Put `state` into the fresh `driver`'s lists (copies: the state can resume other runs);
    returns the saved bar. StateError when the state is not one of this run."""
    if not isinstance(state, dict) or state.get("version") != STATE_VERSION:
        raise StateError("state= takes what TorvexLevels.state() returned")
    if state.get("view", "end") != "end":
        raise StateError("state= takes what TorvexLevels.state() returned in the end view")
    settings = driver.settings.as_dict()
    for name, value in state["settings"].items():
        if settings.get(name) != value:
            raise StateError(
                f"the state was saved with {name}={value!r}, this indicator has "
                f"{name}={settings.get(name)!r}"
            )
    last = driver.engine.last_bar_index
    if state["last_bar_index"] != last:
        raise StateError(
            f"the state was saved with last_bar_index={state['last_bar_index']}, this run has {last}"
        )
    if state["bar"] >= last:
        raise StateError(f"the state was saved after the last bar ({last}): nothing to resume")
    put_engine_state(driver, state)
    driver.signals.extend(Signal(*fields) for fields in state["signals"])
    driver.failures.extend(Failure(*fields) for fields in state["failures"])
    return int(state["bar"])
