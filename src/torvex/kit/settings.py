"""Settings for running the engine on daily bars.

One object carries three groups of values:

* the attributes the engine reads by name at each use (``debug`` .. ``kerd_length_threshold``),
* the window thresholds the host passes to ``update_mavet`` and ``check_mavet_v3`` on every bar,
* what the kit itself needs to compute the host-side inputs (pivot windows come from the engine
  group; trend, average range and tick size from the kit group).

Every value has a default chosen for daily bars of a liquid instrument quoted in cents; any of
them can be overridden by keyword, by assignment, from ``name=value`` text or from a
JSON/``key=value`` file. Each value is converted to its setting's type and checked against its
range where it is given, so that a mistake is one `SettingsError` naming the setting and what it
accepts, and a misspelt name suggests the closest; the engine's later reads are plain slot
reads. Wherever the kit takes settings, a mapping of names to values does as well
(`as_settings`).
"""

from __future__ import annotations

import dataclasses
import difflib
import functools
import json
import math
import numbers
import os
from dataclasses import dataclass, field
from typing import Any, Callable, Mapping

import numpy as np

__all__ = [
    "Settings",
    "SettingsError",
    "as_settings",
    "ENGINE_SETTINGS",
    "WINDOW_SETTINGS",
    "KIT_SETTINGS",
    "setting_names",
    "accepted_range",
    "describe",
    "parse_assignment",
    "load_settings_file",
]


class SettingsError(ValueError):
    """A setting name or value that cannot be used; the message is one line for the user."""


# Whole-number settings are 64-bit integers in the engine.
_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1


def _doc(
    text: str, minimum: float | None = None, maximum: float | None = None
) -> dict[str, Any]:
    return {"doc": text, "minimum": minimum, "maximum": maximum}


@dataclass(slots=True)
class Settings:
    # --- read by the engine ------------------------------------------------------------------
    debug: bool = field(
        default=False, metadata=_doc("Admit pivots only inside the debug time and price windows.")
    )
    debug_start_time: float = field(
        default=-math.inf,
        metadata=_doc(
            "Debug window start (inclusive), in bar time units (YYYYMMDD for daily bars)."
        ),
    )
    debug_end_time: float = field(
        default=math.inf, metadata=_doc("Debug window end (inclusive), in bar time units.")
    )
    debug_start_price: float = field(
        default=-math.inf, metadata=_doc("Debug price window lower bound (exclusive).")
    )
    debug_end_price: float = field(
        default=math.inf, metadata=_doc("Debug price window upper bound (exclusive).")
    )
    draw_from_recent: bool = field(
        default=True,
        metadata=_doc(
            "Let the engine build lines from the recent pivots near the end of the data; "
            "otherwise the kit builds them on every bar from all pivots."
        ),
    )
    bar_count_to_snib: int = field(
        default=250,
        metadata=_doc(
            "Recent window in bars (about a trading year): pivots are taken from the last this "
            "many bars, lines are worked on in the last twice as many.",
            1,
        ),
    )
    high_snib_n: int = field(
        default=5, metadata=_doc("Normal pivot high: bars before the pivot that it must exceed.", 0)
    )
    high_snib_m: int = field(
        default=5,
        metadata=_doc("Normal pivot high: bars after the pivot that confirm it (report delay).", 0),
    )
    low_snib_n: int = field(
        default=5,
        metadata=_doc("Normal pivot low: bars before the pivot that it must undercut.", 0),
    )
    low_snib_m: int = field(
        default=5, metadata=_doc("Normal pivot low: bars after the pivot that confirm it.", 0)
    )
    high_snib_n_on_trend: int = field(
        default=5, metadata=_doc("Pivot high while trending: bars before.", 0)
    )
    high_snib_m_on_trend: int = field(
        default=3, metadata=_doc("Pivot high while trending: bars after.", 0)
    )
    low_snib_n_on_trend: int = field(
        default=5, metadata=_doc("Pivot low while trending: bars before.", 0)
    )
    low_snib_m_on_trend: int = field(
        default=3, metadata=_doc("Pivot low while trending: bars after.", 0)
    )
    only_body_cross: bool = field(
        default=True,
        metadata=_doc(
            "Count a crossing only when the bar's body (open..close) straddles a line; wicks "
            "through a level are common on daily bars and do not count."
        ),
    )
    kerd_extend_bar_cross_threshold: float = field(
        default=2,
        metadata=_doc(
            "Most crossings tolerated after a line's extension before it is violated; also the "
            "most a broken line may have had for its window to signal."
        ),
    )
    allow_reuse_snib: bool = field(
        default=False, metadata=_doc("Let one pivot join several lines during a rebuild.")
    )
    kerd_overlap_ca_percent_multiplier: float = field(
        default=0.5,
        metadata=_doc(
            "Pivots merge into a line whose level lies within this many average bar ranges "
            "(close_avg_percent) of theirs."
        ),
    )
    bar_cross_threshold: float = field(
        default=3,
        metadata=_doc("Most body crossings tolerated between two pivots merged into one line."),
    )
    last_snib_weight: float = field(
        default=3.0, metadata=_doc("Weight of a line's latest pivot in its level.")
    )
    second_last_snib_weight: float = field(
        default=2.0, metadata=_doc("Weight of a line's second-latest pivot.")
    )
    snib_weight: float = field(default=1.0, metadata=_doc("Weight of a line's older pivots."))
    kerd_length_threshold: float = field(
        default=250, metadata=_doc("Longest line in bars from its first to its last pivot.")
    )
    # --- window thresholds, passed on every bar ------------------------------------------------
    search_range: int = field(
        default=10,
        metadata=_doc("Bars before a break searched for closes at or above the level.", 0),
    )
    trap_recover_window_threshold: int = field(
        default=5,
        metadata=_doc(
            "Most bars from break to recovery (inclusive) for a valid signal; a window lives three "
            "times as long.",
            1,
        ),
    )
    low_above_kerd_threshold: float = field(
        default=0.5,
        metadata=_doc(
            "A low within this many percent-ranges above a level counts as a touch (opens a "
            "window)."
        ),
    )
    close_above_kerd_threshold: float = field(
        default=0.2,
        metadata=_doc("The recovery close must exceed the level by this many percent-ranges."),
    )
    signal_window: int = field(
        default=10, metadata=_doc("Fewest bars between two signals on the same level.")
    )
    close_above_low_threshold: float = field(
        default=0.5,
        metadata=_doc(
            "On the recovery bar, the close must exceed the lower of the last two lows by this "
            "many percent-ranges."
        ),
    )
    close_above_recover_low_threshold: float = field(
        default=0.5,
        metadata=_doc(
            "After the recovery bar, the close must exceed that bar's low by this many "
            "percent-ranges."
        ),
    )
    bar_count_close_above_kerd_threshold: int = field(
        default=5,
        metadata=_doc(
            "Fewest closes at or above the level in the search range before the break (the level "
            "was support)."
        ),
    )
    vvip_kerd_min_snib_count: int = field(
        default=3, metadata=_doc("Fewest pivots in a line for its signal to be a vvip signal.")
    )
    # --- the kit's own ------------------------------------------------------------------------
    trend_ma_length: int = field(
        default=50,
        metadata=_doc("Simple moving average of closes whose slope decides the trend flag.", 1),
    )
    trend_slope_bars: int = field(
        default=10, metadata=_doc("The slope is measured over this many bars.", 1)
    )
    trend_slope_percent: float = field(
        default=2.0,
        metadata=_doc(
            "Trending when the average moved at least this many percent over the slope bars.", 0
        ),
    )
    close_avg_length: int = field(
        default=14,
        metadata=_doc(
            "Bars averaged for close_avg_percent, the mean bar range in percent of the close.", 1
        ),
    )
    mintick: float = field(
        default=0.01, metadata=_doc("The instrument's price step.", 1e-12, 1e12)
    )
    check_form: int = field(
        default=3,
        metadata=_doc(
            "Window check called on each bar: 3 for check_mavet_v3 (vvip signals, recoveries "
            "followed after the recovery bar), 1 for the first form, check_mavet.",
            1,
            3,
        ),
    )

    def __setattr__(self, name: str, value: Any) -> None:
        # converted and checked here, where the value is given; reads stay plain slot reads
        if name in _FIELDS:
            value = convert(name, value)
        elif type(self) is Settings:
            raise _unknown(name)
        object.__setattr__(self, name, value)

    def check(self) -> None:
        """SettingsError naming the first number outside its setting's accepted range: every
        assignment is checked already, so this finds only values stored around it."""
        for name in _NAMES:
            value = getattr(self, name)
            if isinstance(value, numbers.Real) and not isinstance(value, bool):
                if not (isinstance(value, float) and math.isnan(value)):
                    _check_range(name, value, value)

    def replace(self, **changes: Any) -> "Settings":
        """A copy with some values changed; names and values are checked like any override."""
        copy = dataclasses.replace(self)
        for name, value in changes.items():
            copy.set(name, value)
        return copy

    def set(self, name: str, value: Any) -> None:
        """Set one value by name, converting it to the setting's type; SettingsError if the
        name is unknown or the value does not fit."""
        object.__setattr__(self, name, convert(name, value))

    def window_arguments(self) -> dict[str, Any]:
        return {name: getattr(self, name) for name in WINDOW_SETTINGS}

    def as_dict(self) -> dict[str, Any]:
        return {f.name: getattr(self, f.name) for f in dataclasses.fields(self)}

    @classmethod
    def from_mapping(cls, values: Mapping[str, Any]) -> "Settings":
        settings = cls()
        for name, value in values.items():
            settings.set(name, value)
        return settings


_FIELDS = {f.name: f for f in dataclasses.fields(Settings)}
_NAMES = list(_FIELDS)


def _named_init(init: Callable[..., None]) -> Callable[..., None]:
    """The generated __init__ (its signature lists every setting), refusing a name that is no
    setting with the suggestion `set` gives instead of a bare TypeError."""

    @functools.wraps(init)
    def __init__(self: Settings, *args: Any, **values: Any) -> None:
        for name in values:
            if name not in _FIELDS:
                raise _unknown(name)
        init(self, *args, **values)

    return __init__


Settings.__init__ = _named_init(Settings.__init__)  # type: ignore[method-assign]


def as_settings(settings: Settings | Mapping[str, Any] | None) -> Settings:
    """`settings` as a `Settings`: itself, the defaults for None, or the defaults with a
    mapping's values (names and values checked as by `Settings.set`)."""
    if settings is None:
        return Settings()
    if isinstance(settings, Settings):
        return settings
    if isinstance(settings, Mapping):
        return Settings.from_mapping(settings)
    raise TypeError(
        "settings must be a Settings or a mapping of setting names to values, "
        f"not {type(settings).__name__}"
    )
# the three groups in field order, each ending where the next one's first field stands
_WINDOW_START = _NAMES.index("search_range")
_KIT_START = _NAMES.index("trend_ma_length")
ENGINE_SETTINGS: tuple[str, ...] = tuple(_NAMES[:_WINDOW_START])
WINDOW_SETTINGS: tuple[str, ...] = tuple(_NAMES[_WINDOW_START:_KIT_START])
KIT_SETTINGS: tuple[str, ...] = tuple(_NAMES[_KIT_START:])


def setting_names() -> list[str]:
    return list(_NAMES)


def describe(name: str) -> str:
    """The documentation line of one setting."""
    return str(_field(name).metadata["doc"])


def _field(name: str) -> dataclasses.Field[Any]:
    try:
        return _FIELDS[name]
    except KeyError:
        raise _unknown(name) from None


def _unknown(name: Any) -> SettingsError:
    """An unknown name, with the closest setting names when some are close."""
    close = difflib.get_close_matches(str(name), _NAMES, n=3, cutoff=0.75)
    hint = f"; did you mean {' or '.join(repr(c) for c in close)}?" if close else ""
    return SettingsError(f"unknown setting {name!r}{hint}")


_TRUE = {"1", "true", "yes", "on"}
_FALSE = {"0", "false", "no", "off"}


def convert(name: str, value: Any) -> Any:
    """Convert `value` (a Python or numpy value, or text) to the type of setting `name`;
    SettingsError naming the setting and what it accepts when it cannot."""
    kind = _kind(name)
    if kind == "bool":
        result: Any = _to_bool(value)
    elif kind == "int":
        result = _to_int(value)
    else:
        result = _to_float(value)
    if result is None:
        noun = {"bool": "true or false", "int": "a whole number"}.get(kind, "a number")
        accepted = "" if kind == "bool" else f"; accepted: {accepted_text(name)}"
        raise SettingsError(f"setting {name}: {value!r} is not {noun}{accepted}")
    if kind != "bool":
        _check_range(name, result, value)
    if name == "check_form" and result not in (1, 3):
        raise SettingsError(f"setting {name}: {value!r} is not 1 or 3")
    return result


def _kind(name: str) -> str:
    """'bool', 'int' or 'float': the type of setting `name`."""
    f = _field(name)
    return f.type if isinstance(f.type, str) else f.type.__name__


def accepted_range(name: str) -> tuple[float, float]:
    """The smallest and largest value setting `name` takes."""
    f = _field(name)
    whole = _kind(name) == "int"
    low, high = f.metadata["minimum"], f.metadata["maximum"]
    if low is None:
        low = _INT64_MIN if whole else -math.inf
    if high is None:
        high = _INT64_MAX if whole else math.inf
    return low, high


def accepted_text(name: str) -> str:
    """What setting `name` takes, as the messages say it: ``true or false``, ``1 or 3``,
    ``0 .. 9223372036854775807``."""
    if _kind(name) == "bool":
        return "true or false"
    if name == "check_form":
        return "1 or 3"
    low, high = accepted_range(name)
    return " .. ".join(f"{x:g}" if isinstance(x, float) else str(x) for x in (low, high))


def _check_range(name: str, number: float, shown: Any) -> None:
    low, high = accepted_range(name)
    if low <= number <= high:
        return
    side, edge = ("below", low) if number < low else ("above", high)
    edge_text = f"{edge:g}" if isinstance(edge, float) else str(edge)
    raise SettingsError(
        f"setting {name}: {shown!r} is {side} {edge_text}; accepted: {accepted_text(name)}"
    )


def _to_bool(value: Any) -> bool | None:
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, numbers.Integral) and value in (0, 1):
        return bool(value)
    if isinstance(value, str):
        text = value.strip().lower()
        if text in _TRUE:
            return True
        if text in _FALSE:
            return False
    return None


def _to_int(value: Any) -> int | None:
    if isinstance(value, (bool, np.bool_)):
        return None
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, numbers.Real):
        number = float(value)
        return int(number) if number.is_integer() else None
    if isinstance(value, str):
        try:
            return int(value.strip())
        except ValueError:
            number = _to_float(value)
            return int(number) if number is not None and number.is_integer() else None
    return None


def _to_float(value: Any) -> float | None:
    if isinstance(value, (bool, np.bool_)):
        return None
    if isinstance(value, numbers.Real):
        try:
            number = float(value)
        except OverflowError:  # an int past the largest float
            number = math.inf if value > 0 else -math.inf
    elif isinstance(value, str):
        try:
            number = float(value.strip())
        except ValueError:
            return None
    else:
        return None
    return None if math.isnan(number) else number


def parse_assignment(text: str) -> tuple[str, Any]:
    """``name=value`` to (name, converted value)."""
    name, sep, value = text.partition("=")
    name = name.strip()
    if not sep or not name:
        raise SettingsError(f"{text!r} is not name=value")
    return name, convert(name, value)


def load_settings_file(path: str | os.PathLike[str]) -> dict[str, Any]:
    """Read overrides from a JSON object or from ``name=value`` lines (``#`` starts a comment).
    Errors name the file and, for text files, the line."""
    label = os.fspath(path)
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        raise SettingsError(f"{label}: no such file") from None
    except (OSError, UnicodeDecodeError) as e:
        raise SettingsError(f"{label}: cannot read: {e}") from None
    if text.lstrip().startswith("{"):
        return _from_json(label, text)
    values: dict[str, Any] = {}
    for number, line in enumerate(text.splitlines(), start=1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        try:
            name, value = parse_assignment(line)
        except SettingsError as e:
            raise SettingsError(f"{label}: line {number}: {e}") from None
        values[name] = value
    return values


def _from_json(label: str, text: str) -> dict[str, Any]:
    try:
        data = json.loads(text)
    except json.JSONDecodeError as e:
        raise SettingsError(
            f"{label}: line {e.lineno} column {e.colno}: invalid JSON: {e.msg}"
        ) from None
    if not isinstance(data, dict):
        raise SettingsError(f"{label}: expected a JSON object of settings")
    values = {}
    for name, value in data.items():
        try:
            values[name] = convert(name, value)
        except SettingsError as e:
            raise SettingsError(f"{label}: {e}") from None
    return values
