"""Scanning a universe: rows against single runs, executors and job counts that must not change
a row, a worker that dies, bad files as error rows, and the table on disk."""

import dataclasses
import datetime as dt
import json
import math
import os
import socket

import numpy as np
import pytest

from torvex.cli import main
from torvex.kit import run, synthetic_universe
from torvex.scan import COLUMNS, DIED, ScanTable, scan
from torvex.scan.table import ScanRow
from torvex.scan.work import run_instrument

UNIVERSE = synthetic_universe(5, bars=400, seed=3)


def timeless(rows):
    return [dataclasses.replace(row, seconds=0.0) for row in rows]


PRICES = ("Open", "High", "Low", "Close")


def columns(bars):
    return zip(PRICES, (bars.open, bars.high, bars.low, bars.close))


def write_csv(path, bars):
    cells = [bars.dates] + [[repr(v) for v in values.tolist()] for _, values in columns(bars)]
    with open(path, "w") as f:
        f.write("Date,Open,High,Low,Close\n")
        f.writelines(",".join(row) + "\n" for row in zip(*cells))


def write_npz(path, bars):
    array = np.zeros(len(bars), dtype=[("Date", "U10")] + [(c, "f8") for c in PRICES])
    array["Date"] = bars.dates
    for column, values in columns(bars):
        array[column] = values
    np.savez(path, bars=array)


def write_parquet(path, bars):
    import pyarrow as pa
    from pyarrow import parquet

    table = {"date": list(bars.dates), **{c.lower(): v for c, v in columns(bars)}}
    parquet.write_table(pa.table(table), path)


WRITERS = [(".csv", write_csv), (".npz", write_npz), (".parquet", write_parquet)]


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """The universe as files of every format, with a bad file, a doubled stem and a stray."""
    root = tmp_path_factory.mktemp("universe")
    for i, (symbol, bars) in enumerate(UNIVERSE.items()):
        suffix, writer = WRITERS[i % len(WRITERS)]
        writer(str(root / f"{symbol}{suffix}"), bars)
    (root / "BAD.csv").write_text("Date,Open,High,Low,Close\n2020-01-02,10,11,9,10\n2020-01-03,1,x,1,1\n")
    (root / "TWICE.csv").write_text("Date,Open,High,Low,Close\n")
    (root / "TWICE.npz").write_bytes(b"")
    (root / "README.txt").write_text("not bars")
    return root


@pytest.fixture(scope="module")
def pool_rows():
    return scan(UNIVERSE, jobs=2).rows


def test_rows_agree_with_single_runs(pool_rows):
    assert [row.symbol for row in pool_rows] == sorted(UNIVERSE)
    for row in pool_rows:
        result = run(UNIVERSE[row.symbol])
        close = float(result.bars.close[-1])
        assert (row.bars, row.last_date, row.last_close) == (400, result.bars.dates[-1], close)
        assert (row.lines, row.signals, row.failures) == (
            len(result.lines), len(result.signals), len(result.failures))
        standing = [line for line in result.lines if not line.violated]
        below = [line for line in standing if line.level <= close]
        above = [line for line in standing if line.level > close]
        ranges = result.inputs.close_avg_percent[-1]
        for level, pivots, percent, in_ranges, side, nearest in (
            (row.support, row.support_pivots, row.support_distance_pct,
             row.support_distance_ranges, below, max),
            (row.resistance, row.resistance_pivots, row.resistance_distance_pct,
             row.resistance_distance_ranges, above, min),
        ):
            if not side:
                assert level is None and pivots is None and percent is None and in_ranges is None
                continue
            best = nearest(side, key=lambda line: line.level)
            # levels are shown on the tick; the run keeps its own numbers
            assert (level, pivots) == (round(best.level, 2), len(best.pivots))
            assert percent == pytest.approx(abs(close - level) / close * 100, abs=1e-4)
            assert in_ranges == pytest.approx(percent / ranges, abs=1e-3)
        last = result.signals[-1]
        assert (row.last_signal_date, row.last_signal_level, row.last_signal_vvip) == (
            last.date, round(last.level, 2), last.vvip)
        assert row.bars_since_signal == 399 - last.bar
        assert row.error == "" and row.seconds > 0
    # the universe is worth scanning: lines on both sides somewhere, and signals
    assert any(row.support is not None for row in pool_rows)
    assert any(row.resistance is not None for row in pool_rows)


def test_job_count_does_not_change_a_row(pool_rows):
    assert timeless(scan(UNIVERSE, jobs=1).rows) == timeless(pool_rows)


def dying(instrument, settings):
    """A task whose worker dies on one instrument, as a crash in native code would kill it."""
    if instrument.symbol == "DIES":
        os._exit(7)
    return run_instrument(instrument, settings)


def test_a_dying_worker_loses_nothing_else(pool_rows):
    universe = dict(UNIVERSE, DIES=UNIVERSE["SYN0000"])
    table = scan(universe, jobs=2, task=dying)
    died = [row for row in table.rows if row.symbol == "DIES"]
    assert [row.error for row in died] == [DIED]
    others = [row for row in table.rows if row.symbol != "DIES"]
    assert timeless(others) == timeless(pool_rows)


def failing(instrument, settings):
    """A task that fails on one instrument outside the run's own error handling."""
    if instrument.symbol == "FAILS":
        raise RuntimeError("lost its bars")
    return run_instrument(instrument, settings)


def test_local_dask_cluster_gives_the_pool_table():
    pytest.importorskip("distributed")
    # enough instruments that they travel several to a task, one task holding the failure
    universe = dict(synthetic_universe(17, bars=300, seed=5), FAILS=UNIVERSE["SYN0000"])
    pool = scan(universe, jobs=2, task=failing)
    table = scan(universe, dask_workers=2, task=failing)
    assert table.executor == "local Dask cluster of 2 workers"
    assert [(row.symbol, row.error) for row in table.failed] == [
        ("FAILS", "RuntimeError: lost its bars")]
    assert timeless(table.rows) == timeless(pool.rows)


def test_directory_scan_from_the_command_line(folder, pool_rows, capsys, tmp_path):
    out = tmp_path / "table.csv"
    code = main(["scan", str(folder), "--out", str(out), "--jobs", "2"])
    printed, err = capsys.readouterr()
    assert code == 3  # the table was made, some instruments failed
    assert err == ""  # no progress bar when stderr is not a terminal
    assert "7 instruments" in printed and "5 ran, 2 failed" in printed
    import pandas as pd

    table = pd.read_csv(out, keep_default_na=False, na_values=[""])
    assert tuple(table.columns) == COLUMNS
    assert table["symbol"].tolist() == ["BAD", *sorted(UNIVERSE), "TWICE"]
    errors = dict(zip(table["symbol"], table["error"].fillna("")))
    assert errors["BAD"] == f"{folder / 'BAD.csv'}: row 3, column High: 'x' is not a number"
    assert errors["TWICE"] == "TWICE: several bar files (TWICE.csv, TWICE.npz)"
    good = table[table["error"].isna()]
    expected = {row.symbol: row for row in pool_rows}
    for record in good.to_dict("records"):
        row = expected[record["symbol"]]
        assert record["support"] == row.support or (math.isnan(record["support"]) and row.support is None)
        assert (record["bars"], record["last_close"], record["signals"]) == (
            row.bars, row.last_close, row.signals)


@pytest.mark.parametrize("suffix", [".csv", ".parquet", ".json"])
def test_table_files_hold_what_was_scanned(suffix, tmp_path):
    pd = pytest.importorskip("pandas")
    universe = dict(list(UNIVERSE.items())[:2])
    table = scan(universe, jobs=1)
    failed = dataclasses.replace(table.rows[0], symbol="ZZZ", bars=None, support=None,
                                 last_signal_vvip=None, error="ZZZ: no bars")
    table.rows.append(failed)
    path = tmp_path / f"table{suffix}"
    table.write(path)
    if suffix == ".json":
        assert json.loads(path.read_text()) == [dataclasses.asdict(row) for row in table.rows]
        return
    back = pd.read_parquet(path) if suffix == ".parquet" else pd.read_csv(path)
    expected = table.frame()
    assert tuple(back.columns) == tuple(expected.columns) == COLUMNS

    def plain(values):  # an empty CSV cell reads back as missing; CSV dates are text
        return [None if pd.isna(v) or v == "" else str(v) if isinstance(v, dt.date) else v
                for v in values]

    for column in COLUMNS:
        assert plain(back[column]) == plain(expected[column]), column


def test_settings_reach_every_instrument(folder, tmp_path, capsys):
    out = tmp_path / "table.json"
    code = main(["scan", str(folder), "--out", str(out), "--set", "bar_count_to_snib=120"])
    assert code == 3
    rows = {row["symbol"]: row for row in json.loads(out.read_text())}
    expected = scan(UNIVERSE, {"bar_count_to_snib": 120}, jobs=1).rows  # a mapping will do
    assert timeless(expected) != timeless(scan(UNIVERSE, jobs=1).rows)
    for row in expected:
        assert {k: v for k, v in rows[row.symbol].items() if k != "seconds"} == {
            k: v for k, v in dataclasses.asdict(row).items() if k != "seconds"}


@pytest.mark.parametrize(
    "argv, message",
    [
        (["scan", "{tmp}/missing"], "{tmp}/missing: no such file or directory"),
        (["scan", "{tmp}"], "{tmp}: no bar files (.csv, .npz, .parquet, .pq)"),
        (["scan", "{folder}", "--out", "{tmp}/t.xlsx"],
         "--out {tmp}/t.xlsx: unknown table suffix '.xlsx'; use .csv, .parquet, .pq, .json"),
        (["scan", "{folder}", "--out", "{tmp}/no/t.csv"],
         "{tmp}/no/t.csv: cannot write: no such directory {tmp}/no"),
        (["scan", "{folder}", "--sort-by", "suport"],
         f"--sort-by suport: no such column; the columns are {', '.join(COLUMNS)}"),
    ],
)
def test_scan_mistakes_are_one_line(argv, message, folder, tmp_path, capsys):
    fill = {"tmp": tmp_path, "folder": folder}
    code = main([a.format(**fill) for a in argv])
    out, err = capsys.readouterr()
    assert (code, out, err) == (1, "", f"torvex: error: {message.format(**fill)}\n")


def test_progress_bar_when_asked(folder, capsys):
    assert main(["scan", str(folder), "--progress", "--jobs", "1"]) == 3
    err = capsys.readouterr().err
    assert "| 0/7 [" in err.split("\r")[1]  # the total is known on the first draw
    assert "7/7" in err and "100%" in err


def test_synthetic_universe_is_seeded_with_different_volatilities():
    again = synthetic_universe(5, bars=400, seed=3)
    assert list(again) == list(UNIVERSE)
    assert all(np.array_equal(again[s].close, UNIVERSE[s].close) for s in UNIVERSE)
    other = synthetic_universe(5, bars=400, seed=4)
    assert not np.array_equal(other["SYN0000"].close, UNIVERSE["SYN0000"].close)
    spreads = [np.std(np.diff(np.log(b.close))) for b in synthetic_universe(20, 300).values()]
    assert max(spreads) > 2.5 * min(spreads)


def test_unreachable_scheduler_is_one_line(folder, capsys):
    dask = pytest.importorskip("distributed") and pytest.importorskip("dask")
    with socket.socket() as probe:  # a loopback port that nothing listens on
        probe.bind(("127.0.0.1", 0))
        address = "tcp://127.0.0.1:%d" % probe.getsockname()[1]
    with dask.config.set({"distributed.comm.timeouts.connect": "0.5s"}):
        code = main(["scan", str(folder), "--scheduler", address])
    out, err = capsys.readouterr()
    assert (code, out) == (1, "")
    assert err.startswith(f"torvex: error: cannot reach the Dask scheduler at {address}: ")
    assert err.count("\n") == 1


def long_table(universe, order):
    """The universe as one table, its rows interleaved across symbols."""
    rows = [(symbol, i) for i in range(len(next(iter(universe.values())))) for symbol in order]
    cells = {"Symbol": [s for s, _ in rows], "Date": [universe[s].dates[i] for s, i in rows]}
    for column in PRICES:
        cells[column] = [float(getattr(universe[s], column.lower())[i]) for s, i in rows]
    return cells


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_long_table_gives_the_rows_of_separate_files(suffix, pool_rows, tmp_path):
    pa = pytest.importorskip("pyarrow")
    from pyarrow import csv as pcsv, parquet

    table = pa.table(long_table(UNIVERSE, sorted(UNIVERSE, reverse=True)))
    path = str(tmp_path / f"long{suffix}")
    (parquet.write_table if suffix == ".parquet" else pcsv.write_csv)(table, path)
    assert timeless(scan(path, jobs=2).rows) == timeless(pool_rows)


@pytest.mark.parametrize(
    "edit, symbol, message",
    [
        # a blank line before the bad cell: rows are the file's lines, header = row 1
        (lambda lines: lines[:3] + [""] + lines[3:6] + ["B,2020-01-06,10,oops,9,10"] + lines[6:],
         "B", "row 8, column High: 'oops' is not a number"),
        (lambda lines: lines + ["A,2020-01-05,10,11,9,10"],
         "A", "row 10, column Date: 2020-01-05 repeats the date of row 8"),
    ],
)
def test_long_table_bad_rows_fail_only_their_symbol(edit, symbol, message, tmp_path):
    pytest.importorskip("pyarrow")
    lines = ["symbol,Date,Open,High,Low,Close"] + [
        f"{s},2020-01-0{d},10,11,9,10" for d in range(2, 6) for s in "AB"]
    path = tmp_path / "long.csv"
    path.write_text("\n".join(edit(lines)) + "\n")
    rows = {row.symbol: row for row in scan(str(path), jobs=1).rows}
    assert rows[symbol].error == f"{path}: {message}"
    other = rows["B" if symbol == "A" else "A"]
    assert other.error == "" and other.bars == 4


@pytest.mark.parametrize(
    "text, message",
    [
        ("Date,Open,High,Low,Close\n2020-01-02,10,11,9,10\n",
         "row 1: missing column symbol; --symbol-column (symbol_column=) names another"),
        ("symbol,Date,Open,High,Low,Close\nA,2020-01-02,10,11,9,10\n,2020-01-03,10,11,9,10\n",
         "row 3, column symbol: empty cell"),
    ],
)
def test_long_table_that_cannot_be_split_is_one_line(text, message, tmp_path, capsys):
    pytest.importorskip("pyarrow")
    path = tmp_path / "long.csv"
    path.write_text(text)
    code = main(["scan", str(path)])
    assert (code, capsys.readouterr().err) == (1, f"torvex: error: {path}: {message}\n")


def test_near_and_sorted_by():
    rows = [ScanRow("A", support_distance_ranges=0.5, resistance_distance_ranges=2.0),
            ScanRow("B", resistance_distance_ranges=1.5), ScanRow("C"),
            ScanRow("D", error="D: no bars"), ScanRow("E", support_distance_ranges=1.5)]
    table = ScanTable(rows, "test", 0.0)
    symbols = lambda t: [row.symbol for row in t.rows]  # noqa: E731
    assert symbols(table.near(1.0)) == ["A", "D"]  # a failed row is never dropped
    assert symbols(table.near(1.5)) == ["A", "B", "D", "E"]
    by = table.sorted_by("resistance_distance_ranges", descending=True)
    assert symbols(by) == ["A", "B", "C", "D", "E"]  # empty cells last, in symbol order
    assert symbols(table.sorted_by("support_distance_ranges")) == ["A", "E", "B", "C", "D"]


@pytest.mark.parametrize("step, arrow_type", [("D", "date32[day]"), ("h", "timestamp[us, tz=UTC]")])
def test_dates_are_typed_in_parquet_and_frames(step, arrow_type, tmp_path):
    pytest.importorskip("pyarrow")
    from pyarrow import parquet

    bars = next(iter(UNIVERSE.values()))
    start = np.datetime64("2021-03-01T09:30" if step == "h" else "2021-03-01", "us")
    moments = start + np.arange(len(bars)).astype(f"timedelta64[{step}]")
    again = type(bars).from_arrays(moments, bars.open, bars.high, bars.low, bars.close)
    table = scan({"X": again}, jobs=1)
    path = tmp_path / "t.parquet"
    table.write(path)
    schema = parquet.read_schema(path)
    assert str(schema.field("last_date").type) == str(schema.field("last_signal_date").type) == arrow_type
    last = parquet.read_table(path).column("last_date")[0].as_py()
    expected = moments[-1].item()
    assert last == (expected.date() if step == "D" else expected.replace(tzinfo=dt.timezone.utc))
    kind = str(table.frame()["last_date"].dtype)
    assert (kind == "date32[day][pyarrow]") if step == "D" else kind.endswith(", UTC]")
    polars = pytest.importorskip("polars")
    assert table.frame(backend="polars")["last_date"].dtype == (
        polars.Date if step == "D" else polars.Datetime("us", "UTC"))
