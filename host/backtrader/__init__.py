"""Stand-in for the trading host's ``backtrader`` package.

The engine and line modules import ``DataSeries`` at load and never use it; this module exists
so that they load where the host is absent. Never install it: it would shadow the real package.
"""


class DataSeries:
    """Placeholder for the host's data series class; imported, never used."""
