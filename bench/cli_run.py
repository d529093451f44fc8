"""Bars per second of a whole run, as `python3 -m torvex run` does it, on a long synthetic
daily series (default 100,000 bars).

    PYTHONPATH=src python3 bench/cli_run.py [--bars N] [--set name=value ...]

Reports the time to compute the host inputs and, per configuration, the time of the bar-by-bar
loop (series advance, update, update_mavet, check_mavet_v3, commits). The default settings take
pivots from the last 250 bars only, so most bars cost pivot intake and window upkeep; the second
configuration widens the recent window to make the line work (rebuilds, extension, windows)
cover the last 2,000 bars. Every bar with a new pivot rebuilds all lines from all recent pivots,
so the cost of the end window grows with the square of `bar_count_to_snib`: with 5,000 the same
series runs at about 5,000 bars/s.
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src"))

from torvex.kit import Settings, host_inputs, run, synthetic_bars  # noqa: E402
from torvex.kit.settings import parse_assignment  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bars", type=int, default=100_000)
    parser.add_argument("--set", dest="assignments", action="append", default=[])
    args = parser.parse_args()
    overrides = dict(parse_assignment(text) for text in args.assignments)

    started = time.perf_counter()
    bars = synthetic_bars(args.bars, seed=1, start="1700-01-01")
    print(f"{len(bars):,} synthetic daily bars made in {time.perf_counter() - started:.2f} s")

    base = Settings.from_mapping(overrides)
    started = time.perf_counter()
    host_inputs(bars.high, bars.low, bars.close, base)
    print(f"host inputs (pivots, trend, average range): {time.perf_counter() - started:.3f} s")

    configurations = [("given settings", base)]
    if "bar_count_to_snib" not in overrides:
        configurations.append(("bar_count_to_snib=1000", base.replace(bar_count_to_snib=1000)))
    for label, settings in configurations:
        started = time.perf_counter()
        result = run(bars, settings)
        total = time.perf_counter() - started
        print(
            f"{label}: loop {result.seconds:.2f} s = {len(bars) / result.seconds:,.0f} bars/s; "
            f"whole run {total:.2f} s = {len(bars) / total:,.0f} bars/s "
            f"({len(result.pivots)} pivots, {len(result.lines)} lines, "
            f"{len(result.signals)} signals, {len(result.failures)} failures)"
        )


if __name__ == "__main__":
    main()
