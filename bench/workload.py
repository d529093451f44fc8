"""The engine benchmark's market, bar for bar the same as bench/workload.hpp builds it.

A seeded random walk of daily-like bars (moves around 1 %), the host-side pivot series (n=5,
m=5 normal; n=3, m=2 trending), trend flags from a moving-average slope and the average bar
range in percent. Only +, -, *, / and comparisons on floats are used, in the same order as the
C++ version, so both produce identical values.
"""

import math

from plain_series import plain_pivots as pivots
from torvex.native import MARKET_COLUMNS

SEED = 20240601
BARS = 5000
MINTICK = 0.01

_MASK = (1 << 64) - 1

SETTINGS = {
    "debug": False,
    "debug_start_time": -math.inf,
    "debug_end_time": math.inf,
    "debug_start_price": -math.inf,
    "debug_end_price": math.inf,
    "draw_from_recent": True,
    "bar_count_to_snib": 1500,
    "high_snib_n": 5,
    "high_snib_m": 5,
    "low_snib_n": 5,
    "low_snib_m": 5,
    "high_snib_n_on_trend": 3,
    "high_snib_m_on_trend": 2,
    "low_snib_n_on_trend": 3,
    "low_snib_m_on_trend": 2,
    "only_body_cross": True,
    "kerd_extend_bar_cross_threshold": 3,
    "allow_reuse_snib": True,
    "kerd_overlap_ca_percent_multiplier": 0.5,
    "bar_cross_threshold": 3,
    "last_snib_weight": 3,
    "second_last_snib_weight": 2,
    "snib_weight": 1,
    "kerd_length_threshold": 120,
}


class Random:
    """splitmix64, as in bench/workload.hpp."""

    def __init__(self, seed):
        self.state = seed

    def uniform(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & _MASK
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK
        z ^= z >> 31
        return (z >> 11) * (1.0 / 9007199254740992.0)


def trailing_mean(values, t, length):
    first = max(t - length + 1, 0)
    total = 0.0
    for j in range(first, t + 1):
        total = total + values[j]
    return total / float(t - first + 1)


class Workload:
    """The market's columns, one element per bar (is_ma_trending 1.0 while trending, else
    0.0), and the settings as keyword values."""

    def __init__(self, bars=BARS, seed=SEED):
        random = Random(seed)
        self.open, self.high, self.low, self.close, self.time = [], [], [], [], []
        previous = 100.0
        for i in range(bars):
            open_ = previous * (1.0 + (random.uniform() - 0.5) * 0.004)
            close = previous * (1.0 + (random.uniform() - 0.5) * 0.0346)
            top = max(close, open_)
            bottom = min(close, open_)
            self.open.append(open_)
            self.close.append(close)
            self.high.append(top * (1.0 + random.uniform() * 0.006))
            self.low.append(bottom * (1.0 - random.uniform() * 0.006))
            self.time.append(1000000000 + 86400 * i)
            previous = close
        self.normal_high_snib = pivots(self.high, 5, 5, 1.0)
        self.normal_low_snib = pivots(self.low, 5, 5, -1.0)
        self.trending_high_snib = pivots(self.high, 3, 2, 1.0)
        self.trending_low_snib = pivots(self.low, 3, 2, -1.0)

        average = [trailing_mean(self.close, t, 20) for t in range(bars)]
        ranges = [(self.high[t] - self.low[t]) / self.close[t] * 100.0 for t in range(bars)]
        self.is_ma_trending, self.close_avg_percent = [], []
        for t in range(bars):
            trending = False
            if t >= 25:
                move = average[t] - average[t - 5]
                size = -move if move < 0.0 else move
                trending = size * 100.0 >= 1.5 * average[t - 5]
            self.is_ma_trending.append(1.0 if trending else 0.0)
            self.close_avg_percent.append(trailing_mean(ranges, t, 14))
        self.settings = dict(SETTINGS)
        self.mintick = MINTICK

    def __len__(self):
        return len(self.close)

    def columns(self):
        """The market's columns in the order the engine's batch path names them."""
        return [getattr(self, name) for name in MARKET_COLUMNS]

    def market(self):
        """The market as the batch path takes it: a dict of its columns."""
        return {name: getattr(self, name) for name in MARKET_COLUMNS}
