"""`run` on the native model: the whole window loop in one call of torvex.native, the same
per-bar steps as `Driver.step`, with the results converted to the kit's records."""

from __future__ import annotations

from collections import namedtuple
from types import SimpleNamespace
from typing import TYPE_CHECKING, Any

import numpy as np

from .bar_records import Dates
from .driver import Failure, Line, Pivot, Signal, _failure, _line, _pivot, _signal

if TYPE_CHECKING:
    from .bar_columns import Bars
    from .indicators import HostInputs
    from .settings import Settings

__all__ = ["run_native"]

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
_Snib = namedtuple("_Snib", "bar_index_at_pivot price is_high is_trending")


def run_native(
    bars: Bars, settings: Settings, inputs: HostInputs, live: bool = False
) -> tuple[list[Signal], list[Failure], list[Line], list[Pivot]]:
    """The run's signals, failures, final lines and pivots; in the live view with `live`
    (the data ends at each bar as it is stepped), else in the end view."""
    from torvex import native

    # every column the batch path names, from the host inputs or else the bars, as floats
    def column(name: str) -> list[float]:
        source = inputs if hasattr(inputs, name) else bars
        return np.asarray(getattr(source, name), dtype=float).tolist()

    market = {name: column(name) for name in native.MARKET_COLUMNS}
    first_form = settings.check_form == 1
    outcomes, kerds, snibs = native.run_history(
        market,
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
    for bar, result in outcomes:
        date = dates[bar]
        if first_form:
            has_signal, _, *flags, window = result
            if has_signal:
                vvip = window[5] >= settings.vvip_kerd_min_snib_count
                signals.append(_signal(bar, date, _Window(*window), vvip))
            else:
                failures.append(_failure(bar, date, None, _Flags(*flags)))
            continue
        failure, success = result
        if success is not None and success[0]:
            signals.append(_signal(bar, date, _Window(*success[2]), success[1]))
        else:
            window = None if failure[5] is None else _Window(*failure[5])
            failures.append(_failure(bar, date, window, _Flags(*failure[1:5])))
    lines = [_line(SimpleNamespace(**kerd), dates) for kerd in kerds]
    pivots = sorted(
        (_pivot(_Snib(*snib), dates) for snib in snibs), key=lambda p: (p.bar, not p.is_high)
    )
    return signals, failures, lines, pivots


