"""The engine's per-bar update through torvex.dto.torvex (the Python object model) over the
shared benchmark market (bench/workload.py), with the package's series and with plain Python
series; and the rebuild against the number of processed pivots.

    python3 bench/engine_update.py [--bars N] [--repeat N] [--series package|plain|both] [--rebuild]
                                   [--replay]

Reports microseconds per bar of update averaged over the whole run (the best of --repeat runs):
only the update calls are timed, not the host's advancing of its series.
"""

import argparse
import time

import bench_paths  # noqa: F401  (first: the import paths)
from settings import Settings
from plain_series import PlainSeries
from workload import Workload

from torvex.dto.torvex import Torvex
from torvex.series import Series


def package_series(values):
    return Series(values, visible=1)


def plain_series(values):
    return PlainSeries(values, visible=1)


def advance_package(series, bar):
    for s in series:
        s.advance()


def advance_plain(series, bar):
    for s in series:
        s.current = bar


def _market(workload, kind):
    make = package_series if kind == "package" else plain_series
    return [make(list(c)) for c in workload.columns()]


def _drive(workload, kind, count, with_engine):
    """Advances a fresh market over `count` bars, calling update on each bar when
    `with_engine`; returns (CPU seconds, lines at the end)."""
    w = workload
    advance = advance_package if kind == "package" else advance_plain
    series = _market(w, kind)
    close, open_, high, low, times, nh, nl, th, tl, trend = series
    kerds, vip, new, mavets, latest = [], [], [], [], {}
    engine = Torvex(Settings(**w.settings), kerds, vip, new, mavets, nh, nl, th, tl, latest,
                    close, open_, high, low, 0, times, len(w) - 1, w.mintick)
    update = engine.update if with_engine else (lambda trend, cap: None)
    caps = w.close_avg_percent
    start = time.process_time()
    for bar in range(count):
        if bar:
            advance(series, bar)
        engine.bar_index = bar
        update(trend, caps[bar])
    return time.process_time() - start, len(kerds)


def run(workload, kind, bars=None, repeat=1):
    """Runs update over the market; returns (CPU seconds spent in update, lines at the end).
    CPU time, not wall time, and the best of `repeat` runs, so that other processes on the
    machine matter less; the host's own advancing of its series is measured alone and taken
    off."""
    count = len(workload) if bars is None else bars
    runs = [_drive(workload, kind, count, True) for _ in range(repeat)]
    host = min(_drive(workload, kind, count, False)[0] for _ in range(repeat))
    return min(spent for spent, _ in runs) - host, runs[0][1]


def rebuild_cost(workload, counts=(50, 100, 200, 400)):
    """Seconds of one rebuild on the last bar from the most recent `count` pivots."""
    w = workload
    settings = Settings(**w.settings)
    settings.draw_from_recent = False
    series = [package_series(list(c)) for c in w.columns()]
    close, open_, high, low, times, nh, nl, th, tl, trend = series
    kerds, vip, new = [], [], []
    engine = Torvex(settings, kerds, vip, new, [], nh, nl, th, tl, {}, close, open_, high, low,
                    0, times, len(w) - 1, w.mintick)
    for bar in range(len(w)):
        if bar:
            advance_package(series, bar)
        engine.bar_index = bar
        engine.update(trend, w.close_avg_percent[bar])
    pivots = list(new)
    settings.draw_from_recent = True
    results = []
    for count in counts:
        if count > len(pivots):
            break
        recent = pivots[-count:]
        repeats, spent = 0, 0.0
        while spent < 0.5:
            vip[:] = recent[:-1]
            new[:] = recent[-1:]
            start = time.perf_counter()
            engine.rebuild_kerd_from_most_recent_snib()
            spent += time.perf_counter() - start
            repeats += 1
        results.append((count, spent / repeats, len(kerds)))
    return results


def replay_cost(workload, shapes=((10, 100), (10, 1000), (100, 100), (100, 1000))):
    """Seconds of one historical extension on the last bar over `lines` unchecked lines that
    end `reach` bars back and are never crossed, so each call walks every line's whole reach."""
    from torvex.dto.kerd import Kerd

    w = workload
    series = [Series(list(c)) for c in (w.close, w.open, w.high, w.low, w.time)]
    close, open_, high, low, times = series
    kerds = []
    last = len(w) - 1
    engine = Torvex(Settings(**w.settings), kerds, [], [], [], None, None, None, None, {},
                    close, open_, high, low, last, times, last, w.mintick)
    results = []
    for lines, reach in shapes:
        kerds[:] = [Kerd(close, open_, high, low, last, times, last, w.mintick, last - reach,
                         last - reach, 0, 0, 1e9, 1e9, [1e9], 1.0) for _ in range(lines)]
        repeats, spent = 0, 0.0
        while spent < 0.3:
            start = time.process_time()
            engine.extend_kerd_to_first_cross_from_history()
            spent += time.process_time() - start
            repeats += 1
        results.append((lines, reach, spent / repeats))
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bars", type=int, default=None)
    parser.add_argument("--repeat", type=int, default=3, help="report the best of this many runs")
    parser.add_argument("--series", choices=["package", "plain", "both"], default="both")
    parser.add_argument("--rebuild", action="store_true", help="also time single rebuilds")
    parser.add_argument("--replay", action="store_true",
                        help="also time the historical replay against lines and reach")
    args = parser.parse_args()
    workload = Workload()
    kinds = ["package", "plain"] if args.series == "both" else [args.series]
    for kind in kinds:
        spent, lines = run(workload, kind, args.bars, args.repeat)
        bars = args.bars or len(workload)
        print(f"update, {kind} series: {spent / bars * 1e6:8.2f} us/bar over {bars} bars "
              f"({bars / spent:,.0f} bars/s), {lines} lines at the end")
    if args.replay:
        for lines, reach, seconds in replay_cost(workload):
            print(f"replay of {lines:3d} lines over {reach:4d} bars: {seconds * 1e6:9.1f} us "
                  f"({seconds / (lines * reach) * 1e9:.1f} ns per line and bar)")
    if args.rebuild:
        for count, seconds, lines in rebuild_cost(workload):
            print(f"rebuild from {count:4d} pivots: {seconds * 1e6:9.1f} us ({lines} lines)")


if __name__ == "__main__":
    main()
