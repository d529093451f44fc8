import os

import pytest

import indicators.common.base_indicator as base_indicator

if "host" not in os.path.normpath(base_indicator.__file__).split(os.sep):
    pytest.skip("the host's own modules are installed", allow_module_level=True)

from indicators.common.base_indicator import BaseIndicator  # noqa: E402
from settings import DEFAULTS, Settings  # noqa: E402


@pytest.mark.parametrize(
    "mintick, price, expected",
    [
        (0.25, 0.125, 0.0),  # 0.5 ticks: halves go to the even tick
        (0.25, 0.375, 0.5),  # 1.5 ticks
        (0.25, 0.625, 0.5),  # 2.5 ticks
        (0.01, 1.23456, 123 * 0.01),
        (1, -2.5, -2),
    ],
)
def test_round_to_mintick_rounds_halves_to_even(mintick, price, expected):
    base = BaseIndicator(None, None, None, None, 0, None, 0, mintick)
    assert base.round_to_mintick(price) == expected


def test_round_to_mintick_with_zero_tick_fails():
    with pytest.raises(ZeroDivisionError):
        BaseIndicator(None, None, None, None, 0, None, 0, 0).round_to_mintick(1.0)


def test_settings_pass_every_pivot_when_not_debugging():
    s = Settings()
    assert not s.debug
    for time in (0, -(2**40), 2**62, 1.7e12):
        assert s.debug_start_time <= time <= s.debug_end_time
    for price in (-37.63, 0.0, 1e300):
        assert s.debug_start_price < price < s.debug_end_price


def test_settings_take_known_overrides_only():
    s = Settings(bar_count_to_snib=10, debug=True)
    assert (s.bar_count_to_snib, s.debug, s.snib_weight) == (10, True, DEFAULTS["snib_weight"])
    with pytest.raises(TypeError, match="bar_count_to_snb"):
        Settings(bar_count_to_snb=10)
