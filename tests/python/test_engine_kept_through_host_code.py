"""What an engine operation keeps of its lines and settings outlives host code that changes none
of it: a host base class's initialiser when a line is made, round_to_mintick. Host code that
does change it (a line's attribute, a line's pivot values in place, a line's or the settings
object's dictionary, a setting, a class) is seen by the next read, exactly as on the plain path
(the accelerators off, in a process of its own, gives the reference)."""

import json

import indicators.common.base_indicator as base_indicator
import pytest
from host_hooks import hooked_base, plain_results_of, stand_in_base  # noqa: F401
from own_process import in_own_process
from settings import Settings
from test_windows_differential import host_loop, random_case

from torvex.dto.kerd import Kerd


def _bump_level(engine, line):
    line.kerd_value += 0.25


def _replace_value_in_place(engine, line):
    line.snib_values[0] -= 0.5


def _append_value_in_place(engine, line):
    line.snib_values.append(line.snib_values[-1] + 0.25)


def _delete_value_in_place(engine, line):
    if len(line.snib_values) > 1:
        del line.snib_values[-1]


def _reorder_values_in_place(engine, line):
    # the same items, as many: only their order tells
    line.snib_values.reverse()


def _new_line_dict(engine, line):
    line.__dict__ = {**vars(line), "kerd_value": line.kerd_value - 0.25}


def _rebind_setting(engine, line):
    engine.settings.only_body_cross = not engine.settings.only_body_cross


def _new_settings_dict(engine, line):
    weight = engine.settings.last_snib_weight + 2
    engine.settings.__dict__ = {**vars(engine.settings), "last_snib_weight": weight}


def _settings_class(engine, line):
    threshold = vars(engine.settings)["kerd_extend_bar_cross_threshold"] % 3 + 1
    type(engine.settings).kerd_extend_bar_cross_threshold = property(lambda s: threshold)


def _line_class(engine, line):
    # A class attribute without __get__ under an instance's own: reads stay, the class changes;
    # the level rebound on the line too, so a stale read would show.
    Kerd.host_mark = getattr(Kerd, "host_mark", 0) + 1
    line.kerd_value += 0.5


PROPERTY_READS = {"count": 0}  # a read kept past the class's change would not be counted


def _shifted_property(owner, name):
    """A property over the instances' own `name`, shifted further each time it is put on `owner`:
    the class changes, no instance dictionary does."""
    before = owner.__dict__.get(name)
    shift = (before.fget.shift if isinstance(before, property) else 0) + 0.25

    def get(self):
        PROPERTY_READS["count"] += 1
        return vars(self)[name] + shift

    def set_(self, value):
        vars(self)[name] = value

    get.shift = shift
    setattr(owner, name, property(get, set_))


def _line_class_property(engine, line):
    _shifted_property(type(line), "kerd_value")


def _line_class_setter(engine, line):
    # Stores a shifted level: a line whose initialiser runs this stores its level through it.
    def set_(self, value):
        vars(self)["kerd_value"] = value + 0.25

    Kerd.kerd_value = property(lambda self: vars(self)["kerd_value"], set_)


def _line_base_class_property(engine, line):
    _shifted_property(type(line).__mro__[1], "kerd_value")


def _settings_base_class_property(engine, line):
    _shifted_property(type(engine.settings).__mro__[1], "last_snib_weight")


# What the changes may put on a class, taken off after each case.
PUT_ON_CLASSES = (
    (Kerd, "host_mark"), (Kerd, "kerd_value"), (base_indicator.BaseIndicator, "kerd_value"),
    (Settings, "last_snib_weight"))

CHANGES = {
    "nothing": None,
    "level": _bump_level,
    "value replaced in place": _replace_value_in_place,
    "value appended in place": _append_value_in_place,
    "value deleted in place": _delete_value_in_place,
    "values reordered in place": _reorder_values_in_place,
    "line dict": _new_line_dict,
    "setting": _rebind_setting,
    "settings dict": _new_settings_dict,
    "settings class": _settings_class,
    "line class": _line_class,
    "line class property": _line_class_property,
    "line class setter": _line_class_setter,
    "line base class property": _line_base_class_property,
    "settings base class property": _settings_base_class_property,
}
HOOKS = ("init", "round")
SEEDS = (40, 43)


def run_case(seed, change, hook):
    """The all-bars loop over the stand-in base class replaced by a host's own initialiser and
    round_to_mintick, which every third call makes the change to a line of the engine's."""
    market, settings, mintick, cap, t = random_case(seed)
    settings.draw_from_recent = False
    host_settings = type("HostSettings", (Settings,), {})()
    vars(host_settings).update(vars(settings))
    state = {"calls": 0, "engine": None}
    PROPERTY_READS["count"] = 0

    def act(name):
        lines = getattr(state["engine"], "kerds", None)  # none while the engine is made
        if name != hook or CHANGES[change] is None or not lines:
            return
        state["calls"] += 1
        if state["calls"] % 3 == 0:
            CHANGES[change](state["engine"], lines[state["calls"] % len(lines)])

    try:
        with hooked_base(state, act):
            bars, latest = host_loop(market, host_settings, mintick, cap, t, 3, "package", True)
        error = None
    except (IndexError, ValueError) as e:  # a changed line may leave the bars' reach
        bars, latest, error = [], {}, f"{type(e).__name__}: {e}"
    finally:
        for owner, name in PUT_ON_CLASSES:
            if name in owner.__dict__:
                delattr(owner, name)
    lines = [(k.kerd_value, k.extended, k.end_bar_index, k.snib_values)
             for k in state["engine"].kerds]
    return json.loads(json.dumps({"bars": bars, "latest": sorted(latest.items()), "lines": lines,
                                  "error": error, "calls": state["calls"],
                                  "property reads": PROPERTY_READS["count"]}))


CASES = [(seed, change, hook) for seed in SEEDS for change in CHANGES for hook in HOOKS]


plain_results = plain_results_of(__name__, CASES)


@pytest.mark.parametrize("seed, change, hook", CASES)
@in_own_process
def test_host_code_that_changes_what_is_kept_is_seen_as_on_the_plain_path(
        plain_results, seed, change, hook):
    got = run_case(seed, change, hook)
    assert got == plain_results[(seed, change, hook)]
    assert got["calls"] >= 3 or change == "nothing"  # the change was made
