"""Stand-in for the trading host's ``settings`` module: a plain holder of named values.

``Settings()`` carries every value the engine reads, with the kit's defaults for daily bars
(``python3 -m torvex settings`` shows each with its meaning), except that the trend pivots look
3 bars back instead of 5; keyword arguments override them. The engine reads each value by
attribute at each use, so assigning an attribute between bars takes effect on the next call.
"""

from torvex.kit.settings import ENGINE_SETTINGS
from torvex.kit.settings import Settings as _KitSettings

_KIT = _KitSettings()
DEFAULTS = {name: getattr(_KIT, name) for name in ENGINE_SETTINGS}
DEFAULTS.update(high_snib_n_on_trend=3, low_snib_n_on_trend=3)


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
