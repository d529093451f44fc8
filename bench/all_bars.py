"""The all-bars flow: a host that does the line work itself (draw_from_recent off). On every bar
update; on a bar where update found a pivot add_new_snibs_to_processed_array and then
rebuild_kerd_from_most_recent_snib; on every bar extend_kerd_to_first_cross; from bar
search_range on update_mavet and check_mavet_v3, and commit_latest_mavet on a signal. Market,
settings and window thresholds as in bench/host_loop.py, with only_body_cross on and
allow_reuse_snib off; the host's base class is the stand-in, which stores its eight arguments.

    python3 bench/all_bars.py [--bars N] [--repeat N] [--sweep-bars N] [--skip-sweep]

Prints, in one run: CPU microseconds per bar of the engine calls (best of --repeat runs; the
host's advancing of its series is not timed) on the Python model with the package's series and with
plain Python series, and on the native model (torvex.native.run_window_loop with all_bars,
timed around the call, so its conversions of the market and of every bar's results count);
the draw-from-recent loop of bench/host_loop.py on the package's series; each as a ratio to
the pure-Python figures measured on this machine kind (REFERENCE_US_PER_BAR). With plain
series, the host series reads per bar and what they alone cost. Then the rebuild's cost per
processed pivot: within the flow (whose rebuilds never clear the lines, so their pivot lists
grow with every rebuild), and for a rebuild from pending pivots, which builds every line anew,
on a 16000-bar market; on both models (build/bench_all_bars, when built, for the native side).
"""

import argparse
import os
import subprocess
import time
import types

import bench_paths  # first: the import paths
import host_loop  # noqa: E402
from host_loop import advance, make_series  # noqa: E402
from settings import Settings  # noqa: E402
from workload import Workload  # noqa: E402

from torvex import native  # noqa: E402
from torvex.dto.torvex import Torvex  # noqa: E402

# Pure-Python implementations of the same calls, measured on this machine kind (5000 bars).
REFERENCE_US_PER_BAR = {"all-bars": 21700.0, "draw-from-recent": 3300.0}

THRESHOLDS = types.SimpleNamespace(
    trap_recover_window_threshold=host_loop.TRAP, search_range=host_loop.SEARCH_RANGE,
    low_above_kerd_threshold=host_loop.LOW_ABOVE_KERD,
    close_above_kerd_threshold=host_loop.CLOSE_ABOVE_KERD, signal_window=host_loop.SIGNAL_WINDOW,
    close_above_low_threshold=host_loop.CLOSE_ABOVE_LOW,
    close_above_recover_low_threshold=host_loop.CLOSE_ABOVE_RECOVER_LOW,
    bar_count_close_above_kerd_threshold=host_loop.BAR_COUNT_CLOSE_ABOVE_KERD,
    vvip_kerd_min_snib_count=host_loop.VVIP_MIN_SNIB_COUNT)
SWEEP_COUNTS = (100, 250, 500, 1000, 1500, 2000)


def flow_settings(workload):
    return dict(workload.settings, draw_from_recent=False, only_body_cross=True,
                allow_reuse_snib=False)


def _engine(workload, kind, settings):
    w = workload
    series = [make_series(kind, list(c)) for c in w.columns()]
    close, open_, high, low, times, nh, nl, th, tl, trend = series
    kerds, vip, new, mavets = [], [], [], []
    engine = Torvex(Settings(**settings), kerds, vip, new, mavets, nh, nl, th, tl, {}, close,
                    open_, high, low, 0, times, len(w) - 1, w.mintick)
    return engine, series, trend, (kerds, vip, new, mavets)


def run_flow(workload, kind, rebuilds=None):
    """The all-bars flow on the Python model; (seconds in engine calls, signals, lines). With a
    list `rebuilds`, each rebuild's (processed pivots, seconds) is appended to it."""
    engine, series, trend, (kerds, vip, _, _) = _engine(workload, kind, flow_settings(workload))
    update, processed = engine.update, engine.add_new_snibs_to_processed_array
    rebuild, extend = engine.rebuild_kerd_from_most_recent_snib, engine.extend_kerd_to_first_cross
    update_mavet, check = engine.update_mavet, engine.check_mavet_v3
    commit, t = engine.commit_latest_mavet, THRESHOLDS
    caps = workload.close_avg_percent
    clock = time.process_time  # CPU time: the machine is shared
    spent, signals = 0.0, 0
    for bar in range(len(workload)):
        if bar:
            advance(kind, series, bar)
        engine.bar_index = bar
        cap = caps[bar]
        start = clock()
        if update(trend, cap):
            processed()
            if rebuilds is None:
                rebuild(cap)
            else:
                began = clock()
                rebuild(cap)
                rebuilds.append((len(vip), clock() - began))
        extend()
        if bar >= t.search_range:
            update_mavet(t.trap_recover_window_threshold, t.search_range,
                         t.low_above_kerd_threshold, cap)
            result = check(cap, t.close_above_kerd_threshold, t.trap_recover_window_threshold,
                           t.signal_window, t.close_above_low_threshold,
                           t.close_above_recover_low_threshold,
                           t.bar_count_close_above_kerd_threshold, t.vvip_kerd_min_snib_count)
            if result.is_kerd_satisfied():
                commit(result.success.mavet.break_kerd_at_price)
                signals += 1
        spent += clock() - start
    return spent, signals, len(kerds)


def run_native_flow(workload):
    """The same flow through the native batch runner; (seconds, signals)."""
    w = workload
    market = w.market()
    settings = Settings(**flow_settings(w))
    start = time.process_time()
    bars, _ = native.run_window_loop(market, settings, w.mintick, w.close_avg_percent,
                                     THRESHOLDS, 3, all_bars=True)
    spent = time.process_time() - start
    signals = sum(1 for result, _ in bars if result is not None and result[1] is not None
                  and result[1][0])
    return spent, signals


_PLAIN = host_loop.PlainSeries


class CountingSeries(_PLAIN):
    """A plain Python series that counts the reads the engine makes of it."""

    __slots__ = ()
    reads = 0

    def __getitem__(self, offset):
        CountingSeries.reads += 1
        return _PLAIN.__getitem__(self, offset)


def series_read_floor(workload):
    """The host series reads of the flow on plain series: (reads per bar, seconds per bar that
    those reads alone take, timed as the same number of reads of one such series)."""
    original = host_loop.PlainSeries
    host_loop.PlainSeries = CountingSeries
    try:
        CountingSeries.reads = 0
        run_flow(workload, "plain")
        reads = CountingSeries.reads
    finally:
        host_loop.PlainSeries = original
    series = original(list(workload.close))
    series.current = len(workload) - 1
    read = series.__getitem__
    start = time.process_time()
    for _ in range(reads // 4):
        read(0), read(-1), read(-2), read(-3)
    spent = time.process_time() - start
    return reads / len(workload), spent / len(workload)


class _Probe:
    pass


def _settle():
    """Runs, within the timing, a collection that the timed call's allocations made due: a new
    instance of a Python class is an allocation that starts one (before 3.12), and a call of a
    Python function is where one runs that is pending (3.12 on)."""
    return _Probe()


def rebuild_sweep(workload, kind="package", counts=SWEEP_COUNTS, budget=0.3):
    """Drives the flow's intake (update, then the move of new pivots) over the market; on the
    first pivot bar where the processed pivots reach each count, times the rebuild that bar's
    flow would make, with the collection its allocations make due. Returns [(processed pivots, lines, seconds per rebuild)]."""
    engine, series, trend, (kerds, vip, new, _) = _engine(workload, kind,
                                                          flow_settings(workload))
    caps = workload.close_avg_percent
    pending = list(counts)
    results = []
    for bar in range(len(workload)):
        if not pending:
            break
        if bar:
            advance(kind, series, bar)
        engine.bar_index = bar
        if not engine.update(trend, caps[bar]):
            continue
        engine.add_new_snibs_to_processed_array()
        if len(vip) < pending[0]:
            continue
        pending.pop(0)
        kept = list(vip)
        repeats, spent = 0, 0.0
        while spent < budget or repeats < 2:
            vip[:] = kept[:-1]  # the newest pending again, so that the rebuild starts afresh
            new[:] = kept[-1:]
            start = time.process_time()
            engine.rebuild_kerd_from_most_recent_snib(caps[bar])
            _settle()
            spent += time.process_time() - start
            repeats += 1
        results.append((len(vip), len(kerds), spent / repeats))
    return results


def flow_rebuilds(rebuilds, counts=SWEEP_COUNTS):
    """The rebuilds of one flow run near each count of processed pivots, as sweep rows: the
    mean over the rebuilds from that count up to 10 % more."""
    rows = []
    for count in counts:
        near = [seconds for pivots, seconds in rebuilds if count <= pivots <= count * 1.1]
        if near:
            rows.append((count, 0, sum(near) / len(near)))
    return rows


def print_sweep(title, rows):
    print(title)
    print("  processed pivots   lines   us per rebuild   us per pivot per rebuild")
    for pivots, lines, seconds in rows:
        shown = f"{lines:7d}" if lines else "      -"
        print(f"  {pivots:16d} {shown} {seconds * 1e6:16.1f} {seconds / pivots * 1e6:26.3f}")
    if rows:
        per_pivot = [seconds / pivots for pivots, _, seconds in rows]
        print(f"  largest / smallest per pivot: {max(per_pivot) / min(per_pivot):.2f}")


def ratio(name, us_per_bar):
    return f"{REFERENCE_US_PER_BAR[name] / us_per_bar:8.0f} x the pure-Python reference"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bars", type=int, default=None)
    parser.add_argument("--repeat", type=int, default=3, help="report the best of this many runs")
    parser.add_argument("--sweep-bars", type=int, default=16000,
                        help="bars of the market the sweep runs on (enough for 2000 pivots)")
    parser.add_argument("--skip-sweep", action="store_true")
    args = parser.parse_args()
    workload = Workload(args.bars) if args.bars else Workload()
    bars = len(workload)
    repeat = max(args.repeat, 1)
    print(f"all-bars flow, {bars} bars; ratios against the pure-Python figures "
          f"{REFERENCE_US_PER_BAR} (us per bar, 5000 bars, this machine kind)")
    in_flow = []
    for kind in ("package", "plain"):
        spent, signals, lines = min(
            run_flow(workload, kind, in_flow if kind == "package" and not in_flow else None)
            for _ in range(repeat))
        us = spent / bars * 1e6
        print(f"  Python model, {kind} series: {us:9.2f} us/bar, {signals} signals, "
              f"{lines} lines at the end; {ratio('all-bars', us)}")
    reads, floor = series_read_floor(workload)
    print(f"  plain series: {reads:.0f} host series reads per bar, which alone take "
          f"{floor * 1e6:.1f} us/bar (at best {REFERENCE_US_PER_BAR['all-bars'] / (floor * 1e6):.0f} x)")
    spent, signals = min(run_native_flow(workload) for _ in range(repeat))
    us = spent / bars * 1e6
    print(f"  native model (run_window_loop): {us:9.3f} us/bar, {signals} signals; "
          f"{ratio('all-bars', us)}")
    spent, signals, _ = min(host_loop.run(workload, "package", clock=time.process_time)
                            for _ in range(repeat))
    us = spent / bars * 1e6
    print(f"draw-from-recent loop (bench/host_loop.py), package series: {us:9.2f} us/bar, "
          f"{signals} signals; {ratio('draw-from-recent', us)}")
    print_sweep("rebuild cost within the flow above (Python model, package series; the lines "
                "are not cleared, so each rebuild offers every processed pivot to lines that keep "
                "growing)", flow_rebuilds(in_flow))
    if args.skip_sweep:
        return
    long_market = Workload(args.sweep_bars)
    long_market.time = [86400 * i for i in range(args.sweep_bars)]  # pivot times are 32-bit
    print_sweep(f"rebuild cost from pending pivots (lines built anew), Python model, package "
                f"series ({args.sweep_bars} bars)",
                rebuild_sweep(long_market))
    runner = os.path.join(bench_paths.ROOT, "build", "bench_all_bars")
    if os.path.exists(runner):
        print(subprocess.run([runner, str(args.sweep_bars)], check=True, capture_output=True,
                             text=True).stdout, end="")
    else:
        print("(build/bench_all_bars not built: no native sweep)")


if __name__ == "__main__":
    main()
