"""A measurement on the package's series against the same on the tests' plain Python series."""

from plain_series import PlainSeries
from torvex.series import Series


def compare_series(measure, unit, plain_name="plain Python series"):
    """Runs measure(series_type) -> (rate, result) on both series types and prints each rate and
    the speed-up; both must give the same result."""
    rates, results = [], []
    for name, series_type in (("torvex.series.Series", Series), (plain_name, PlainSeries)):
        rate, result = measure(series_type)
        rates.append(rate)
        results.append(result)
        print(f"{name:22s} {rate / 1e6:8.2f} M {unit}/s")
    assert results[0] == results[1], "the two series gave different results"
    print(f"{'speed-up':22s} {rates[0] / rates[1]:8.2f} x")
