"""The stand-in base class run as a host's own: an initialiser and round_to_mintick that store
and round as the stand-in does, each first calling back so that a test can change what the
engine keeps from inside host code; and the fixtures of the tests that compare such runs with
the plain path."""

import contextlib
import importlib
import os

import indicators.common.base_indicator as base_indicator
import pytest
from accelerators import on_plain_path

from torvex.dto.torvex import Torvex


@contextlib.contextmanager
def hooked_base(state, act):
    """While open, BaseIndicator's __init__ calls act("init") and its round_to_mintick
    act("round"); state["engine"] is the engine once its initialiser ran."""
    base = base_indicator.BaseIndicator
    saved = {name: base.__dict__[name] for name in ("__init__", "round_to_mintick")}

    def __init__(self, close, open, high, low, bar_index, time, last_bar_index, mintick):
        self.close, self.open, self.high, self.low = close, open, high, low
        self.bar_index, self.time = bar_index, time
        self.last_bar_index, self.mintick = last_bar_index, mintick
        if isinstance(self, Torvex):
            state["engine"] = self
        act("init")

    def round_to_mintick(self, price):
        act("round")
        return round(price / self.mintick) * self.mintick

    base.__init__, base.round_to_mintick = __init__, round_to_mintick
    try:
        yield
    finally:
        base.__init__, base.round_to_mintick = saved["__init__"], saved["round_to_mintick"]


def run_grid(module_name):
    """run_case(*case) of the test module for each of its CASES."""
    module = importlib.import_module(module_name)
    return [module.run_case(*case) for case in module.CASES]


def plain_results_of(module_name, cases):
    """A module fixture: every case of the module's run_case on the plain path, in one
    interpreter with the accelerators off."""

    @pytest.fixture(scope="module")
    def plain_results():
        return dict(zip(cases, on_plain_path(__name__, "run_grid", module_name)))

    return plain_results


@pytest.fixture(autouse=True)
def stand_in_base():
    # the checkout's stand-ins, or those an installed package keeps
    if not {"host", "_host"} & set(os.path.normpath(base_indicator.__file__).split(os.sep)):
        pytest.skip("the host's own modules are installed")
