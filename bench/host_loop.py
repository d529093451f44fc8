"""A host's full per-bar loop through torvex.dto.torvex (the Python object model) over the
shared benchmark market (bench/workload.py): update, update_mavet, check_mavet_v3 and the
commit of each signal, with search_range 10 and trap_recover_window_threshold 5, on the
package's series and on plain Python series.

    python3 bench/host_loop.py [--bars N] [--series package|plain|both] [--repeat N]

Reports microseconds per bar of the engine calls averaged over the whole run (the best of
--repeat runs; the host's advancing of its series is not timed) and the signal and failure
counts, which match the native loop's (bench/host_loop.cpp) on the same market.
"""

import argparse
import time

import bench_paths  # noqa: F401  (first: the import paths)
from settings import Settings
from plain_series import PlainSeries
from workload import Workload

from torvex.dto.torvex import Torvex
from torvex.series import Series

# The window thresholds of the loop, as bench/host_loop.cpp passes them.
SEARCH_RANGE = 10
TRAP = 5
LOW_ABOVE_KERD = 0.5
CLOSE_ABOVE_KERD = 0.2
SIGNAL_WINDOW = 10
CLOSE_ABOVE_LOW = 0.5
CLOSE_ABOVE_RECOVER_LOW = 0.5
BAR_COUNT_CLOSE_ABOVE_KERD = 5
VVIP_MIN_SNIB_COUNT = 3


def make_series(kind, values):
    return Series(values, visible=1) if kind == "package" else PlainSeries(values, visible=1)


def advance(kind, series, bar):
    if kind == "package":
        for s in series:
            s.advance()
    else:
        for s in series:
            s.current = bar


def run(workload, kind, bars=None, clock=time.perf_counter):
    """Runs the loop; returns (seconds in engine calls by `clock`, signals, failures)."""
    w = workload
    series = [make_series(kind, list(c)) for c in w.columns()]
    close, open_, high, low, times, nh, nl, th, tl, trend = series
    mavets = []
    engine = Torvex(Settings(**w.settings), [], [], [], mavets, nh, nl, th, tl, {}, close,
                    open_, high, low, 0, times, len(w) - 1, w.mintick)
    update, update_mavet = engine.update, engine.update_mavet
    check, commit = engine.check_mavet_v3, engine.commit_latest_mavet
    caps = w.close_avg_percent
    spent, signals, failures = 0.0, 0, 0
    for bar in range(len(w) if bars is None else bars):
        if bar:
            advance(kind, series, bar)
        engine.bar_index = bar
        cap = caps[bar]
        start = clock()
        update(trend, cap)
        if bar >= SEARCH_RANGE:
            update_mavet(TRAP, SEARCH_RANGE, LOW_ABOVE_KERD, cap)
        if mavets:
            result = check(cap, CLOSE_ABOVE_KERD, TRAP, SIGNAL_WINDOW, CLOSE_ABOVE_LOW,
                           CLOSE_ABOVE_RECOVER_LOW, BAR_COUNT_CLOSE_ABOVE_KERD,
                           VVIP_MIN_SNIB_COUNT)
            if result.is_kerd_satisfied():
                commit(result.success.mavet.break_kerd_at_price)
                signals += 1
            elif result.recovery_failed():
                failures += 1
        spent += clock() - start
    return spent, signals, failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bars", type=int, default=None)
    parser.add_argument("--series", choices=["package", "plain", "both"], default="both")
    parser.add_argument("--repeat", type=int, default=1, help="report the best of this many runs")
    args = parser.parse_args()
    workload = Workload()
    kinds = ["package", "plain"] if args.series == "both" else [args.series]
    for kind in kinds:
        spent, signals, failures = min(run(workload, kind, args.bars)
                                       for _ in range(max(args.repeat, 1)))
        bars = args.bars or len(workload)
        print(f"host loop, {kind} series: {spent / bars * 1e6:8.2f} us/bar over {bars} bars "
              f"({bars / spent:,.0f} bars/s), {signals} signals, {failures} failures")


if __name__ == "__main__":
    main()
