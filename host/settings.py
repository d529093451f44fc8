"""Stand-in for the trading host's ``settings`` module: a plain holder of named values.

``Settings()`` carries every value the engine reads, with defaults meant for daily bars;
keyword arguments override them. The engine reads each value by attribute at each use, so
assigning an attribute between bars takes effect on the next call.

Defaults:

======================================  ==========  =================================================
name                                    default     why
======================================  ==========  =================================================
debug                                   False       no debug filtering
debug_start_time                        -inf        time window open on both sides, whatever the
debug_end_time                          inf         units of the host's times
debug_start_price                       -inf        price window open on both sides (negative prices
debug_end_price                         inf         of spreads and some futures pass too)
draw_from_recent                        True        build lines from the most recent bars
bar_count_to_snib                       250         about one trading year of daily bars
high_snib_n / low_snib_n                5           a pivot is the extreme of 5 bars before ...
high_snib_m / low_snib_m                5           ... and 5 bars after it (a trading week each)
high_snib_n_on_trend / low_..._on_trend 3           shorter windows while the market trends
high_snib_m_on_trend / low_..._on_trend 3
only_body_cross                         True        wicks through a level are not crossings
kerd_extend_bar_cross_threshold         2           crossings a line tolerates after extension
allow_reuse_snib                        False       a new pivot merges into one line only
kerd_overlap_ca_percent_multiplier      0.5         lines merge within half an average bar range
bar_cross_threshold                     3           body crossings a merge tolerates
last_snib_weight                        3.0         the latest pivot counts most ...
second_last_snib_weight                 2.0
snib_weight                             1.0         ... older pivots least
kerd_length_threshold                   250         longest merged line, in bars
======================================  ==========  =================================================
"""

INF = float("inf")

DEFAULTS = {
    "debug": False,
    "debug_start_time": -INF,
    "debug_end_time": INF,
    "debug_start_price": -INF,
    "debug_end_price": INF,
    "draw_from_recent": True,
    "bar_count_to_snib": 250,
    "high_snib_n": 5,
    "high_snib_m": 5,
    "low_snib_n": 5,
    "low_snib_m": 5,
    "high_snib_n_on_trend": 3,
    "high_snib_m_on_trend": 3,
    "low_snib_n_on_trend": 3,
    "low_snib_m_on_trend": 3,
    "only_body_cross": True,
    "kerd_extend_bar_cross_threshold": 2,
    "allow_reuse_snib": False,
    "kerd_overlap_ca_percent_multiplier": 0.5,
    "bar_cross_threshold": 3,
    "last_snib_weight": 3.0,
    "second_last_snib_weight": 2.0,
    "snib_weight": 1.0,
    "kerd_length_threshold": 250,
}


class Settings:
    """Named values read by the engine; see the module documentation for the defaults."""

    def __init__(self, **overrides):
        unknown = sorted(set(overrides) - set(DEFAULTS))
        if unknown:
            raise TypeError(f"Settings() got unknown setting(s): {', '.join(unknown)}")
        self.__dict__.update(DEFAULTS)
        self.__dict__.update(overrides)

    def __repr__(self):
        changed = ", ".join(
            f"{name}={value!r}" for name, value in vars(self).items()
            if name not in DEFAULTS or DEFAULTS[name] != value
        )
        return f"Settings({changed})"
