"""Instruments per second of a whole-universe scan, on every executor, in one run: a process
pool of 1 job, a pool of all cores, and a local Dask cluster of one worker per core.

    PYTHONPATH=src python3 bench/scan_universe.py [--instruments 200] [--bars 2500] [--repeat 3]

The universe is seeded synthetic daily bars of different volatilities, held in memory and sent
to the workers (no file reading is timed). Each figure is the best wall time of `--repeat`
scans; the pool's worker server and the Dask cluster are started before timing (their start is
reported apart), as a long-lived scanning process pays them once. Every executor's table is
checked to equal the 1-job table.
"""

import argparse
import dataclasses
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src"))

from torvex.kit import synthetic_universe  # noqa: E402
from torvex.scan import cores as usable_cores, scan  # noqa: E402
from torvex.scan.cluster import local_cluster  # noqa: E402


def best(repeat, **executor):
    times, table = [], None
    for _ in range(repeat):
        table = scan(UNIVERSE, **executor)
        times.append(table.seconds)
        assert not table.failed, table.failed[0]
    return min(times), table


def timeless(table):
    return [dataclasses.replace(row, seconds=0.0) for row in table.rows]


def main() -> None:
    global UNIVERSE
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--instruments", type=int, default=200)
    parser.add_argument("--bars", type=int, default=2500)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--seed", type=int, default=11)
    args = parser.parse_args()
    cores = usable_cores()

    started = time.perf_counter()
    UNIVERSE = synthetic_universe(args.instruments, bars=args.bars, seed=args.seed)
    made = time.perf_counter() - started
    total_bars = args.instruments * args.bars
    print(
        f"universe: {args.instruments} instruments x {args.bars} bars (seed {args.seed}), "
        f"made in {made:.1f} s; {cores} cores; best of {args.repeat}"
    )
    started = time.perf_counter()
    scan(dict(list(UNIVERSE.items())[:cores]), jobs=cores)
    print(f"pool worker server and first pool started in {time.perf_counter() - started:.2f} s")

    print(f"{'executor':<34} {'wall s':>7} {'instruments/s':>14} {'bars/s':>12}")

    def report(label, seconds):
        print(
            f"{label:<34} {seconds:>7.3f} {args.instruments / seconds:>14,.1f} "
            f"{total_bars / seconds:>12,.0f}"
        )

    seconds, reference = best(args.repeat, jobs=1)
    report("process pool, 1 job", seconds)
    seconds, table = best(args.repeat, jobs=cores)
    assert timeless(table) == timeless(reference), "the pool's job count changed a row"
    report(f"process pool, {cores} jobs", seconds)

    started = time.perf_counter()
    with local_cluster(cores) as cluster:
        start = time.perf_counter() - started
        seconds, table = best(args.repeat, scheduler=cluster.scheduler_address)
    assert timeless(table) == timeless(reference), "Dask changed a row"
    report(f"local Dask cluster, {cores} workers", seconds)
    print(f"(the Dask cluster started in {start:.2f} s, not counted)")


if __name__ == "__main__":
    main()
