"""Per-bar cost of the live view against the length of the history, on both object models, in
one run: where the Python model's cost grows.

    PYTHONPATH=src python3 bench/live_sweep.py [--lengths 1000 2500 5000 10000] [--repeat 1]

The bars are the benchmark market's generator (bench/workload.py) at each length; two
settings: the kit's defaults (bar_count_to_snib=250) and the workload's engine settings with
bar_count_to_snib=250. Each row is one whole live run of `torvex.kit.run` (its bar loop, the
inputs not counted). On the Python model the engine's calls are timed apart, through wrappers
on the engine instance that `Driver.step` calls: `update` on the bars where it took a pivot
(the rebuild of every line from every pivot taken so far, then the pruning and the replay of
the extension), `update` on the other bars (pruning and replay only), and the windows
(`update_mavet` and the check). "pivots" is how many the rebuild works through at the end.
"""

import argparse
import time

import numpy as np

import bench_paths  # noqa: F401  (first: the import paths)
from workload import SETTINGS as WORKLOAD_SETTINGS
from workload import Workload

from torvex.kit import Bars, Settings, run
from torvex.kit import driver as kit_driver


def workload_bars(count):
    w = Workload(bars=count)
    days = np.busday_offset("1990-01-02", np.arange(count), roll="forward")
    return Bars.from_arrays(days, w.open, w.high, w.low, w.close, source=f"workload({count})")


class Clock:
    """Seconds spent in the engine calls `Driver.step` makes, by kind."""

    def __init__(self):
        self.seconds = {"rebuild bars": 0.0, "other bars": 0.0, "windows": 0.0}
        self.rebuilds = 0

    def wrap(self, engine):
        update, track, check = engine.update, engine.update_mavet, engine.check_mavet_v3
        seconds, now = self.seconds, time.perf_counter

        def timed_update(*args):
            started = now()
            found = update(*args)
            seconds["rebuild bars" if found else "other bars"] += now() - started
            self.rebuilds += bool(found)
            return found

        def timed(call):
            def inner(*args):
                started = now()
                out = call(*args)
                seconds["windows"] += now() - started
                return out
            return inner

        engine.update, engine.update_mavet = timed_update, timed(track)
        engine.check_mavet_v3 = timed(check)


def python_run(bars, settings):
    """A live run on the Python model with its engine calls timed; (result, clock)."""
    clock = Clock()
    plain_driver = kit_driver.Driver

    class TimedDriver(plain_driver):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            clock.wrap(self.engine)

    kit_driver.Driver = TimedDriver
    try:
        result = run(bars, settings, engine="python", view="live")
    finally:
        kit_driver.Driver = plain_driver
    return result, clock


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--lengths", type=int, nargs="+", default=[1000, 2500, 5000, 10000])
    parser.add_argument("--repeat", type=int, default=1, help="native runs: best of this many")
    args = parser.parse_args()
    engine_names = {name for name, _ in Settings.__dataclass_fields__.items()}
    workload = {k: v for k, v in WORKLOAD_SETTINGS.items() if k in engine_names}
    configurations = [("kit defaults", Settings()),
                      ("workload, bar_count_to_snib=250",
                       Settings(**dict(workload, bar_count_to_snib=250)))]
    print("live view, microseconds per bar of the whole run's bar loop; the Python model's "
          "engine calls split by kind, per bar of the history")
    head = (f"{'settings':<32} {'bars':>6} {'native':>8} {'python':>8} {'ratio':>6} "
            f"{'rebuild':>8} {'other':>8} {'windows':>8} {'pivots':>6} {'us/rebuild':>10} "
            f"{'us/pivot':>8}")
    print(head)
    for label, settings in configurations:
        for count in args.lengths:
            bars = workload_bars(count)
            native = min(run(bars, settings, engine="native", view="live").seconds
                         for _ in range(args.repeat))
            result, clock = python_run(bars, settings)
            per_bar = 1e6 / count
            spent = clock.seconds
            pivots = len(result.pivots)
            rebuild = spent["rebuild bars"] * 1e6 / max(clock.rebuilds, 1)
            print(f"{label:<32} {count:>6} {native * per_bar:8.1f} {result.seconds * per_bar:8.1f} "
                  f"{result.seconds / native:6.1f} {spent['rebuild bars'] * per_bar:8.1f} "
                  f"{spent['other bars'] * per_bar:8.1f} {spent['windows'] * per_bar:8.1f} "
                  f"{pivots:>6} {rebuild:10.1f} {rebuild / max(pivots, 1):8.2f}")


if __name__ == "__main__":
    main()
