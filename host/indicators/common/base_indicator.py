"""Stand-in for the host's indicator base class, as the engine and line classes use it."""


class BaseIndicator:
    """Holds an indicator's bar series and bar counters.

    The initialiser stores its eight arguments under their own names and relies on nothing
    else, so a subclass may call it before setting any attribute of its own.
    """

    def __init__(self, close, open, high, low, bar_index, time, last_bar_index, mintick):
        self.close = close
        self.open = open
        self.high = high
        self.low = low
        self.bar_index = bar_index
        self.time = time
        self.last_bar_index = last_bar_index
        self.mintick = mintick

    def round_to_mintick(self, price):
        """Round price to a whole number of ticks, halves to the even tick."""
        return round(price / self.mintick) * self.mintick


# The initialiser only stores its arguments, so a line of the package's own line class over
# this base may be built by storing them directly, without calling it.
BaseIndicator.__init__.torvex_stores_arguments = True
# round_to_mintick reads only self.mintick and calls only the builtin round, so where it is what
# a call would run, the engine may compute the same float itself. The mark names the code it
# vouches for.
BaseIndicator.round_to_mintick.torvex_rounds_to_mintick = BaseIndicator.round_to_mintick.__code__
