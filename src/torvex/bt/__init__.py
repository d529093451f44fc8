"""backtrader integration (the ``bt`` extra): `TorvexLevels`, the engine as a ready indicator.

    import backtrader as bt
    from torvex.bt import TorvexLevels

    class Strategy(bt.Strategy):
        def __init__(self):
            self.levels = TorvexLevels(self.data, bar_count_to_snib=300)

It needs no module of the project's: the engine is loaded with the package's own host modules,
and a project's ``settings``, ``indicators`` or ``backtrader`` names are left as they are.
"""

from .levels import TorvexLevels, TorvexLevelsError, TorvexLevelsWarning

__all__ = ["TorvexLevels", "TorvexLevelsError", "TorvexLevelsWarning"]
