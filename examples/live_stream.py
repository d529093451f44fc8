"""Levels from a live source: bars come one at a time, as from a broker's feed or a websocket,
and each signal is printed the moment its bar closes.

    PYTHONPATH=src python3 examples/live_stream.py [--days 600] [--delay 0.0] [--save state.pkl]

The source is a generator of a seeded random walk (not market data) that knows nothing of the
bars to come. It sends every day twice while the day forms (a tick that updates the day's bar)
and once when the day closes. The stream is warmed up on the embedded history first, peeks at
the forming bar on each tick (a peek commits nothing) and takes the bar when it closes.
`--save` pickles the stream at the end: loaded again, it goes on exactly where it stopped.
"""

import argparse
import datetime as dt
import math
import pickle
import random
import time
from collections.abc import Iterator

from torvex.kit import Stream, sample_bars

ENGINE = "python"  # TEMP


def live_source(start: dt.date, price: float, days: int, seed: int = 7, delay: float = 0.0
                ) -> Iterator[tuple[str, dt.date, float, float, float, float]]:
    """("tick" or "close", day, open, high, low, close) of each business day after `start`:
    two ticks while the day forms, then its close. Only the past decides a bar."""
    rng = random.Random(seed)
    day = start
    for _ in range(days):
        day += dt.timedelta(days=3 if day.weekday() == 4 else 1)
        o = high = low = last = price * math.exp(rng.gauss(0, 0.003))
        for kind in ("tick", "tick", "close"):
            last *= math.exp(rng.gauss(0, 0.007))
            high = max(high, last * (1 + abs(rng.gauss(0, 0.002))))
            low = min(low, last * (1 - abs(rng.gauss(0, 0.002))))
            yield kind, day, round(o, 2), round(high, 2), round(low, 2), round(last, 2)
            time.sleep(delay)
        price = last


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--days", type=int, default=600, help="days the live source sends")
    parser.add_argument("--delay", type=float, default=0.0, help="seconds between messages")
    parser.add_argument("--save", metavar="FILE", help="pickle the stream here at the end")
    args = parser.parse_args()

    history = sample_bars()
    stream = Stream.from_bars(history, engine=ENGINE)  # as a live host would have taken it
    print(f"warmed up on {stream.bars} bars of {history.source} ({stream.engine} model)")
    last_day = dt.date.fromisoformat(history.dates[-1])
    forming_signals = signals = 0
    for kind, day, o, h, lo, c in live_source(last_day, float(history.close[-1]), args.days,
                                              delay=args.delay):
        if kind == "tick":
            forming_signals += stream.peek(day, o, h, lo, c).signal
            continue
        outcome = stream.add(day, o, h, lo, c)
        if outcome.signal:
            signals += 1
            support = outcome.support.price if outcome.support else math.nan
            print(f"{outcome.date}  close {c:8.2f}  signal at {outcome.level:8.2f}"
                  f"{'  vvip' if outcome.vvip else ''}  (support {support:.2f})")
    lines = [line for line in stream.levels() if not line.violated]
    print(f"{signals} signals over {args.days} live days ({forming_signals} seen forming on "
          f"ticks); {len(lines)} lines standing at the end:")
    for line in sorted(lines, key=lambda line: -line.level):
        print(f"  {line.level:8.2f}  from {line.start_date}, pivots {len(line.pivots)}")
    if args.save:
        with open(args.save, "wb") as f:
            pickle.dump(stream, f)
        print(f"stream saved to {args.save}: pickle.load it to go on from {day}")


if __name__ == "__main__":
    main()
