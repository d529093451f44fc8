"""The line algorithms on the host's objects (torvex.dto.kerd) and on the native model
(torvex.native) give the same results for the same random lines and bars."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from torvex import native
from torvex.dto.kerd import Kerd, calculate_weighted_kerd_value
from torvex.series import Series
from plain_series import PlainSeries

ATTRS = ["start_bar_index", "end_bar_index", "start_time", "end_time", "kerd_value",
         "kerd_accum_value", "snib_values", "close_avg_percent", "bar_crosses", "violated",
         "extended", "extend_end_bar_index", "bar_crosses_post_extend",
         "historical_extend_bar_crosses_checked", "post_extend_end_bar_index"]


# Prices on a coarse grid, so that bodies often touch a level exactly.
prices = st.integers(16, 24).map(lambda x: x / 2)
weights = st.one_of(st.integers(-2, 4), st.sampled_from([0.5, 1.5, 2.25]))


@st.composite
def markets(draw):
    n = draw(st.integers(1, 30))
    bars = dict(open=draw(st.lists(prices, min_size=n, max_size=n)),
                close=draw(st.lists(prices, min_size=n, max_size=n)))
    # A line's bar_index past the data makes the scan run out of history.
    bar_index = n - 1 + draw(st.sampled_from([0, 0, 0, 2]))

    def line():
        start = draw(st.integers(0, n - 1))
        end = draw(st.integers(start, n - 1))
        values = draw(st.lists(prices, min_size=0, max_size=5))
        value = draw(prices)
        return dict(bar_index=bar_index, mintick=draw(st.sampled_from([0.01, 0.25, 0.5])),
                    start_bar_index=start, end_bar_index=end,
                    start_time=draw(st.sampled_from([start, 1000 + start])),
                    end_time=1000 + end, kerd_value=value,
                    kerd_accum_value=draw(st.sampled_from([value, value * 2])),
                    snib_values=values, close_avg_percent=1.0,
                    extended=draw(st.booleans()), extend_end_bar_index=draw(st.integers(0, 9)),
                    historical_extend_bar_crosses_checked=draw(st.booleans()),
                    bar_crosses_post_extend=draw(st.integers(0, 3)),
                    post_extend_end_bar_index=draw(st.integers(0, 9)))

    return bars, line(), line()


def host_line(d, bars, series_type):
    close, open_ = series_type(bars["close"]), series_type(bars["open"])
    fields = {name: d[name] for name in ATTRS if name in d}
    fields["snib_values"] = list(d["snib_values"])
    return Kerd(close, open_, None, None, d["bar_index"], None, d["bar_index"], d["mintick"],
                **fields)


def outcome(call):
    try:
        return ("ok", call())
    except Exception as error:  # the error kind must match too
        return ("error", type(error))


def state(k):
    return {name: getattr(k, name) for name in ATTRS}


@pytest.mark.parametrize("series_type", [Series, PlainSeries])
@settings(max_examples=300, deadline=None)
@given(market=markets(), w=st.tuples(weights, weights, weights),
       threshold=st.sampled_from([0, 1, 2, 2.5]), count=st.integers(0, 3),
       percent=st.sampled_from([0, 1, 2.5, 5, 10]), limit=st.integers(0, 30),
       price=st.floats(-100, 100, allow_nan=False))
def test_models_agree(series_type, market, w, threshold, count, percent, limit, price):
    bars, a, b = market
    ka, kb = host_line(a, bars, series_type), host_line(b, bars, series_type)

    assert outcome(lambda: calculate_weighted_kerd_value(a["snib_values"], *w)) == outcome(
        lambda: native.calculate_weighted_kerd_value(a["snib_values"], *w))
    assert outcome(lambda: ka.round_to_mintick(price)) == outcome(
        lambda: native.round_to_mintick(a, price))
    assert ka.not_equal(kb) == native.not_equal(a, b)
    assert ka.overlap(kb, percent) == native.overlap(a, b, percent)
    assert kb.overlap(ka, percent) == native.overlap(b, a, percent)
    assert ka.is_kerd_length_passed_if_merged(kb, limit) == native.is_kerd_length_passed_if_merged(
        a, b, limit)
    for first, second, kfirst, ksecond in ((a, b, ka, kb), (b, a, kb, ka)):
        assert outcome(lambda: kfirst.is_kerd_bar_crosses_violated_if_merged(
            ksecond, threshold, *w, count)) == outcome(
            lambda: native.is_kerd_bar_crosses_violated_if_merged(
                bars, first, second, threshold, *w, count))

    for backward in (False, True):
        kself, ktarget = host_line(a, bars, series_type), host_line(b, bars, series_type)
        assert kself.merge(ktarget, *w, backward) is True
        merged = native.merge(a, b, *w, backward)
        assert state(kself) == {name: merged[name] for name in ATTRS}
        assert state(ktarget) == state(host_line(b, bars, series_type))
