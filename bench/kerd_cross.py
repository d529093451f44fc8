"""Bars per second of Kerd.is_kerd_bar_crosses_violated_if_merged on the host's objects.

    python3 bench/kerd_cross.py [--bars N] [--calls N]

The line reads its close and open series once per scanned bar: directly for the package's
torvex.series.Series, through the series' own __getitem__ for a plain Python series class.
The native model's figure comes from bench_kerd_cross.
"""

import argparse
import random
import time

import bench_paths  # noqa: F401  (first: the import paths)
from series_compare import compare_series

from torvex.dto.kerd import Kerd


def lines(series_type, closes, opens):
    bars = len(closes)
    close, open_ = series_type(closes), series_type(opens)
    self_line = Kerd(close, open_, None, None, bars - 1, None, bars - 1, 0.01, 0, 0, 0, 0,
                     100.0, 100.0, [99.0, 100.0, 101.0], 1.0)
    end_kerd = Kerd(close, open_, None, None, bars - 1, None, bars - 1, 0.01, bars - 1,
                    bars - 1, bars - 1, bars - 1, 100.5, 100.5, [100.5], 1.0)
    return self_line, end_kerd


def bars_per_second(self_line, end_kerd, calls):
    scan = self_line.is_kerd_bar_crosses_violated_if_merged
    start = time.perf_counter()
    for _ in range(calls):
        result = scan(end_kerd, 3, 3.0, 2.0, 1.0, 0)
    elapsed = time.perf_counter() - start
    return calls * (end_kerd.end_bar_index - self_line.end_bar_index) / elapsed, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bars", type=int, default=1024)
    parser.add_argument("--calls", type=int, default=2000)
    args = parser.parse_args()

    rng = random.Random(1)
    closes = [rng.uniform(95.0, 105.0) for _ in range(args.bars)]
    opens = [rng.uniform(95.0, 105.0) for _ in range(args.bars)]
    compare_series(
        lambda series_type: bars_per_second(*lines(series_type, closes, opens), args.calls), "bars"
    )


if __name__ == "__main__":
    main()
