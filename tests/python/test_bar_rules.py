"""One rule set for bars: a file's column checks and a stream's bar check refuse the same bars,
with the same column and words, and the stream's one-expression check agrees with the rules."""

import math

import pytest
from hypothesis import given
from hypothesis import strategies as st

from torvex.kit import Bars, BarsError
from torvex.kit.bar_rules import CLIP_HINT, MAX_PRICE, bar_problem, prices_pass

# the values where the rules change their mind, and a few ordinary ones
EDGES = [math.nan, math.inf, -math.inf, -1.0, 0.0, 5e-324, 1.0, 2.0, 2.5, 100.0, MAX_PRICE,
         math.nextafter(MAX_PRICE, math.inf), 1e300]
price = st.one_of(st.sampled_from(EDGES), st.floats(allow_nan=True, allow_infinity=True))


@given(o=price, h=price, lo=price, c=price)
def test_the_one_expression_check_passes_exactly_what_the_rules_pass(o, h, lo, c):
    assert prices_pass(o, h, lo, c) == (bar_problem(o, h, lo, c) is None)


@given(o=st.sampled_from(EDGES), h=st.sampled_from(EDGES), lo=st.sampled_from(EDGES),
       c=st.sampled_from(EDGES))
def test_a_file_refuses_a_bar_exactly_as_the_bar_check_does(o, h, lo, c):
    good = (10.0, 11.0, 9.0, 10.0)
    problem = bar_problem(o, h, lo, c)
    rows = list(zip(good, (o, h, lo, c)))  # the bad bar second, after a good one
    try:
        Bars.from_arrays(["2024-01-02", "2024-01-03"], *rows)
    except BarsError as e:
        assert problem is not None
        column, message = problem
        assert str(e) == f"<bars>: index 1, column {column}: {message}"
    else:
        assert problem is None


@pytest.mark.parametrize("bar, expected", [
    ((math.nan, 1.0, 2.0, 1.0), ("Open", "NaN price")),  # prices left to right first
    ((1.0, 1.0, 2.0, -math.inf), ("Close", "infinite price")),
    ((1.0, 1.0, 2.0, 1.0), ("High", "high 1 is below low 2")),
    ((1.0, 2e15, 1.0, 1.0), ("High", "price 2e+15 is above 1e+15, the largest")),
    ((8.0, 11.0, 9.0, 12.0), ("Open", "open 8 is below low 9; " + CLIP_HINT)),
    ((10.0, 11.0, 9.0, 11.5), ("Close", "close 11.5 is above high 11; " + CLIP_HINT)),
])
def test_the_first_broken_rule_is_named(bar, expected):
    assert bar_problem(*bar) == expected
