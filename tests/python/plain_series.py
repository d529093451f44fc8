"""A host's plain Python pieces, shared by the tests and the benchmarks: a series (offset 0 is
the current bar, -k the bar k bars back, and a read before the first bar raises IndexError) and
the pivot series a host reports."""

import math


class PlainSeries:
    __slots__ = ("values", "current")

    def __init__(self, values, visible=None):
        """`visible`: how many bars are shown, as the package's Series takes it; None shows
        them all, the last value always the current one."""
        self.values = values
        self.current = None if visible is None else visible - 1  # the current bar's index

    def advance(self):
        self.current += 1

    def __getitem__(self, offset):
        current = len(self.values) - 1 if self.current is None else self.current
        if offset > 0 or -offset > current:
            raise IndexError("series offset out of reach")
        return self.values[current + offset]


def plain_pivots(values, n, m, sign):
    """Pivots reported m bars after the pivot bar: strictly beyond the n bars before it, at
    least as far as the m bars after it (sign -1 for lows); NaN on every other bar."""
    reported = [math.nan] * len(values)
    for p in range(n, len(values) - m):
        v = sign * values[p]
        if all(v > sign * values[j] for j in range(p - n, p)) and all(
            v >= sign * values[j] for j in range(p + 1, p + m + 1)
        ):
            reported[p + m] = values[p]
    return reported
