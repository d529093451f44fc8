"""Wall time of a whole-universe scan in the live view beside the end view, in one run: in
memory through `torvex.scan.scan` on a process pool of every core, and from files through the
command line.

    PYTHONPATH=src python3 bench/scan_live.py [--instruments 200] [--bars 2500] [--repeat 3]

The universe is seeded synthetic daily bars (`torvex.kit.synthetic_universe`). In memory, each
figure is the best wall time of `--repeat` scans, the pool's worker server started before
timing as a long-lived process has it. From files, the universe is written as one CSV per
instrument and `python3 -m torvex scan DIR --jobs N --out table.csv` runs as a user runs it,
start-up and reading included (best of `--repeat`). The live and the end tables must differ
and each must have no failed row.
"""

import argparse
import dataclasses
import os
import subprocess
import sys
import tempfile
import time

import bench_paths  # noqa: F401  (first: the import paths)

from torvex.kit import synthetic_universe
from torvex.scan import cores as usable_cores
from torvex.scan import scan


def write_universe(universe, folder):
    for symbol, bars in universe.items():
        rows = zip(bars.dates, *(a.tolist() for a in (bars.open, bars.high, bars.low, bars.close)))
        with open(os.path.join(folder, f"{symbol}.csv"), "w") as f:
            f.write("Date,Open,High,Low,Close\n")
            f.writelines(",".join(map(str, row)) + "\n" for row in rows)


def command_seconds(folder, out, view, jobs, repeat):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path[:2]))
    best = float("inf")
    for _ in range(repeat):
        started = time.perf_counter()
        subprocess.run([sys.executable, "-m", "torvex", "scan", folder, "--view", view,
                        "--jobs", str(jobs), "--out", out], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        best = min(best, time.perf_counter() - started)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--instruments", type=int, default=200)
    parser.add_argument("--bars", type=int, default=2500)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    jobs = usable_cores()
    universe = synthetic_universe(args.instruments, bars=args.bars, seed=11)
    scan(dict(list(universe.items())[:jobs]), jobs=jobs)  # the pool's worker server
    print(f"{args.instruments} instruments x {args.bars} bars, process pool of {jobs} jobs, "
          f"best of {args.repeat}; wall seconds")
    tables = {}
    for view in ("end", "live"):
        best = float("inf")
        for _ in range(args.repeat):
            table = scan(universe, jobs=jobs, view=view)
            assert not table.failed, table.failed[0]
            best = min(best, table.seconds)
        tables[view] = [dataclasses.replace(row, seconds=0.0) for row in table.rows]
        print(f"  in memory, {view:<4} view: {best:7.2f} s  ({args.instruments / best:6.1f} "
              f"instruments/s)")
    assert tables["end"] != tables["live"]
    with tempfile.TemporaryDirectory() as folder, tempfile.TemporaryDirectory() as outs:
        write_universe(universe, folder)
        for view in ("end", "live"):
            out = os.path.join(outs, f"{view}.csv")
            seconds = command_seconds(folder, out, view, jobs, args.repeat)
            print(f"  command line from CSV files, {view:<4} view: {seconds:7.2f} s")


if __name__ == "__main__":
    main()
