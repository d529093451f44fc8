"""Reads per second of s[-k] on torvex.series.Series and on a plain list-backed series.

    python3 bench/series_read.py [--bars N] [--reads N]

Both are read from Python here, so the difference shown is only the indexing cost; the engine
reads torvex.series.Series without any Python call at all.
"""

import argparse
import random
import time

import bench_paths  # noqa: F401  (first: the import paths)
from plain_series import PlainSeries

from torvex.series import Series


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

    results = {}
    for name, series in (("torvex.series.Series", Series(values)), ("list-backed", PlainSeries(values))):
        rate, total = reads_per_second(series, offsets)
        results[name] = (rate, total)
        print(f"{name:22s} {rate / 1e6:8.2f} M reads/s")
    (fast, fast_total), (slow, slow_total) = results.values()
    assert fast_total == slow_total, "the two series read different values"
    print(f"{'speed-up':22s} {fast / slow:8.2f} x")


if __name__ == "__main__":
    main()
