"""The rules a bar must meet, whatever brings it: a file or table checked a column at a time
(`torvex.kit.load_bars`), or a stream checked a bar at a time (`torvex.kit.Stream`).

Each rule is written once, with operators that mean the same on one number and on a numpy
array (``<``, ``<=``, ``!=``, ``abs``, ``|``), so that both checks refuse exactly the same bars
with the same words. The order of the tuples is the order of the checks within one bar: the
date first (its cell must be a date at all, which the reader decides), then each price from
left to right by `PRICE_RULES`, then `ROW_RULES` across the bar's prices, then the bar's time
against the previous bar's (`ORDER`), then the range of intraday times (`INTRADAY_TIME`).
"""

from __future__ import annotations

from typing import Any, Callable, NamedTuple

__all__ = [
    "CLIP_HINT",
    "INT32_MAX",
    "INTRADAY_TIME",
    "MAX_PRICE",
    "ORDER",
    "PRICES",
    "PRICE_RULES",
    "ROW_RULES",
    "PriceRule",
    "RowRule",
    "bar_problem",
    "intraday_time_message",
    "order_message",
    "prices_pass",
]

PRICES = ("Open", "High", "Low", "Close")
# Far above any quote, and low enough that sums of prices, tick multiples and printed levels
# stay finite and readable.
MAX_PRICE = 1e15
# intraday bars reach the engine as Unix seconds in its 32-bit time fields
INT32_MAX = 2**31 - 1
_INF = float("inf")


class PriceRule(NamedTuple):
    """A rule for one price on its own. `refuses(value)` is true where the price breaks it."""

    refuses: Callable[[Any], Any]
    message: Callable[[float], str]


class RowRule(NamedTuple):
    """A rule across one bar's prices, named by `column` in messages.
    `refuses(open, high, low, close)` is true where the bar breaks it."""

    column: str
    refuses: Callable[[Any, Any, Any, Any], Any]
    message: Callable[[float, float, float, float], str]


PRICE_RULES: tuple[PriceRule, ...] = (
    PriceRule(lambda v: v != v, lambda v: "NaN price"),
    PriceRule(lambda v: abs(v) == _INF, lambda v: "infinite price"),
    PriceRule(lambda v: v <= 0, lambda v: f"price {v:g} is not above 0"),
    PriceRule(
        lambda v: v > MAX_PRICE, lambda v: f"price {v:g} is above {MAX_PRICE:g}, the largest"
    ),
)

# vendors' files do hold bars whose open or close lies outside their range; moving them
# inside is the reader's choice (clip), never a silent one
CLIP_HINT = "clip=True (--clip) moves open and close into low..high"


def _outside(name: str, value: float, high: float, low: float) -> str:
    side = f"above high {high:g}" if value > high else f"below low {low:g}"
    return f"{name} {value:g} is {side}; {CLIP_HINT}"


ROW_RULES: tuple[RowRule, ...] = (
    RowRule(
        "High", lambda o, h, lo, c: h < lo, lambda o, h, lo, c: f"high {h:g} is below low {lo:g}"
    ),
    RowRule(
        "Open",
        lambda o, h, lo, c: (o < lo) | (o > h),
        lambda o, h, lo, c: _outside("open", o, h, lo),
    ),
    RowRule(
        "Close",
        lambda o, h, lo, c: (c < lo) | (c > h),
        lambda o, h, lo, c: _outside("close", c, h, lo),
    ),
)


class _OrderRule(NamedTuple):
    column: str
    refuses: Callable[[Any, Any], Any]  # (this bar's moment, the previous bar's)


# a bar's date must be after the previous bar's
ORDER = _OrderRule("Date", lambda moment, previous: moment <= previous)


class _TimeRule(NamedTuple):
    column: str
    refuses: Callable[[Any], Any]  # (the engine time of an intraday bar)


INTRADAY_TIME = _TimeRule("Date", lambda seconds: (seconds < 0) | (seconds > INT32_MAX))


def order_message(text: str, previous_text: str, same: bool, previous_name: str) -> str:
    """The message of `ORDER`: `text` and `previous_text` are the two bars' dates as shown,
    `previous_name` says which the previous bar is (``row 12``, ``the previous bar``)."""
    if same:
        return f"{text} repeats the date of {previous_name}"
    return f"{text} is before {previous_text} of {previous_name}"


def intraday_time_message(text: str) -> str:
    return f"{text} is outside 1970..2038"


def bar_problem(
    open: float, high: float, low: float, close: float, offers_clip: bool = True
) -> tuple[str, str] | None:
    """The column and message of the first rule one bar's prices break, None when they break
    none: each price by `PRICE_RULES` from left to right, then `ROW_RULES`. A caller without
    a clip option (a stream, a feed) passes ``offers_clip=False``: its message has no hint."""
    for column, value in zip(PRICES, (open, high, low, close)):
        for rule in PRICE_RULES:
            if rule.refuses(value):
                return column, rule.message(value)
    for row in ROW_RULES:
        if row.refuses(open, high, low, close):
            message = row.message(open, high, low, close)
            return row.column, message if offers_clip else message.removesuffix(f"; {CLIP_HINT}")
    return None


def prices_pass(open: float, high: float, low: float, close: float) -> bool:
    """Whether one bar's prices break no rule, in one expression: the check a stream makes on
    every bar, `bar_problem` saying why only when this refuses. Valid while it accepts exactly
    the bars that pass `PRICE_RULES` and `ROW_RULES` (a test holds the two together)."""
    return 0.0 < low <= open <= high <= MAX_PRICE and low <= close <= high
