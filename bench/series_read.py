"""Reads per second of s[-k] on torvex.series.Series and on a plain list-backed series.

    python3 bench/series_read.py [--bars N] [--reads N]

Both are read from Python here, so the difference shown is only the indexing cost; the engine
reads torvex.series.Series without any Python call at all.
"""

import argparse
import random
import time

import bench_paths  # noqa: F401  (first: the import paths)
from series_compare import compare_series



def reads_per_second(series, offsets):
    start = time.perf_counter()
    total = 0.0
    for k in offsets:
        total += series[k]
    elapsed = time.perf_counter() - start
    return len(offsets) / elapsed, total


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bars", type=int, default=10_000)
    parser.add_argument("--reads", type=int, default=1_000_000)
    args = parser.parse_args()

    rng = random.Random(1)
    values = [rng.uniform(90.0, 110.0) for _ in range(args.bars)]
    offsets = [-rng.randrange(args.bars) for _ in range(args.reads)]

    compare_series(
        lambda series_type: reads_per_second(series_type(values), offsets), "reads", "list-backed"
    )


if __name__ == "__main__":
    main()
