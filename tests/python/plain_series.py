"""A host series in plain Python, shared by the tests and the benchmarks: offset 0 is the
current bar, -k the bar k bars back, and a read before the first bar raises IndexError."""


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
