"""Time and peak memory of loading a long CSV of daily bars (default 1,000,000 bars), through
each CSV reader of torvex.kit.load_bars.

    PYTHONPATH=src python3 bench/load_bars.py [--bars N] [--reader auto|pyarrow|pandas|python]

Each reader runs in a fresh interpreter that imports what it needs first; the memory figures
are that process's peak resident size while loading, above its size just before (the modules
loaded), and the absolute peak, both against the file's size.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "src"))

READERS = ("pyarrow", "pandas", "python")


def write_csv(path: str, count: int) -> None:
    """Business days from 1700 on (a million of them reach the 56th century) and a seeded
    mean-reverting walk around 50, in cents."""
    import numpy as np

    rng = np.random.default_rng(1)
    days = np.busday_offset("1700-01-01", np.arange(count), roll="forward")
    level = np.empty(count)
    x = 0.0
    for i, step in enumerate((rng.standard_normal(count) * 0.015).tolist()):
        x = 0.995 * x + step
        level[i] = x
    close = 50 * np.exp(level)
    open_ = np.concatenate([[50.0], close[:-1]])
    high = np.maximum(open_, close) * (1 + np.abs(rng.standard_normal(count)) * 0.005)
    low = np.minimum(open_, close) * (1 - np.abs(rng.standard_normal(count)) * 0.005)
    prices = np.round(np.column_stack([open_, high, low, close]), 2).tolist()
    with open(path, "w") as f:
        f.write("Date,Open,High,Low,Close\n")
        for day, (o, h, lo, c) in zip(np.datetime_as_string(days).tolist(), prices):
            f.write(f"{day},{o:.2f},{h:.2f},{lo:.2f},{c:.2f}\n")


def status(field: str) -> int:
    """A size from /proc/self/status, in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def measure(path: str, reader: str) -> None:
    """Runs in the child: one load, then a line of figures."""
    import numpy  # noqa: F401

    from torvex.kit.bar_files import read_csv

    if reader == "pyarrow":
        import pyarrow.csv  # noqa: F401
    elif reader == "pandas":
        import pandas  # noqa: F401
    before = status("VmRSS")
    started = time.perf_counter()
    bars = read_csv(path, reader=reader)
    seconds = time.perf_counter() - started
    peak = status("VmHWM")
    print(seconds, before, peak, len(bars))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bars", type=int, default=1_000_000)
    parser.add_argument("--reader", choices=READERS + ("all",), default="all")
    parser.add_argument("--measure", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure:
        measure(args.measure, args.reader)
        return
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "bars.csv")
        write_csv(path, args.bars)
        size = os.path.getsize(path)
        print(f"{args.bars:,} bars, {size / 1e6:.1f} MB")
        for reader in READERS if args.reader == "all" else (args.reader,):
            child = subprocess.run(
                [sys.executable, __file__, "--measure", path, "--reader", reader],
                capture_output=True,
                text=True,
                env={**os.environ, "PYTHONPATH": os.path.join(ROOT, "src")},
            )
            if child.returncode:
                print(f"{reader:8s} failed: {child.stderr.strip().splitlines()[-1]}")
                continue
            seconds, before, peak, count = child.stdout.split()
            grown = int(peak) - int(before)
            print(
                f"{reader:8s} {float(seconds):6.2f} s, {int(count):,} bars; peak memory "
                f"{grown / 1e6:6.1f} MB above the loaded modules ({grown / size:.2f}x the "
                f"file), {int(peak) / 1e6:6.1f} MB in all ({int(peak) / size:.2f}x)"
            )


if __name__ == "__main__":
    main()
