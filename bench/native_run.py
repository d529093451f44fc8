"""Bars per second of whole-history runs on the native model, on the shared 5000-bar
benchmark market (bench/workload.py), against the pure-Python reference's 3.3 ms per bar on
this machine kind.

    PYTHONPATH=src python3 bench/native_run.py [--repeat N]

Two figures, each the best of --repeat runs:
- the native window loop over the workload's own host inputs (torvex.native.run_history with
  the thresholds of bench/host_loop.py): update, update_mavet, check_mavet_v3 and the commits;
- torvex.kit.run(engine="native") over the workload's bars with its engine settings: the whole
  call, with the kit's host inputs, the hand-over and the conversion of the results.
"""

import argparse
import time
import types

import numpy as np

import bench_paths  # noqa: F401  (first: the import paths)

from host_loop import (  # noqa: E402
    BAR_COUNT_CLOSE_ABOVE_KERD, CLOSE_ABOVE_KERD, CLOSE_ABOVE_LOW, CLOSE_ABOVE_RECOVER_LOW,
    LOW_ABOVE_KERD, SEARCH_RANGE, SIGNAL_WINDOW, TRAP, VVIP_MIN_SNIB_COUNT)
from workload import Workload  # noqa: E402

from torvex import native  # noqa: E402
from torvex.kit import Bars, Settings, run  # noqa: E402

REFERENCE_SECONDS_PER_BAR = 3.3e-3  # the pure-Python reference, measured on this machine kind


def best(repeat, call):
    """The least wall and processor time of `repeat` calls (the machine may be shared), and
    the last result."""
    walls, cpus = [], []
    for _ in range(repeat):
        wall, cpu = time.perf_counter(), time.process_time()
        out = call()
        cpus.append(time.process_time() - cpu)
        walls.append(time.perf_counter() - wall)
    return (min(walls), min(cpus)), out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=20)
    args = parser.parse_args()
    w = Workload()
    bars = len(w)
    market = w.market()
    thresholds = types.SimpleNamespace(
        trap_recover_window_threshold=TRAP, search_range=SEARCH_RANGE,
        low_above_kerd_threshold=LOW_ABOVE_KERD, close_above_kerd_threshold=CLOSE_ABOVE_KERD,
        signal_window=SIGNAL_WINDOW, close_above_low_threshold=CLOSE_ABOVE_LOW,
        close_above_recover_low_threshold=CLOSE_ABOVE_RECOVER_LOW,
        bar_count_close_above_kerd_threshold=BAR_COUNT_CLOSE_ABOVE_KERD,
        vvip_kerd_min_snib_count=VVIP_MIN_SNIB_COUNT)
    settings = Settings(**w.settings)
    seconds, (outcomes, lines, pivots) = best(args.repeat, lambda: native.run_history(
        market, settings, w.mintick, w.close_avg_percent, thresholds))
    signals = sum(1 for _, (failure, success) in outcomes if success is not None)
    report("native window loop", bars, seconds,
           f"{signals} signals, {len(outcomes) - signals} failures, {len(lines)} lines")

    days = np.busday_offset("2000-01-03", np.arange(bars), roll="forward")
    ohlc = Bars.from_arrays(days, w.open, w.high, w.low, w.close)
    kit_settings = settings.replace(search_range=SEARCH_RANGE, mintick=w.mintick)
    seconds, result = best(args.repeat, lambda: run(ohlc, kit_settings, engine="native"))
    report("kit.run, native", bars, seconds,
           f"{len(result.signals)} signals, {len(result.failures)} failures, "
           f"{len(result.lines)} lines")


def report(label, bars, seconds, counts):
    print(f"{label} ({counts}):")
    for kind, spent in zip(("wall", "processor"), seconds):
        per_bar = spent / bars
        print(f"  {kind:9s} {per_bar * 1e6:6.2f} us/bar = {bars / spent:10,.0f} bars/s, "
              f"{REFERENCE_SECONDS_PER_BAR / per_bar:6,.0f}x the pure-Python reference")


if __name__ == "__main__":
    main()
