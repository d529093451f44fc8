"""Inputs people have: dates in other forms by a named format, other delimiters, bars whose
open or close lies outside their range (refused, or clipped on request), polars and Arrow
tables without pandas, zoned times, and long tables with another symbol column or rows out
of order."""

import os
import subprocess
import sys

import numpy as np
import pytest

from torvex.kit import BarsError, load_bars, run, synthetic_bars
from torvex.kit.bar_files import read_csv
from torvex.kit.bar_records import BarOptions
from torvex.kit.bar_rules import CLIP_HINT

BARS = synthetic_bars(40, seed=9)
ISO = "Date,Open,High,Low,Close\n" + "".join(
    f"{d},{o!r},{h!r},{lo!r},{c!r}\n" for d, o, h, lo, c in zip(
        BARS.dates, BARS.open.tolist(), BARS.high.tolist(), BARS.low.tolist(), BARS.close.tolist()))


def same_bars(a, b):
    assert list(a.dates) == list(b.dates)
    for name in ("open", "high", "low", "close", "time"):
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name), err_msg=name)


def rewrite(date, delimiter=","):
    """The ISO file with each date rewritten by `date(y, m, d)` and another delimiter."""
    lines = ISO.splitlines()
    out = [lines[0].replace(",", delimiter)]
    for line in lines[1:]:
        day, rest = line.split(",", 1)
        y, m, d = day.split("-")
        out.append(date(y, m, d) + delimiter + rest.replace(",", delimiter))
    return "\n".join(out) + "\n"


FORMS = [
    ("us", lambda y, m, d: f"{m}/{d}/{y}", "%m/%d/%Y", ","),
    ("european", lambda y, m, d: f"{d}.{m}.{y}", "%d.%m.%Y", ";"),
    ("unpadded", lambda y, m, d: f"{int(m)}/{int(d)}/{y}", "%m/%d/%Y", "\t"),  # cell by cell
    ("with_time", lambda y, m, d: f"{d}.{m}.{y} 00:00", "%d.%m.%Y %H:%M", "|"),
]


@pytest.mark.parametrize("reader", ["python", "pyarrow", "pandas"])
@pytest.mark.parametrize("name, date, form, delimiter", FORMS, ids=[f[0] for f in FORMS])
def test_named_date_formats_and_told_delimiters_give_the_iso_bars(
    tmp_path, reader, name, date, form, delimiter
):
    path = tmp_path / "bars.csv"
    path.write_text(rewrite(date, delimiter))
    # the delimiter is told from the header; the dates need their format named
    same_bars(read_csv(path, reader=reader, options=BarOptions(date_format=form)), BARS)
    given = BarOptions(date_format=form, delimiter=delimiter)
    same_bars(read_csv(path, reader=reader, options=given), BARS)


HINT = "name its format with --date-format (date_format= in Python), e.g. '%m/%d/%Y' or '%d.%m.%Y'"


@pytest.mark.parametrize("text, options, message", [
    ("Date,Open,High,Low,Close\n08/22/2016,10,11,9,10\n", {},
     f"row 2, column Date: '08/22/2016' is not an ISO 8601 date; {HINT}"),
    ("Date;Open;High;Low;Close\n22.08.2016;10;11;9;10\n", {},
     f"row 2, column Date: '22.08.2016' is not an ISO 8601 date; {HINT}"),
    ("Date,Open,High,Low,Close\n08/22/2016,10,11,9,10\n", {"date_format": "%d.%m.%Y"},
     "row 2, column Date: '08/22/2016' does not match the date format '%d.%m.%Y'"),
    ("Date,Open,High,Low,Close\n2016-08-22,10,11,9,10\n2016-08-23,10,11,9,11.5\n", {},
     f"row 3, column Close: close 11.5 is above high 11; {CLIP_HINT}"),
    ("Date,Open,High,Low,Close\n2016-08-22,8.5,11,9,10\n", {"clip": False},
     f"row 2, column Open: open 8.5 is below low 9; {CLIP_HINT}"),
    ("Date,Open,High,Low,Close\n2016-08-22,8.5,8,9,10\n", {"clip": True},  # not clipped
     "row 2, column High: high 8 is below low 9"),
    ("Date;Open;High;Low\n2016-08-22;10;11;9\n", {}, "row 1: missing column Close"),
])
def test_refusals_name_the_option_that_reads_the_file(tmp_path, text, options, message):
    path = tmp_path / "bars.csv"
    path.write_text(text)
    with pytest.raises(BarsError) as caught:
        load_bars(path, **options)
    assert str(caught.value) == f"{path}: {message}"


def test_clip_moves_open_and_close_inside_and_counts_the_bars():
    opens, closes = BARS.open.copy(), BARS.close.copy()
    opens[3] = BARS.high[3] * 1.05  # a close 5 % above the high, as vendors' files have
    closes[3] = BARS.low[3] * 0.9
    closes[7] = BARS.high[7] * 1.05
    frame = {"Date": list(BARS.dates), "Open": opens, "High": BARS.high, "Low": BARS.low,
             "Close": closes}
    records = np.rec.fromarrays(list(frame.values()), names=list(frame))
    with pytest.raises(BarsError, match="record 3, column Open: open"):
        load_bars(records)
    clipped = load_bars(records, clip=True)
    assert clipped.clipped == 2
    assert (clipped.open[3], clipped.close[3], clipped.close[7]) == (
        BARS.high[3], BARS.low[3], BARS.high[7])
    np.testing.assert_array_equal(np.delete(clipped.close, [3, 7]), np.delete(BARS.close, [3, 7]))
    assert run(records, clip=True).bars.clipped == 2


ZONES = [None, "America/New_York"]


@pytest.mark.parametrize("zone", ZONES)
def test_polars_and_arrow_tables_give_the_pandas_bars(zone):
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    pa = pytest.importorskip("pyarrow")
    moments = pd.date_range("2024-03-08 09:30", periods=len(BARS), freq="h", tz=zone)
    frame = pd.DataFrame({"Datetime": moments, "Open": BARS.open, "High": BARS.high,
                          "Low": BARS.low, "Close": BARS.close})
    expected = load_bars(frame)
    polars = load_bars(pl.from_pandas(frame))
    same_bars(polars, expected)
    same_bars(load_bars(pa.Table.from_pandas(frame)), expected)
    assert (polars.backend, expected.backend) == ("polars", "pandas")
    assert polars.dates == expected.dates


def test_a_zoned_index_keeps_its_zone():
    pd = pytest.importorskip("pandas")
    # an 11:10 New York bar is 11:10 with its offset, across the change to summer time
    moments = pd.DatetimeIndex(["2024-03-08 11:10", "2024-03-11 11:10"]).tz_localize(
        "America/New_York")
    frame = pd.DataFrame({"Open": 10.0, "High": 11.0, "Low": 9.0, "Close": 10.0}, index=moments)
    bars = load_bars(frame)
    assert list(bars.dates) == ["2024-03-08 11:10:00-05:00", "2024-03-11 11:10:00-04:00"]
    assert bars.time.tolist() == [1709914200, 1710169800]  # Unix seconds: the same instants
    # daily bars at the zone's midnight are its dates
    daily = load_bars(frame.set_axis(moments.normalize()))
    assert list(daily.dates) == ["2024-03-08", "2024-03-11"]
    assert daily.time.tolist() == [20240308, 20240311]


def test_polars_and_arrow_without_pandas(tmp_path):
    pytest.importorskip("polars")
    pytest.importorskip("pyarrow")
    script = """
import importlib.machinery, sys
class Absent:  # pandas is not installed: found without a loader, as polars checks for it
    def find_spec(self, name, path=None, target=None):
        if name.split('.')[0] == 'pandas': return importlib.machinery.ModuleSpec(name, None)
sys.meta_path.insert(0, Absent())
import datetime as dt
import polars as pl, pyarrow as pa
from torvex.kit import load_bars, run
frame = pl.DataFrame({
    "time": pl.datetime_range(dt.datetime(2024, 3, 8, 19), dt.datetime(2024, 3, 30, 18), "1h",
                              time_zone="UTC", eager=True).dt.convert_time_zone("America/New_York"),
}).with_columns(close=100 + (pl.int_range(pl.len()) % 17) * 0.5).with_columns(
    open=pl.col("close") - 0.25, high=pl.col("close") + 1, low=pl.col("close") - 1)
bars = load_bars(frame)
same = load_bars(pa.table(frame))
result = run(frame, {"bar_count_to_snib": 300})
lines = result.lines_frame()
print(bars.backend, bars.dates[0], same.dates[0], type(lines).__module__.split(".")[0],
      lines.schema["start_date"], "pandas" in sys.modules)
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == [
        "polars", "2024-03-08", "14:00:00-05:00", "2024-03-08", "14:00:00-05:00", "polars",
        "Datetime(time_unit='us',", "time_zone='America/New_York')", "False"]


def long_csv(path, header, rows):
    path.write_text(header + "\n" + "\n".join(rows) + "\n")
    return str(path)


def test_long_table_with_another_symbol_column_and_shuffled_rows(tmp_path):
    pytest.importorskip("pyarrow")
    from torvex.kit.bar_symbols import read_symbols

    rows = [f"{s};2020-01-{d:02d};10;11;9;10" for d in range(2, 9) for s in ("A", "B")]
    shuffled = rows[::-1]
    path = long_csv(tmp_path / "long.csv", "Ticker;Date;Open;High;Low;Close", shuffled)
    split = read_symbols(path, symbol_column="Ticker", sort=True)
    assert {s: len(b) for s, b in split.items()} == {"A": 7, "B": 7}
    assert list(split["A"].dates) == [f"2020-01-{d:02d}" for d in range(2, 9)]
    unsorted = read_symbols(path, symbol_column="ticker")
    assert str(unsorted["A"]) == (
        f"{path}: row 5, column Date: 2020-01-07 is before 2020-01-08 of row 3; "
        "--sort (sort=True) orders each symbol's rows by date")
    with pytest.raises(BarsError, match=r"row 1: missing column Symbol$"):
        read_symbols(path, symbol_column="Symbol")


def test_a_zoned_run_keeps_the_zone_in_json_and_frames():
    import datetime as dt
    import json

    pd = pytest.importorskip("pandas")
    bars = synthetic_bars(900, seed=4)
    moments = pd.date_range("2024-03-04 09:30", periods=len(bars), freq="15min",
                            tz="America/New_York")
    frame = pd.DataFrame({"Open": bars.open, "High": bars.high, "Low": bars.low,
                          "Close": bars.close}, index=moments)
    result = run(frame, {"bar_count_to_snib": 300})
    signals = json.loads(json.dumps(result.to_dict()))["signals"]
    assert signals
    for signal in signals:  # ISO 8601 with the offset, the bar's own instant
        assert dt.datetime.fromisoformat(signal["date"]) == moments[signal["bar"]]
    table = result.signals_frame()
    assert str(table["date"].dt.tz) == "America/New_York"
    assert list(table["date"]) == [moments[s["bar"]] for s in signals]
    assert list(table["level"]) == [round(s.level, 2) for s in result.signals]


@pytest.mark.parametrize("form, cell", [
    ("%m/%d/%Y", "02/29/2020"), ("%m/%d/%Y", "02/29/2019"), ("%m/%d/%Y", "13/01/2020"),
    ("%m/%d/%Y", "00/10/2020"), ("%d.%m.%Y", "31.04.2020"), ("%d.%m.%Y %H:%M", "01.02.2020 23:59"),
    ("%d.%m.%Y %H:%M", "01.02.2020 24:00"), ("%Y%m%d", "20200102"), ("%Y%m%d%H%M%S", "20200102235960"),
    ("%m/%d/%Y", "1/2/2020"),  # not padded: strptime alone
])
def test_a_named_format_read_over_the_column_agrees_with_strptime(form, cell):
    import datetime as dt

    from torvex.kit.bar_dates import moments_from_cells

    moments, bad = moments_from_cells(np.array([cell] * 3), form)
    try:
        expected = dt.datetime.strptime(cell, form)
    except ValueError:
        assert bad == 0
    else:
        assert bad == -1 and moments[2].item() == expected
