"""The engine rounds committed prices to the tick itself where the call it stands for would run
the stand-in base class's own round_to_mintick; the keys it stores must be the ones that call
gives (value, type, sign of zero), and any host change to what the call runs must be called."""

import builtins
import math
import os
import sys

import pytest

import indicators.common.base_indicator as base_indicator

if "host" not in os.path.normpath(base_indicator.__file__).split(os.sep):
    pytest.skip("the host's own modules are installed", allow_module_level=True)

from indicators.common.base_indicator import BaseIndicator  # noqa: E402
from settings import Settings  # noqa: E402

from torvex.dto.torvex import Torvex  # noqa: E402

STAND_IN = BaseIndicator.round_to_mintick


def engine(mintick, engine_class=Torvex):
    return engine_class(Settings(), [], [], [], [], None, None, None, None, {}, None, None,
                        None, None, 0, None, 10, mintick)


def committed_key(e, price):
    e.latest_mavets.clear()
    e.commit_latest_mavet(price)
    (key,) = e.latest_mavets
    return key


def outcome(action):
    try:
        value = action()
    except Exception as error:  # noqa: BLE001 - the error itself is compared
        return type(error), str(error)
    return type(value), repr(value)


@pytest.mark.parametrize("mintick, price", [
    (0.01, 1.23456), (0.01, -0.003), (-0.01, 0.003), (0.01, -0.0), (0.25, 0.125), (0.25, 0.375),
    (0.25, -0.625), (1e-300, 1e300), (0.01, 1e308), (1, 2.5), (0.01, 7), (0, 1.0), (0.0, 1.0),
    (0.01, math.nan), (0.01, math.inf), (0.01, "1"), ("x", 1.0),
])
def test_committed_key_is_what_the_base_class_gives(mintick, price):
    e = engine(mintick)
    expected = outcome(lambda: STAND_IN(e, price))
    assert outcome(lambda: committed_key(e, price)) == expected


def recorder(calls):
    def round_to_mintick(self, price):
        calls.append(price)
        return ("host", price)
    return round_to_mintick


def shadow_round_in_module(monkeypatch, calls):
    monkeypatch.setattr(base_indicator, "round", lambda x: calls.append(x) or 5, raising=False)


def replace_builtin_round(monkeypatch, calls):
    real = builtins.round
    monkeypatch.setattr(builtins, "round", lambda *a: calls.append(a[0]) or real(*a))


def replace_code(monkeypatch, calls):
    def counting(self, price):
        self.calls.append(price)
        return round(price / self.mintick) * self.mintick
    monkeypatch.setattr(STAND_IN, "__code__", counting.__code__)


def drop_mark(monkeypatch, calls):
    monkeypatch.delattr(STAND_IN, "torvex_rounds_to_mintick")

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is STAND_IN.__code__:
            calls.append(frame.f_locals["price"])
    sys.setprofile(profile)  # cleared by the test


def shadow_on_instance(monkeypatch, calls):
    return {"round_to_mintick": recorder(calls)}


def shadow_in_dict_subclass(monkeypatch, calls):
    return {"round_to_mintick": recorder(calls), "dict_class": type("Attrs", (dict,), {})}


def override_in_subclass(monkeypatch, calls):
    return {"class": type("Engine", (Torvex,), {"round_to_mintick": recorder(calls)})}


@pytest.mark.parametrize("change", [
    shadow_round_in_module, replace_builtin_round, replace_code, drop_mark, shadow_on_instance,
    shadow_in_dict_subclass, override_in_subclass,
])
def test_a_changed_rounding_is_called(monkeypatch, change):
    calls = []
    extra = change(monkeypatch, calls) or {}
    e = engine(0.01, extra.get("class", Torvex))
    e.calls = calls
    if "dict_class" in extra:
        e.__dict__ = extra["dict_class"](e.__dict__)
    if "round_to_mintick" in extra:
        e.round_to_mintick = extra["round_to_mintick"].__get__(e)
    expected = outcome(lambda: e.round_to_mintick(1.23456))
    del calls[:]
    try:
        assert outcome(lambda: committed_key(e, 1.23456)) == expected
    finally:
        sys.setprofile(None)
    assert calls, "the host's rounding was not run"
