"""The live view (the data ends at each bar as it is stepped), measured side by side in one run:

1. a whole history on the native model (torvex.native.run_history, live=True) against the
   Python model (torvex.dto.torvex over the package's series and the host stand-ins, the
   engine's last_bar_index set before every bar): on the shared benchmark market's generator
   (bench/workload.py) with bar_count_to_snib 250 at 2500 and 10000 bars, and with the kit's
   defaults on the embedded bars (kit inputs, the kit's Driver);
2. native.LiveStream.add per bar against the whole-history native live run per bar, on the
   same bars and settings (the stream computes the kit's inputs itself; the run's figure is
   given with and without computing them over the whole columns first), and torvex.kit.Stream's
   add on the native engine, with its bar checks, times and outcome records;
3. the per-bar cost against the history: the mean cost of the 500 bars that follow 1000, 2500,
   5000 and 10000 bars, on the native model (a stream warmed up on the history) and on the
   Python model (the loop above, stepped through the history untimed);
4. the resident memory a LiveStream holds after 10000 and 100000 bars (each in a fresh
   process), with the bars and pivots it keeps.

    PYTHONPATH=src python3 bench/live_view.py [--repeat N] [--quick]

Times are processor seconds (the machine may be shared; wall time is printed beside them for
the whole runs); the native figures are the best of --repeat runs, the Python ones of one.
"""

import argparse
import json
import subprocess
import sys
import time

import numpy as np

import bench_paths  # noqa: F401  (first: the import paths)
from settings import Settings as HostSettings  # noqa: E402
from workload import Workload  # noqa: E402

from torvex import native  # noqa: E402
from torvex.dto.torvex import Torvex  # noqa: E402
from torvex.kit import Settings, Stream, host_inputs, sample_bars  # noqa: E402
from torvex.kit.driver import Driver, EngineSeries  # noqa: E402
from torvex.series import Series  # noqa: E402

TAIL = 500  # bars timed after each history length


def clocks():
    return time.process_time(), time.perf_counter()


def since(start):
    cpu, wall = clocks()
    return cpu - start[0], wall - start[1]


def best(repeat, call):
    runs = []
    for _ in range(repeat):
        start = clocks()
        call()
        runs.append(since(start))
    return min(r[0] for r in runs), min(r[1] for r in runs)


def kit_settings(workload):
    """The workload's engine settings in the kit's Settings (whose window thresholds and
    mintick are those of bench/host_loop.py), bar_count_to_snib 250."""
    return Settings(**workload.settings).replace(bar_count_to_snib=250, mintick=workload.mintick)


def native_run(market, settings, caps):
    return native.run_history(market, settings, settings.mintick, caps, settings,
                              settings.check_form, not settings.draw_from_recent, True)


def python_loop(columns, settings, caps, steps, first_timed=0):
    """The host's live loop on the Python model over `steps` bars of the columns (package
    series); processor seconds of the engine calls from bar first_timed on."""
    series = [Series(list(c), visible=1) for c in columns]
    close, open_, high, low, times, nh, nl, th, tl, trend = series
    mavets = []
    host = HostSettings(**{name: getattr(settings, name) for name, _ in native.SETTINGS})
    engine = Torvex(host, [], [], [], mavets, nh, nl, th, tl, {}, close, open_, high, low, 0,
                    times, 0, settings.mintick)
    s = settings
    tracking = (s.trap_recover_window_threshold, s.search_range, s.low_above_kerd_threshold)
    checks = (s.close_above_kerd_threshold, s.trap_recover_window_threshold, s.signal_window,
              s.close_above_low_threshold, s.close_above_recover_low_threshold,
              s.bar_count_close_above_kerd_threshold, s.vvip_kerd_min_snib_count)
    spent = 0.0
    for bar in range(steps):
        if bar:
            for one in series:
                one.advance()
        start = time.process_time()
        engine.bar_index = engine.last_bar_index = bar
        cap = caps[bar]
        engine.update(trend, cap)
        if bar >= max(s.search_range, 1):
            engine.update_mavet(*tracking, cap)
        if mavets:
            result = engine.check_mavet_v3(cap, *checks)
            if result.is_kerd_satisfied():
                engine.commit_latest_mavet(result.success.mavet.break_kerd_at_price)
        if bar >= first_timed:
            spent += time.process_time() - start
    return spent


def whole_histories(repeat, lengths):
    print("1. the live view over a whole history, native model against Python model "
          "(package series, host stand-ins):")
    for bars in lengths:
        w = Workload(bars=bars)
        settings = kit_settings(w)
        market, caps = w.market(), w.close_avg_percent
        cpu, wall = best(repeat, lambda: native_run(market, settings, caps))
        start = clocks()
        python = python_loop(w.columns(), settings, caps, bars)
        python_wall = since(start)[1]
        report(f"workload, {bars} bars, bar_count_to_snib 250", bars, cpu, wall, python,
               python_wall)
    bars = sample_bars()
    settings = Settings()
    inputs = host_inputs(bars.high, bars.low, bars.close, settings)
    market = {name: np.asarray(getattr(inputs if hasattr(inputs, name) else bars, name),
                               dtype=float).tolist() for name in native.MARKET_COLUMNS}
    caps = inputs.close_avg_percent.tolist()
    cpu, wall = best(repeat, lambda: native_run(market, settings, caps))
    start = clocks()
    series = EngineSeries.preloaded(bars, inputs)
    driver = Driver(settings, series, 0)
    for bar in range(len(bars)):
        if bar:
            series.advance()
        driver.engine.last_bar_index = bar
        driver.step(bar, caps[bar], bars.dates[bar])
    python, python_wall = since(start)
    report(f"embedded bars, kit defaults, {len(bars)} bars (the kit's Driver)", len(bars), cpu,
           wall, python, python_wall)


def report(label, bars, cpu, wall, python, python_wall):
    native_us, python_us = cpu / bars * 1e6, python / bars * 1e6
    print(f"   {label}:\n"
          f"      native {native_us:8.2f} us/bar (wall {wall / bars * 1e6:8.2f}), "
          f"Python {python_us:8.2f} us/bar (wall {python_wall / bars * 1e6:8.2f}): "
          f"native {python_us / native_us:6.1f}x faster (target >= 10x)")


def bar_rows(w, count):
    return list(zip(w.time[:count], w.open[:count], w.high[:count], w.low[:count],
                    w.close[:count]))


def kit_market(w, settings):
    """The workload's bars with the kit's own inputs, as the stream computes them."""
    inputs = host_inputs(w.high, w.low, w.close, settings)
    market = {name: np.asarray(getattr(inputs if hasattr(inputs, name) else w, name),
                               dtype=float).tolist() for name in native.MARKET_COLUMNS}
    return market, inputs.close_avg_percent.tolist()


def stream_against_run(repeat, bars):
    print(f"\n2. LiveStream.add against the whole-history native live run, per bar ({bars} "
          "bars of the workload, bar_count_to_snib 250, the kit's input windows):")
    w = Workload(bars=bars)
    settings = kit_settings(w)
    rows = bar_rows(w, bars)

    def feed():
        stream = native.LiveStream(settings)
        add = stream.add
        for row in rows:
            add(*row)

    def feed_kit():  # torvex.kit.Stream: the bar's checks, its time and the outcome record
        stream = Stream(settings, "native")
        add = stream.add
        for row in rows:
            add(*row)

    def run_with_inputs():
        market, caps = kit_market(w, settings)
        native_run(market, settings, caps)

    market, caps = kit_market(w, settings)
    stream, _ = best(repeat, feed)
    kit_stream, _ = best(repeat, feed_kit)
    run, _ = best(repeat, lambda: native_run(market, settings, caps))
    run_inputs, _ = best(repeat, run_with_inputs)
    stream_us, run_us = stream / bars * 1e6, run / bars * 1e6
    print(f"   stream {stream_us:6.2f} us/bar; run {run_us:6.2f} us/bar "
          f"({run_inputs / bars * 1e6:6.2f} with the inputs over the whole columns): "
          f"{stream_us / run_us:4.2f}x the run; target <= 3x + 3 us = {3 * run_us + 3:6.2f} us")
    kit_us = kit_stream / bars * 1e6
    print(f"   torvex.kit.Stream.add (Unix-second times) {kit_us:6.2f} us/bar: "
          f"{(kit_us - 3) / run_us:4.2f}x the run after 3 us")


def sweep(lengths):
    print(f"\n3. per-bar cost of the {TAIL} bars after a history of N bars (workload, "
          "bar_count_to_snib 250):")
    longest = max(lengths) + TAIL
    w = Workload(bars=longest)
    settings = kit_settings(w)
    rows = bar_rows(w, longest)
    print(f"   {'history':>8} {'native':>14} {'Python':>14} {'ratio':>7}")
    for history in lengths:
        stream = native.LiveStream(settings)
        for row in rows[:history]:
            stream.add(*row)
        add, tail = stream.add, rows[history:history + TAIL]
        start = time.process_time()
        for row in tail:
            add(*row)
        native_us = (time.process_time() - start) / TAIL * 1e6
        python = python_loop(w.columns(), settings, w.close_avg_percent, history + TAIL,
                             first_timed=history)
        python_us = python / TAIL * 1e6
        print(f"   {history:>8} {native_us:9.2f} us/bar {python_us:9.2f} us/bar "
              f"{python_us / native_us:6.1f}x")


MEMORY_PROBE = """
import json, sys
sys.path.insert(0, {bench!r})
import bench_paths
from workload import Workload
from torvex import native
from torvex.kit import Settings
bars = {bars}
w = Workload(bars=bars)
settings = Settings(**w.settings).replace(bar_count_to_snib=250, mintick=w.mintick)
# minute bars: the workload's daily steps pass the engine's 32-bit times near 13000 bars
times = [1_000_000_000 + 60 * i for i in range(bars)]
rows = list(zip(times, w.open, w.high, w.low, w.close))
def resident():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
stream = native.LiveStream(settings)
before = resident()
for row in rows:
    stream.add(*row)
print(json.dumps({{"grown": resident() - before, "kept_bars": stream.kept_bars,
                   "pivots": len(stream.pivots()), "lines": len(stream.lines()),
                   "pickled": len(stream.__reduce__()[1][0])}}))
"""


def memory(lengths):
    print("\n4. resident memory a LiveStream adds while it takes N bars (a fresh process each):")
    bench = bench_paths.HERE
    for bars in lengths:
        out = subprocess.run([sys.executable, "-c", MEMORY_PROBE.format(bench=bench, bars=bars)],
                             capture_output=True, text=True, check=True).stdout
        m = json.loads(out)
        print(f"   {bars:>7} bars: +{m['grown'] / 1024:8.0f} KiB resident; keeps "
              f"{m['kept_bars']} bars, {m['pivots']} pivots, {m['lines']} lines; pickled "
              f"{m['pickled'] / 1024:.0f} KiB")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="shorter histories, for a try")
    args = parser.parse_args()
    if args.quick:
        whole_histories(args.repeat, (1000,))
        stream_against_run(args.repeat, 1000)
        sweep((500, 1000))
        memory((2000,))
        return
    whole_histories(args.repeat, (2500, 10000))
    stream_against_run(args.repeat, 5000)
    sweep((1000, 2500, 5000, 10000))
    memory((10000, 100000))


if __name__ == "__main__":
    main()
