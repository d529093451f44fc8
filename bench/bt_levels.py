"""Microseconds per bar: torvex.kit.run, TorvexLevels inside a backtrader Cerebro, and the same
Cerebro with no indicator, in one run on one synthetic daily series, in both views.

    PYTHONPATH=src python3 bench/bt_levels.py [--bars N] [--repeat K] [--set name=value ...]

Each figure is the best of K runs. Cerebro rows are the wall time of `Cerebro.run` over a lean
feed that reads prebuilt lists, preloaded (runonce on and off) and not preloaded; "its own
clock" is the time spent inside TorvexLevels itself, and "own cost" the Cerebro with the
indicator less the same Cerebro without it. The end view drives the Python model (with
preload=False it computes the inputs bar by bar and needs last_bar_index); the live view, the
indicator's default, feeds a torvex.kit.Stream on any feed (the native model here). "engine
loop" is kit.run's bar loop without its input computation. Two configurations: the defaults
(line work on the last 500 bars in the end view) and bar_count_to_snib=1000.
"""

import argparse
import datetime as dt
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src"))

import backtrader as bt  # noqa: E402

from torvex.bt import TorvexLevels  # noqa: E402
from torvex.kit import Settings, run, synthetic_bars  # noqa: E402
from torvex.kit.settings import parse_assignment  # noqa: E402


class ListFeed(bt.feed.DataBase):
    """Bars from prebuilt lists: as little feed overhead as backtrader allows."""

    params = (("rows", None),)

    def start(self):
        super().start()
        self._next = 0

    def _load(self):
        rows = self.p.rows
        if self._next >= len(rows):
            return False
        number, o, h, lo, c = rows[self._next]
        self._next += 1
        line = self.lines
        line.datetime[0], line.open[0], line.high[0], line.low[0], line.close[0] = number, o, h, lo, c
        line.volume[0] = line.openinterest[0] = 0.0
        return True


class WithLevels(bt.Strategy):
    params = (("kw", {}),)

    def __init__(self):
        self.levels = TorvexLevels(self.data, **self.p.kw)


def cerebro_seconds(rows, strategy, kw, runonce, preload=True):
    cerebro = bt.Cerebro(stdstats=False, runonce=runonce, preload=preload)
    cerebro.adddata(ListFeed(rows=rows))
    cerebro.addstrategy(strategy, **({"kw": kw} if strategy is WithLevels else {}))
    started = time.perf_counter()
    done = cerebro.run()[0]
    seconds = time.perf_counter() - started
    inside = done.levels.result.seconds if strategy is WithLevels else 0.0
    return seconds, inside


# (label, runonce, preload): the feeds each view is timed on
FEEDS = [
    ("preloaded, runonce", True, True),
    ("preloaded, next", False, True),
    ("not preloaded", False, False),
]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bars", type=int, default=5000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--set", dest="assignments", action="append", default=[])
    parser.add_argument("--configurations", choices=["both", "defaults"], default="both")
    args = parser.parse_args()
    bars = synthetic_bars(args.bars, seed=20240601)
    rows = [
        (bt.date2num(dt.datetime.fromisoformat(d)), o, h, lo, c)
        for d, o, h, lo, c in zip(
            bars.dates, bars.open.tolist(), bars.high.tolist(), bars.low.tolist(),
            bars.close.tolist(),
        )
    ]
    given = dict(parse_assignment(text) for text in args.assignments)
    configurations = [("defaults", given)]
    if args.configurations == "both":
        configurations.append(("bar_count_to_snib=1000", {**given, "bar_count_to_snib": 1000}))
    per_bar = 1e6 / len(bars)
    print(f"{len(bars)} bars, best of {args.repeat}; microseconds per bar")
    print(f"{'configuration':<24} {'what':<52} {'us/bar':>8}")
    for label, kw in configurations:
        settings = Settings(**kw)
        best: dict[str, float] = {}

        def keep(name: str, seconds: float) -> None:
            best[name] = min(best.get(name, float("inf")), seconds)

        for _ in range(args.repeat):
            for view in ("end", "live"):
                # the default picks the native model; the end view's indicator drives the
                # Python one
                for model in ("auto", "python"):
                    started = time.perf_counter()
                    result = run(bars, settings, engine=model, view=view)
                    keep(f"kit.run {view}, {result.engine} (inputs and loop)",
                         time.perf_counter() - started)
                    keep(f"kit.run {view}, {result.engine} engine loop", result.seconds)
            for feed, runonce, preload in FEEDS:
                keep(f"Cerebro, no indicator, {feed}",
                     cerebro_seconds(rows, bt.Strategy, kw, runonce, preload)[0])
                for view in ("end", "live"):
                    extra = {"last_bar_index": len(bars) - 1} if view == "end" else {}
                    total, inside = cerebro_seconds(
                        rows, WithLevels, {**kw, **extra, "view": view}, runonce, preload)
                    keep(f"Cerebro + TorvexLevels {view}, {feed}", total)
                    keep(f"  its own clock, {view}, {feed}", inside)
        for name, seconds in best.items():
            print(f"{label:<24} {name:<52} {seconds * per_bar:8.1f}")
        # the indicator's own cost: the Cerebro with it less the same Cerebro without it
        for view in ("end", "live"):
            own = {feed: best[f"Cerebro + TorvexLevels {view}, {feed}"]
                   - best[f"Cerebro, no indicator, {feed}"] for feed, _, _ in FEEDS}
            for feed, seconds in own.items():
                print(f"{label:<24} {'TorvexLevels ' + view + ' own cost, ' + feed:<52} "
                      f"{seconds * per_bar:8.1f}")
            ratio = own["not preloaded"] / own["preloaded, next"]
            print(f"{label:<24} {'  not preloaded / preloaded (next), ' + view:<52} "
                  f"{ratio:8.2f}")


if __name__ == "__main__":
    main()
