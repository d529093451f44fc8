"""A rebuild passes over the lines the length test rules out, also across the host code that
makes each new line (a host base class's initialiser) or rounds a price, as long as that code
changed neither the engine's line list nor what the tests read of its lines. Host code that does
change them (the list's order or members, a line's end, class or dictionary, a line's pivot
value made one that runs host code or fails to convert) is seen exactly as on the plain path
(the accelerators off, in a process of its own, gives the reference). The loop is the live
view: last_bar_index is each bar itself, so every bar rebuilds its lines."""

import copy
import json

import pytest
from host_hooks import hooked_base, plain_results_of, stand_in_base  # noqa: F401
from own_process import in_own_process
from test_windows_differential import host_loop, random_case

from torvex.dto.kerd import Kerd

LOG: list = []  # what host code the engine ran, in order


class HostNumber:
    """A pivot value whose conversion is host code, logged."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        LOG.append("float")
        return float(self.value)


class HostKerd(Kerd):
    """A line class whose reads of the level are host code, logged."""

    def __getattribute__(self, name):
        if name == "kerd_value":
            LOG.append("level read")
        return object.__getattribute__(self, name)


def _swap_lines(engine, lines, i):
    lines[i], lines[-1 - i] = lines[-1 - i], lines[i]


def _replace_line(engine, lines, i):
    lines[i] = copy.copy(lines[(i + 1) % len(lines)])


def _shorten_and_widen(engine, lines, i):
    # the line now passes the length test, and its band takes any level
    lines[i].end_bar_index = lines[i].start_bar_index
    lines[i].close_avg_percent = 1e6


def _host_number(engine, lines, i):
    values = lines[i].snib_values
    values[0] = HostNumber(values[0])


def _text_value(engine, lines, i):
    lines[i].snib_values[-1] = "x"


def _line_class(engine, lines, i):
    lines[i].__class__ = HostKerd


def _line_class_and_back(engine, lines, i):
    # the lines made another class at one call, back at the next: the engine's writes between
    # must be read back after
    made = not any(type(line) is HostKerd for line in lines)
    for line in lines:
        line.__class__ = HostKerd if made else Kerd


def _line_dict(engine, lines, i):
    line = lines[i]
    line.__dict__ = {**vars(line), "end_bar_index": line.end_bar_index + 7}


CHANGES = {
    "nothing": None,
    "lines swapped": _swap_lines,
    "line replaced": _replace_line,
    "line shortened and widened": _shorten_and_widen,
    "value runs host code": _host_number,
    "value fails": _text_value,
    "line class": _line_class,
    "line class and back": _line_class_and_back,
    "line dict": _line_dict,
}
HOOKS = ("init", "round")
SEEDS = (40, 41)


def run_case(seed, change, hook):
    """The live view over the stand-in base class with a host's own initialiser and
    round_to_mintick, which every fifth call makes the change to the engine's lines."""
    market, settings, mintick, cap, t = random_case(seed)
    settings.bar_count_to_snib = 60
    settings.kerd_length_threshold = 12  # most lines fail the length test
    state = {"calls": 0, "engine": None}

    def act(name):
        lines = getattr(state["engine"], "kerds", None)  # none while the engine is made
        LOG.append(name)
        if name != hook or CHANGES[change] is None or len(lines or ()) < 2:
            return
        state["calls"] += 1
        if state["calls"] % 5 == 0:
            CHANGES[change](state["engine"], lines, state["calls"] % len(lines))

    LOG.clear()
    out, error = [], None
    try:
        with hooked_base(state, act):
            out, _ = host_loop(market, settings, mintick, cap, t, 3, "package", live=True)
    except (IndexError, ValueError, TypeError) as e:
        error = f"{type(e).__name__}: {e}"
    log = list(LOG)
    lines = [(type(k).__name__, k.kerd_value, k.start_bar_index, k.end_bar_index,
              [type(v).__name__ for v in k.snib_values]) for k in state["engine"].kerds]
    return json.loads(json.dumps({"out": out, "lines": lines, "error": error, "log": log,
                                  "calls": state["calls"]}))


CASES = [(seed, change, hook) for seed in SEEDS for change in CHANGES for hook in HOOKS]


plain_results = plain_results_of(__name__, CASES)


@pytest.mark.parametrize("seed, change, hook", CASES)
@in_own_process
def test_host_code_that_changes_the_lines_is_seen_as_on_the_plain_path(
        plain_results, seed, change, hook):
    got = run_case(seed, change, hook)
    assert got == plain_results[(seed, change, hook)]
    assert got["calls"] >= 5 or change == "nothing"  # the change was made
