"""The Python model with a host's own objects, beside the package's stand-ins, in one run.

Three flows over the seeded market of bench/workload.py: the draw-from-recent loop of
bench/host_loop.py (5000 bars), the all-bars flow of bench/all_bars.py (5000 bars) and the live
view (last_bar_index set to each bar before its step, bar_count_to_snib 250; 5000 and 6000
bars). Three sets of host objects: the package's stand-ins (base class, settings, the package's
series); a host's own base class and settings class, plain Python classes with no mark of ours,
on the package's series; the same on plain Python series (host code on every read).

    python3 bench/host_objects.py [--repeat N] [--baseline PACKAGE_ROOT] [--flows ...]

Prints CPU microseconds per bar of the engine calls (best of --repeat runs, each in a process
of its own), the host calls per bar (the base initialiser per new line, round_to_mintick, the
series reads) and what each costs called from C, and so the host floor: the cost of the host's
own code alone. Then each figure against its target: the host's base and settings on the
package's series within 1.3 x the stand-ins' figure + the floor; on plain series within
2 x (the stand-ins' figure + the floor).

--baseline names another build's package root (a checkout's src/ with its modules built, for
instance of the commit before a change: git worktree add /tmp/base REV; cmake -S /tmp/base -B
/tmp/base/build -DTORVEX_TESTS=OFF -DTORVEX_BENCH=OFF ...; cmake --build /tmp/base/build);
its figures are measured in the same run, the two builds' processes taking turns, and the
ratios of this build to it printed.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

FLOWS = ("recent", "all-bars", "live-5000", "live-6000")
HOSTS = ("stand-ins", "host", "host+plain-series")

# A host's own modules: a base class that stores its eight arguments and rounds to the tick,
# and a settings class holding its values as attributes; neither carries a mark of ours.
HOST_MODULES = {
    "indicators/__init__.py": "",
    "indicators/common/__init__.py": "",
    "indicators/common/base_indicator.py": '''
class BaseIndicator:
    def __init__(self, close, open, high, low, bar_index, time, last_bar_index, mintick):
        self.close = close
        self.open = open
        self.high = high
        self.low = low
        self.bar_index = bar_index
        self.time = time
        self.last_bar_index = last_bar_index
        self.mintick = mintick

    def round_to_mintick(self, price):
        return round(price / self.mintick) * self.mintick
''',
    "settings.py": '''
class Settings:
    def __init__(self, **values):
        for name, value in values.items():
            setattr(self, name, value)
''',
    "backtrader/__init__.py": "class DataSeries:\n    pass\n",
}


def write_host_modules(folder: str) -> None:
    for name, text in HOST_MODULES.items():
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text.lstrip("\n"))


# ---- one measurement, in a process of its own


def child(flow: str, series_kind: str, counting: bool) -> dict:
    sys.path.insert(0, HERE)
    import bench_paths  # noqa: F401  (the package, the tests' plain series, stand-ins if absent)
    import all_bars
    import host_loop
    from workload import Workload

    bars = int(flow.split("-")[1]) if flow.startswith("live") else None
    workload = Workload() if bars is None else Workload(bars)
    counts = Counts.install(series_kind) if counting else None
    if flow == "recent":
        spent, _, _ = host_loop.run(workload, series_kind, clock=time.process_time)
    elif flow == "all-bars":
        spent, _, _ = all_bars.run_flow(workload, series_kind)
    else:
        spent = live_view(workload, series_kind)
    result = {"us_per_bar": spent / len(workload) * 1e6}
    if counts is not None:
        result["calls_per_bar"] = {k: v / len(workload) for k, v in counts.calls.items()}
        result["cost_us"] = counts.costs(workload)
    return result


def live_view(workload, kind: str) -> float:
    """The live view: before each bar's step, last_bar_index is the bar itself. CPU seconds in
    engine calls."""
    import host_loop
    from settings import Settings

    from torvex.dto.torvex import Torvex

    w = workload
    series = [host_loop.make_series(kind, list(c)) for c in w.columns()]
    close, open_, high, low, times, nh, nl, th, tl, trend = series
    mavets: list = []
    settings = Settings(**dict(w.settings, bar_count_to_snib=250))
    engine = Torvex(settings, [], [], [], mavets, nh, nl, th, tl, {}, close, open_, high, low, 0,
                    times, 0, w.mintick)
    update, update_mavet = engine.update, engine.update_mavet
    check, commit = engine.check_mavet_v3, engine.commit_latest_mavet
    caps = w.close_avg_percent
    clock, spent = time.process_time, 0.0
    for bar in range(len(w)):
        if bar:
            host_loop.advance(kind, series, bar)
        engine.bar_index = bar
        engine.last_bar_index = bar
        cap = caps[bar]
        start = clock()
        update(trend, cap)
        if bar >= host_loop.SEARCH_RANGE:
            update_mavet(host_loop.TRAP, host_loop.SEARCH_RANGE, host_loop.LOW_ABOVE_KERD, cap)
        if mavets:
            result = check(cap, host_loop.CLOSE_ABOVE_KERD, host_loop.TRAP,
                           host_loop.SIGNAL_WINDOW, host_loop.CLOSE_ABOVE_LOW,
                           host_loop.CLOSE_ABOVE_RECOVER_LOW,
                           host_loop.BAR_COUNT_CLOSE_ABOVE_KERD, host_loop.VVIP_MIN_SNIB_COUNT)
            if result.is_kerd_satisfied():
                commit(result.success.mavet.break_kerd_at_price)
        spent += clock() - start
    return spent


class Counts:
    """Counts the host's calls: the base initialiser, round_to_mintick and the plain series'
    reads; and times each kind called from C, as the engine calls them."""

    def __init__(self) -> None:
        self.calls = {"base_init": 0, "round_to_mintick": 0, "series_read": 0}

    @classmethod
    def install(cls, series_kind: str) -> "Counts":
        import host_loop
        from indicators.common.base_indicator import BaseIndicator

        counts = cls()
        init, rounding = BaseIndicator.__init__, BaseIndicator.round_to_mintick
        counts.init, counts.rounding = init, rounding

        def counted_init(self, *args):
            counts.calls["base_init"] += 1
            init(self, *args)

        def counted_rounding(self, price):
            counts.calls["round_to_mintick"] += 1
            return rounding(self, price)

        BaseIndicator.__init__ = counted_init
        BaseIndicator.round_to_mintick = counted_rounding
        if series_kind == "plain":
            plain = host_loop.PlainSeries

            class CountingSeries(plain):
                __slots__ = ()

                def __getitem__(self, offset):
                    counts.calls["series_read"] += 1
                    return plain.__getitem__(self, offset)

            host_loop.PlainSeries = CountingSeries
        return counts

    def costs(self, workload) -> dict:
        """Microseconds per call of each kind, called from C (map, starmap) as the engine
        calls them."""
        import collections
        import itertools

        import host_loop
        from indicators.common.base_indicator import BaseIndicator

        n = 200_000
        drain = collections.deque

        class Probe(BaseIndicator):
            pass

        probes = [object.__new__(Probe) for _ in range(n)]
        series = host_loop.make_series("plain", list(workload.close))
        series.current = len(workload) - 1
        args = [(p, series, series, series, series, 7, series, 9, 0.01) for p in probes]
        timings = {}
        start = time.process_time()
        drain(itertools.starmap(self.init, args), maxlen=0)
        timings["base_init"] = (time.process_time() - start) / n * 1e6
        start = time.process_time()
        drain(map(self.rounding, probes, itertools.repeat(101.2345, n)), maxlen=0)
        timings["round_to_mintick"] = (time.process_time() - start) / n * 1e6
        read = host_loop.PlainSeries.__getitem__
        start = time.process_time()
        drain(map(read, itertools.repeat(series, n), itertools.cycle((0, -1, -2, -3))), maxlen=0)
        timings["series_read"] = (time.process_time() - start) / n * 1e6
        return timings


# ---- the run


def measure(root: str, host: str, flow: str, counting: bool, host_dir: str) -> dict:
    env = dict(os.environ, TORVEX_PACKAGE_ROOT=root)
    path = [host_dir] if host != "stand-ins" else []
    env["PYTHONPATH"] = os.pathsep.join(path + [p for p in [os.environ.get("PYTHONPATH")] if p])
    series_kind = "plain" if host.endswith("plain-series") else "package"
    argv = [sys.executable, __file__, "--child", flow, series_kind]
    if counting:
        argv.append("--counting")
    done = subprocess.run(argv, env=env, check=True, capture_output=True, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def run(args: argparse.Namespace) -> None:
    roots = {"this": os.path.join(ROOT, "src")}
    if args.baseline:
        roots["baseline"] = os.path.abspath(args.baseline)
    with tempfile.TemporaryDirectory() as host_dir:
        write_host_modules(host_dir)
        best: dict = {}
        # The builds and the host sets take turns, so that the machine's drift falls on all.
        for _ in range(args.repeat):
            for flow in args.flows:
                for host in HOSTS:
                    for name, root in roots.items():
                        got = measure(root, host, flow, False, host_dir)["us_per_bar"]
                        key = (name, flow, host)
                        best[key] = min(best.get(key, got), got)
        floors = {}
        for flow in args.flows:
            for host in HOSTS[1:]:
                floors[(flow, host)] = measure(roots["this"], host, flow, True, host_dir)
    report(args.flows, roots, best, floors)


def report(flows, roots, best, floors) -> None:
    print("microseconds per bar of the engine calls (best of the runs), and the host floor")
    for flow in flows:
        print(f"\n{flow}:")
        stand_in = best[("this", flow, "stand-ins")]
        for host in HOSTS:
            figure = best[("this", flow, host)]
            line = f"  {host:18} {figure:9.1f}"
            if "baseline" in roots:
                before = best[("baseline", flow, host)]
                line += f"   baseline {before:9.1f}   this/baseline {figure / before:5.2f}"
            print(line)
        for host in HOSTS[1:]:
            found = floors[(flow, host)]
            calls, cost = found["calls_per_bar"], found["cost_us"]
            floor = sum(calls[k] * cost[k] for k in calls)
            parts = ", ".join(f"{k} {calls[k]:.1f}/bar x {cost[k]:.3f} us" for k in calls)
            figure = best[("this", flow, host)]
            if host == "host":
                target = 1.3 * stand_in + floor
                rule = "1.3 x stand-ins + floor"
            else:
                target = 2 * (stand_in + floor)
                rule = "2 x (stand-ins + floor)"
            verdict = "met" if figure <= target else "NOT met"
            print(f"  {host}: host calls {parts}; floor {floor:.1f} us/bar; "
                  f"target {rule} = {target:.1f}: {figure:.1f} {verdict}")


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--baseline", help="another build's package root, measured beside")
    parser.add_argument("--flows", nargs="+", choices=FLOWS, default=list(FLOWS))
    parser.add_argument("--child", nargs=2, metavar=("FLOW", "SERIES"), help=argparse.SUPPRESS)
    parser.add_argument("--counting", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        print(json.dumps(child(args.child[0], args.child[1], args.counting)))
        return 0
    run(args)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
