"""Write a seeded synthetic universe as one CSV file per instrument, to try `torvex scan` on.

    PYTHONPATH=src python3 examples/make_universe.py DIR [--instruments 50] [--bars 2500]

Not market data: each instrument is a seeded random walk of its own volatility.
"""

import argparse
import os

from torvex.kit import synthetic_universe


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder")
    parser.add_argument("--instruments", type=int, default=50)
    parser.add_argument("--bars", type=int, default=2500)
    parser.add_argument("--seed", type=int, default=11)
    args = parser.parse_args()
    os.makedirs(args.folder, exist_ok=True)
    for symbol, bars in synthetic_universe(args.instruments, args.bars, args.seed).items():
        prices = [values.tolist() for values in (bars.open, bars.high, bars.low, bars.close)]
        with open(os.path.join(args.folder, f"{symbol}.csv"), "w", encoding="utf-8") as f:
            f.write("Date,Open,High,Low,Close\n")
            for date, *row in zip(bars.dates, *prices):
                f.write(",".join([date, *(f"{price:.2f}" for price in row)]) + "\n")
    print(f"{args.instruments} instruments of {args.bars} bars written to {args.folder}")


if __name__ == "__main__":
    main()
