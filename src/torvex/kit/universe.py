"""Synthetic universes: many seeded instruments at once, for tests and benchmarks."""

from __future__ import annotations

import dataclasses

import numpy as np

from .bars import Bars, synthetic_bars

__all__ = ["synthetic_universe"]


def synthetic_universe(
    count: int, bars: int = 2500, seed: int = 11, start: str = "2015-01-02"
) -> dict[str, Bars]:
    """`count` instruments of `bars` daily bars each, keyed ``SYN0000``, ``SYN0001``, ...: every
    one its own seeded walk with a starting price between 5 and 500 and a daily volatility
    between 0.5 % and 3 %, drawn from `seed`. The same arguments give the same universe."""
    rng = np.random.default_rng(seed)
    prices = np.round(rng.uniform(5.0, 500.0, count), 2)
    volatilities = rng.uniform(0.005, 0.03, count)
    seeds = rng.integers(0, 2**31 - 1, count)
    width = max(4, len(str(count - 1)))
    universe = {}
    for i in range(count):
        symbol = f"SYN{i:0{width}d}"
        one = synthetic_bars(
            bars,
            seed=int(seeds[i]),
            start=start,
            price=float(prices[i]),
            volatility=float(volatilities[i]),
        )
        universe[symbol] = dataclasses.replace(one, source=symbol)
    return universe
