"""`run` on the native model: the whole window loop in one call of torvex.native, the same
per-bar steps as `Driver.step`, with the results converted to the kit's records; and the
conversion of one window check's result, which the native stream shares."""

from __future__ import annotations

from collections import namedtuple
from types import SimpleNamespace
from typing import TYPE_CHECKING, Any

import numpy as np

from .bar_records import Dates
from .results import (
    Failure,
    Line,
    Pivot,
    Signal,
    failure_record,
    line_record,
    pivot_record,
    signal_record,
)

if TYPE_CHECKING:
    from .bar_columns import Bars
    from .indicators import HostInputs
    from .settings import Settings

__all__ = ["SnibFields", "check_records", "market_columns", "run_native"]

# a window and a failure's flags as torvex.native hands them back, named as the records are
_Window = namedtuple(
    "_Window",
    "break_kerd_at_price break_kerd_at_bar_index recover_at_bar_index "
    "break_kerd_extend_bar_cross bar_count_close_above_kerd vip_snib_count recovered",
)
_Flags = namedtuple(
    "_Flags",
    "violate_extend_bar_cross violate_recover_window violate_signal_window "
    "violate_search_range_close_above_bar_count",
)
# a pivot as torvex.native hands it back
SnibFields = namedtuple("SnibFields", "bar_index_at_pivot price is_high is_trending")


def check_records(
    bar: int, date: str, result: Any, first_form: bool, vvip_pivots: int
) -> tuple[Signal | None, Failure | None]:
    """The signal and the failure a window check's result, as torvex.native hands it back,
    makes on its bar: by the conditions `Driver.step` acts on."""
    if first_form:
        has_signal, judged, *flags, window = result
        if has_signal:
            return signal_record(bar, date, _Window(*window), window[5] >= vvip_pivots), None
        if judged:  # judged and failed; the form keeps no window
            return None, failure_record(bar, date, None, _Flags(*flags))
        return None, None
    failure, success = result
    if success is not None and success[0]:
        return signal_record(bar, date, _Window(*success[2]), success[1]), None
    if failure is not None:
        window = None if failure[5] is None else _Window(*failure[5])
        return None, failure_record(bar, date, window, _Flags(*failure[1:5]))
    return None, None


def market_columns(bars: Bars, inputs: HostInputs) -> dict[str, list[float]]:
    """Every column the native model's runs name, from the host inputs or else the bars."""
    from torvex import native

    def column(name: str) -> list[float]:
        source = inputs if hasattr(inputs, name) else bars
        return np.asarray(getattr(source, name), dtype=float).tolist()

    return {name: column(name) for name in native.MARKET_COLUMNS}


def run_native(
    bars: Bars, settings: Settings, inputs: HostInputs, live: bool = False
) -> tuple[list[Signal], list[Failure], list[Line], list[Pivot]]:
    """The whole run in one call of torvex.native; `live` for the live view."""
    from torvex import native

    outcomes, kerds, snibs = native.run_history(
        market_columns(bars, inputs),
        settings,
        settings.mintick,
        inputs.close_avg_percent.tolist(),
        settings,
        settings.check_form,
        all_bars=not settings.draw_from_recent,
        live=live,
    )
    dates = bars.dates
    if isinstance(dates, Dates):
        dates.prepare(
            [bar for bar, _ in outcomes]
            + [k[name] for k in kerds for name in ("start_bar_index", "end_bar_index")]
            + [snib[0] for snib in snibs]
        )
    signals: list[Signal] = []
    failures: list[Failure] = []
    first_form = settings.check_form == 1
    vvip_pivots = settings.vvip_kerd_min_snib_count
    for bar, result in outcomes:
        signal, failure = check_records(bar, dates[bar], result, first_form, vvip_pivots)
        if signal is not None:
            signals.append(signal)
        if failure is not None:
            failures.append(failure)
    lines = [line_record(SimpleNamespace(**kerd), dates) for kerd in kerds]
    pivots = sorted(
        (pivot_record(SnibFields(*snib), dates) for snib in snibs), key=lambda p: (p.bar, not p.is_high)
    )
    return signals, failures, lines, pivots
