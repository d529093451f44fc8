"""Bars from every source (CSV through each reader, DataFrames, structured arrays, Parquet) are
the same bars and fail with the same one-line messages; run results come back as DataFrames."""

import datetime as dt
import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from torvex.kit import BarsError, load_bars, run, synthetic_bars
from torvex.kit.bar_dates import moments_from_cells, to_datetime
from torvex.kit.bar_files import read_csv

READERS = ["pyarrow", "pandas", "python"]


def same_bars(a, b):
    assert list(a.dates) == list(b.dates)
    for name in ("open", "high", "low", "close", "time"):
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name), err_msg=name)


def write(tmp_path, text, name="bars.csv"):
    path = tmp_path / name
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    return str(path)


GOOD_FILES = {
    "shuffled": "volume,CLOSE,low,High,open,DATE\n7,10.5,9,11,10,2020-01-02\n8,11,10,12,10.5,2020-01-03\n",
    "bom_blank_quoted": '\ufeffDate,Open,High,Low,Close\n\n2020-01-02,"10",11,9,10.5\n\n2020-01-06, 10 ,11,9,1e1\n',
    "intraday": "Datetime,Open,High,Low,Close\n2024-03-01T09:30:00,10,11,9,10\n2024-03-01 09:31,10,11,9,10\n2024-03-01 10:32+01:00,10,11,9,10\n",
    "unix_seconds": "timestamp,open,high,low,close\n1709285400,10,11,9,10\n1709285460,10,11,9,10\n",
    "unix_millis": "TIME,open,high,low,close\n1709285400000,10,11,9,10\n1709285460500,10,11,9,10\n",
    "basic_iso": "date,open,high,low,close\n20200102,10,11,9,10\n20200103,10,11,9,10\n",
    "long_digits": "Date,Open,High,Low,Close\n" + "".join(
        f"2020-01-{d:02d},{0.1 + d / 7:.17g},{9.000000000000002 + d:.17g},"
        f"{1.2345678901234567e-5 * d:.17g},{d / 3:.17g}\n" for d in range(1, 29)),
}


@pytest.mark.parametrize("reader", READERS[:2])
@pytest.mark.parametrize("case", sorted(GOOD_FILES))
def test_column_readers_give_the_standard_readers_bars(tmp_path, case, reader):
    path = write(tmp_path, GOOD_FILES[case])
    same_bars(read_csv(path, reader=reader), read_csv(path, reader="python"))


def test_dates_and_times_of_the_date_column_forms(tmp_path):
    times = {case: load_bars(write(tmp_path, text, f"{case}.csv")).time.tolist()
             for case, text in GOOD_FILES.items()}
    assert times["intraday"] == [1709285400, 1709285460, 1709285520]
    assert times["unix_seconds"] == [1709285400, 1709285460]
    assert times["unix_millis"] == [1709285400, 1709285460]
    assert times["basic_iso"] == [20200102, 20200103]
    assert times["bom_blank_quoted"] == [20200102, 20200106]


BAD_FILES = [
    ("Date,Open,High,Low,Close\n2020-01-02,10,11,9,10\n\n2020-01-03,10,abc,9,10\n",
     "row 4, column High: 'abc' is not a number"),
    ("Date,Open,High,Low,Close\n2020-01-02,10,11,,10\n", "row 2, column Low: empty cell"),
    ("Date,Open,High,Low,Close\n2020-01-02,NA,11,9,10\n", "row 2, column Open: 'NA' is not a number"),
    ("Date,Open,High,Low,Close\n2020-01-02,10,11,9\n", "row 2, column Close: missing cell"),
    ("Date,Open,High,Low,Close\n2020-01-02,10,11,9,10\n2020-02-30,10,11,9,10\n",
     "row 3, column Date: '2020-02-30' is not a date"),
    ("Date,Open,High,Low,Close\n2020-01-03,10,11,9,10\n2020-01-02,10,11,9,10\n",
     "row 3, column Date: 2020-01-02 is before 2020-01-03 of row 2"),
    ("Date,Open,High,Low,Close\n2020-01-02,10,11,9,10\n2020-01-02,10,11,9,10\n",
     "row 3, column Date: 2020-01-02 repeats the date of row 2"),
    ("Date,Open,High,Low,Close\n2020-01-02,10,8,9,10\n", "row 2, column High: high 8 is below low 9"),
    ("Date,Open,High,Low,Close\n2020-01-02,0,11,9,10\n", "row 2, column Open: price 0 is not above 0"),
    ("Date,Open,High,Low,Close\n2020-01-02,10,11,9,10,12\n2020-01-03,10,11,-9,10\n",
     "row 3, column Low: price -9 is not above 0"),
    (b"Date,Open,High,Low,Close\n2020-01-02,10,11,9,10\xff\n", "not UTF-8 text (byte 46)"),
]


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("text, message", BAD_FILES)
def test_every_reader_reports_the_first_problem_by_file_row(tmp_path, reader, text, message):
    path = write(tmp_path, text)
    with pytest.raises(BarsError) as caught:
        read_csv(path, reader=reader)
    assert str(caught.value) == f"{path}: {message}"


@pytest.mark.parametrize(
    "cell",
    ["2020-02-29", "2019-02-29", "2020-13-01", "2020-00-10", "2020-04-31", "0000-01-01",
     "2020-01-02T09:30", "2020-01-02 23:59:59", "2020-01-02 24:00:00", "2020-01-02 09:60",
     "2020/01/02", "2020-01-0x", "1709285400"],
)
def test_whole_column_dates_agree_with_cell_by_cell_reading(cell):
    moments, bad = moments_from_cells(np.array([cell] * 3))
    if cell.isdigit():
        assert bad == -1 and moments[0] == np.datetime64(1709285400, "s")
        return
    expected = to_datetime(cell)
    if expected is None:
        assert bad == 0
    else:
        assert bad == -1 and moments[2].item() == expected


@pytest.mark.parametrize("start, step", [("1999-12-30", "D"), ("2024-03-01T09:30", "m")])
def test_dates_made_ahead_are_the_dates(start, step):
    moments = np.datetime64(start, "us") + np.arange(0, 400, 3).astype(f"timedelta64[{step}]")
    fresh = load_bars(pd.DataFrame({"Open": 1.0, "High": 1.0, "Low": 1.0, "Close": 1.0},
                                   index=pd.DatetimeIndex(moments))).dates
    ahead = load_bars(pd.DataFrame({"Open": 1.0, "High": 1.0, "Low": 1.0, "Close": 1.0},
                                   index=pd.DatetimeIndex(moments))).dates
    ahead.prepare([-1, *range(0, len(moments), 2), len(moments)])
    assert list(ahead) == list(fresh) == [str(m).replace("T", " ")[: 10 if step == "D" else 19]
                                          for m in moments]


def frame_of(bars, **renames):
    frame = pd.DataFrame({"Date": list(bars.dates), "Open": bars.open, "High": bars.high,
                          "Low": bars.low, "Close": bars.close})
    return frame.rename(columns=renames)


@pytest.mark.parametrize(
    "make",
    [
        lambda b: frame_of(b),
        lambda b: frame_of(b, Date="datetime", Close="CLOSE"),
        lambda b: frame_of(b, Date="Timestamp").assign(
            Timestamp=lambda f: pd.to_datetime(f.Timestamp)),
        lambda b: frame_of(b).set_index(pd.DatetimeIndex(b.dates.moments)).drop(columns="Date"),
        lambda b: frame_of(b).to_records(index=False),
        lambda b: np.array(list(zip(b.dates.moments, b.open, b.high, b.low, b.close)),
                           dtype=[("DATE", "M8[s]"), ("open", "f8"), ("high", "f8"),
                                  ("low", "f8"), ("close", "f8")]),
    ],
    ids=["frame", "renamed", "datetime_column", "index", "records", "datetime64"],
)
def test_frames_and_arrays_give_the_same_bars(make):
    bars = synthetic_bars(60)
    same_bars(load_bars(make(bars)), bars)


def test_a_zoned_date_column_is_read_in_utc():
    frame = pd.DataFrame({"Date": pd.to_datetime(["2024-03-01 10:30", "2024-03-01 10:31"])
                          .tz_localize("Europe/Paris"), "Open": [1.0, 1.0], "High": [2.0, 2.0],
                          "Low": [1.0, 1.0], "Close": [1.5, 1.5]})
    assert load_bars(frame).time.tolist() == [1709285400, 1709285460]


def test_unix_columns_in_frames():
    seconds = np.array([1709285400, 1709285460])
    for stamps in (seconds, seconds * 1000, seconds.astype(float)):
        frame = pd.DataFrame({"timestamp": stamps, "open": [1, 1], "high": [2, 2], "low": [1, 1],
                              "close": [1.5, 1.5]})
        assert load_bars(frame).time.tolist() == seconds.tolist()


BAD_FRAMES = [
    ({"Open": [1.0]}, "missing column Date, High, Low, Close"),
    ({"Date": ["2020-01-02", "2020-01-03"], "Open": [1, "x"]}, "row 1, column Open: 'x' is not a number"),
    ({"Date": ["2020-01-02", "2020-01-03"], "Open": [1, None]}, "row 1, column Open: NaN price"),
    ({"Date": ["2020-01-03", "2020-01-02"]}, "row 1, column Date: 2020-01-02 is before 2020-01-03 of row 0"),
    ({"Date": ["2020-01-02", "2020-01-02"]}, "row 1, column Date: 2020-01-02 repeats the date of row 0"),
    ({"Date": ["2020-01-02", "soon"]}, "row 1, column Date: 'soon' is not an ISO 8601 date; name its "
     "format with --date-format (date_format= in Python), e.g. '%m/%d/%Y' or '%d.%m.%Y'"),
    ({"Date": ["2020-01-02", "2020-01-03"], "Low": [1, 3]}, "row 1, column High: high 2 is below low 3"),
    ({"Date": ["2020-01-02", "2020-01-03"], "Close": [True, False]}, "row 0, column Close: 'True' is not a number"),
]


@pytest.mark.parametrize("columns, message", BAD_FRAMES)
def test_bad_frames_name_column_and_row(columns, message):
    frame = pd.DataFrame({"Date": ["2020-01-02", "2020-01-03"], "Open": [1, 1], "High": [2, 2],
                          "Low": [1, 1], "Close": [1.5, 1.5]})
    frame = pd.DataFrame(columns) if "Date" not in columns else frame.assign(**columns)
    with pytest.raises(BarsError) as caught:
        load_bars(frame)
    assert str(caught.value) == f"<DataFrame>: {message}"
    records = frame.to_records(index=False)
    if "missing" not in message and "True" not in message:
        with pytest.raises(BarsError) as caught:
            load_bars(records)
        assert str(caught.value) == f"<array>: {message.replace('row', 'record')}"


def test_parquet_files(tmp_path):
    bars = synthetic_bars(40)
    path = str(tmp_path / "bars.parquet")
    frame_of(bars, Date="Datetime").assign(Datetime=lambda f: pd.to_datetime(f.Datetime)).to_parquet(path)
    same_bars(load_bars(path), bars)
    bad = str(tmp_path / "bad.parquet")
    frame_of(bars).drop(columns="Low").to_parquet(bad)
    with pytest.raises(BarsError, match=r"bad.parquet: missing column Low$"):
        load_bars(bad)


def test_run_takes_frames_and_gives_frames():
    bars = synthetic_bars(700, seed=11)
    expected = run(bars)
    result = run(frame_of(bars))
    assert result.lines == expected.lines and result.signals == expected.signals
    assert result.failures == expected.failures and result.pivots == expected.pivots
    for frame, records in ((result.lines_frame(), result.lines),
                           (result.signals_frame(), result.signals),
                           (result.failures_frame(), result.failures),
                           (result.pivots_frame(), result.pivots)):
        assert len(frame) == len(records) > 0
        first = frame.iloc[0]
        assert first["bar" if "bar" in frame else "start_bar"] == getattr(
            records[0], "bar", getattr(records[0], "start_bar", None))
    assert result.lines_frame()["reach"].tolist() == [line.reach for line in result.lines]
    assert result.signals_frame()["date"].dt.strftime("%Y-%m-%d").tolist() == [
        s.date for s in result.signals]


def test_without_pandas_and_pyarrow_files_still_load(tmp_path):
    """The optional readers are imported only when used; without them the standard library's
    reader takes every file."""
    text = "Date,Open,High,Low,Close\n" + "".join(
        f"{(dt.date(2000, 1, 1) + dt.timedelta(days=i)).isoformat()},10,11,9,10\n"
        for i in range(60_000))
    path = write(tmp_path, text)
    assert os.path.getsize(path) > 1 << 20  # big enough for the column readers
    script = (
        "import sys\n"
        "class Block:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        if name.split('.')[0] in ('pandas', 'pyarrow'): raise ImportError(name)\n"
        "sys.meta_path.insert(0, Block())\n"
        "from torvex.kit import load_bars\n"
        f"bars = load_bars({path!r})\n"
        "print(len(bars), bars.time[-1])\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["60000", "21640409"]
    script = ("import sys\nimport torvex.kit\ntorvex.kit.sample_bars()\n"
              "print(sorted({'pandas', 'pyarrow'} & set(sys.modules)))\n")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env)
    assert out.stdout.strip() == "[]", out.stderr
