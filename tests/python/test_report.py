"""The HTML report without a browser: where each line's segment ends, the packed chart (exact
prices, times), the page's inlined data, the scan carrying charts only when asked, and the
command line. The pages themselves are tried in Chromium in test_report_browser.py."""

import dataclasses
import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest

from torvex.cli import main
from torvex.kit import Bars, Line, Settings, run, sample_bars, synthetic_universe
import torvex
from torvex.report import decode_chart, encoded_chart, segment, write_scan_report
from torvex.report import library as report_library
from torvex.scan import scan
from torvex.scan.table import ScanRow

pytest.importorskip(report_library.CARRIER, reason="the report extra is not installed")


def line(start, end, extended, checked, extend_end, post_end):
    return Line(
        level=10.0,
        pivots=(10.0,),
        start_bar=start,
        end_bar=end,
        start_date="",
        end_date="",
        extended=extended,
        extend_end_bar=extend_end,
        post_extend_end_bar=post_end,
        crossings=0,
        violated=False,
        checked=checked,
    )


@pytest.mark.parametrize(
    "start, end, extended, checked, extend_end, post_end, span",
    [
        (5, 20, False, False, 0, 0, (5, 20)),  # never crossed: to its latest pivot
        (5, 20, True, False, 35, 0, (5, 35)),  # crossed once: to that bar
        (5, 20, True, True, 35, 50, (5, 50)),  # on to the last crossing within the tolerance
        (5, 20, False, True, 35, 50, (5, 50)),  # merged after its first crossing: still counted
        (5, 20, False, False, 35, 50, (5, 20)),  # merged before it: the old extension is gone
        (30, 20, False, False, 0, 0, (20, 30)),  # merges left it starting after its end
        (30, 20, False, True, 25, 40, (30, 40)),
    ],
)
def test_a_segment_runs_from_the_first_pivot_to_where_the_engine_carried_the_line(
    start, end, extended, checked, extend_end, post_end, span
):
    assert segment(line(start, end, extended, checked, extend_end, post_end)) == span


def packed(result):
    """The chart as the page receives it: packed, and read back."""
    return decode_chart(encoded_chart(result))


def seconds(payload):
    """The bars' times back from a payload."""
    steps = [payload["time0"], *(payload["time"].astype(np.int64) * payload["unit"])]
    return np.cumsum(steps).tolist()


def unpack(payload):
    """The bars back from a payload, as the page's script unpacks them."""
    if payload["scale"] is None:
        return [np.array(payload[k]) for k in "ohlc"]
    power = 10.0 ** payload["scale"]
    c = np.cumsum([payload["close0"], *payload["c"]])
    o = np.concatenate(([0], c[:-1])) + payload["o"]
    h = np.maximum(o, c) + payload["h"]
    lo = np.minimum(o, c) - payload["l"]
    return [a / power for a in (o, h, lo, c)]


def bars_of(prices, dates=None, wick=1.0):
    prices = np.asarray(prices, dtype=float)
    dates = dates or [f"2020-01-{d:02d}" for d in range(1, len(prices) + 1)]
    close = np.roll(prices, 1)
    return Bars.from_arrays(
        dates, prices, np.maximum(prices, close) + wick, np.minimum(prices, close) - wick, close
    )


@pytest.mark.parametrize(
    "prices, wick, scale",
    [
        ([10, 11, 12], 1, 0),
        ([10.25, 11.5, 9.75], 0.25, 2),
        ([1.12345, 1.12351, 1.1234], 0.0001, 5),
        ([100.77, 3538.67, 0.75], 0.125, 3),  # the wick needs one more decimal
        ([10 / 3, 20 / 3, 10.0], 1, None),  # on no decimal grid: the doubles themselves
        ([65000.12345678, 65010.5, 64990.25], 0, 8),  # past 32 bits: whole doubles
    ],
)
def test_prices_travel_exactly_on_the_coarsest_grid_that_holds_them(prices, wick, scale):
    bars = bars_of(prices, wick=wick)
    payload = packed(run(bars, Settings()))
    assert payload["scale"] == scale
    for got, want in zip(unpack(payload), (bars.open, bars.high, bars.low, bars.close)):
        assert got.tolist() == want.tolist()  # bit for bit


def test_times_are_seconds_or_else_the_dates_text():
    daily = packed(run(bars_of([10, 11, 12]), Settings()))
    assert daily["daily"] and seconds(daily) == [
        1577836800 + day * 86400 for day in range(3)
    ]
    moments = ["2020-01-02 09:30:00", "2020-01-02 09:31:00", "2020-01-02 09:32:00"]
    intraday = packed(run(bars_of([10, 11, 12], moments), Settings()))
    assert not intraday["daily"] and seconds(intraday)[1:] == [1577957460, 1577957520]
    old = ["1969-12-30", "1969-12-31", "1970-01-01"]  # the chart's clock starts at 1970
    before = packed(run(bars_of([10, 11, 12], old), Settings()))
    assert before["time"] is None and before["dates"] == old


def test_zoned_bars_are_charted_on_their_own_clock():
    pd = pytest.importorskip("pandas")
    index = pd.date_range("2024-03-08 11:10", periods=4, freq="D", tz="America/New_York")
    frame = pd.DataFrame(
        {"open": 10.0, "high": 11.0, "low": 9.0, "close": 10.5}, index=index.rename("date")
    )
    payload = packed(run(frame, Settings()))
    # 11:10 in New York on both sides of the clocks' change on March 10th, not 16:10 and 15:10
    wall = [pd.Timestamp(f"2024-03-{day:02d} 11:10", tz="UTC").timestamp() for day in range(8, 12)]
    assert seconds(payload) == wall and not payload["daily"]


@pytest.fixture(scope="module")
def sample_result():
    return run(sample_bars())


def test_the_packed_chart_holds_every_line_pivot_signal_and_failure(sample_result):
    r = sample_result
    payload = decode_chart(encoded_chart(r, "sample"))
    assert payload["name"] == "sample" and payload["view"] == "end"
    assert payload["bars"] == len(r.bars)
    assert payload["lines"] == [
        [x.level, *segment(x), x.violated, len(x.pivots), x.crossings]
        for x in r.lines
    ]
    assert [p[:2] for p in payload["pivots"]] == [[p.bar, p.price] for p in r.pivots]
    assert [s[:3] for s in payload["signals"]] == [[s.bar, s.level, s.vvip] for s in r.signals]
    assert [f[0] for f in payload["failures"]] == [f.bar for f in r.failures]
    assert encoded_chart(r, "sample") == encoded_chart(r, "sample")  # no time stamp inside


def inlined(page, element_id):
    found = re.search(rf'<script type="[^"]+" id="{element_id}">(.*?)</script>', page, re.S)
    assert found, element_id
    return found.group(1)


def test_a_run_page_is_one_file_with_the_view_in_its_title(tmp_path):
    result = run(sample_bars(), view="live")
    path = tmp_path / "run.html"
    result.to_html(path)
    page = path.read_text()
    assert "<title>sample_daily.csv (synthetic): torvex, live view</title>" in page
    assert decode_chart(inlined(page, "chart-data"))["view"] == "live"
    # everything inline: no element loads anything from anywhere
    assert not re.search(r"<(script|img|iframe)[^>]*\ssrc=|<link\b|@import", page)
    assert page.count("TradingView Lightweight Charts") == 1


HOSTILE = '</script><script>alert("x")</script>&amp;'


def hostile_table():
    universe = synthetic_universe(2, bars=300, seed=5)
    universe[HOSTILE] = universe.pop("SYN0001")
    empty = np.array([])
    universe["BAD"] = Bars((), empty, empty, empty, empty, empty.astype(np.int64))  # no bar to run
    return scan(universe, jobs=1, charts=True)


def test_a_scan_page_inlines_its_table_and_a_chart_per_instrument_that_ran(tmp_path):
    table = hostile_table()
    path = tmp_path / "scan.html"
    table.to_html(path, source="<universe>")
    page = path.read_text()
    assert "<title>torvex scan of &lt;universe&gt;, end view</title>" in page
    assert HOSTILE not in page  # names are data, never markup
    data = json.loads(inlined(page, "table-data"))
    assert data["columns"][0] == "symbol"
    assert [row[0] for row in data["rows"]] == [row.symbol for row in table.rows]
    failed = [i for i, row in enumerate(table.rows) if row.failed]
    assert [table.rows[i].symbol for i in failed] == ["BAD"]
    for i, row in enumerate(table.rows):
        if i in failed:
            assert f'id="chart-{i}"' not in page
        else:
            assert decode_chart(inlined(page, f"chart-{i}"))["name"] == row.symbol


def test_a_scan_carries_charts_only_when_asked_and_rows_stay_the_same():
    universe = synthetic_universe(3, bars=300, seed=2)
    plain = scan(universe, jobs=2)
    charted = scan(universe, jobs=2, charts=True)
    assert plain.charts == {}
    assert sorted(charted.charts) == sorted(universe)
    for table in (plain, charted):  # the charts travel apart from the rows
        assert all(type(row) is ScanRow for row in table.rows)
    timeless = [[dataclasses.replace(r, seconds=0.0) for r in t.rows] for t in (plain, charted)]
    assert timeless[0] == timeless[1]
    one = run(universe["SYN0001"])
    assert charted.charts["SYN0001"] == encoded_chart(one, "SYN0001")


def test_a_table_scanned_without_charts_still_makes_a_page(tmp_path):
    table = scan(synthetic_universe(2, bars=300), jobs=1)
    table.to_html(tmp_path / "scan.html")
    page = (tmp_path / "scan.html").read_text()
    assert "scanned without charts" in page and 'id="chart-0"' not in page


def test_the_report_loads_nothing_of_the_kit_the_scan_or_the_command_line():
    # the report is a renderer below them: they hand it what it draws
    code = (
        "import sys, torvex.report, torvex.report.page\n"
        "print(sorted(m for m in sys.modules if m.startswith(('torvex.kit', 'torvex.scan', "
        "'torvex.cli', 'torvex.bt'))))"
    )
    where = os.path.dirname(os.path.dirname(torvex.__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([where, os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert (done.returncode, done.stdout, done.stderr) == (0, "[]\n", "")


def test_a_scan_page_draws_plain_records(tmp_path):
    one = run(synthetic_universe(1, bars=300, seed=3)["SYN0000"])
    records = [
        {"symbol": "A", "bars": 300, "last_close": 101.5, "error": ""},
        {"symbol": "B", "bars": None, "last_close": float("nan"), "error": "no bars"},
    ]
    charts = {"A": encoded_chart(one, "A"), "B": encoded_chart(one, "B")}
    path = tmp_path / "scan.html"
    write_scan_report(
        ("symbol", "bars", "last_close", "error"), records, path,
        charts=charts, tick=0.01, view="live", bars=300,
    )
    page = path.read_text()
    assert "2 instruments (1 failed), 300 bars, live view" in page
    data = json.loads(inlined(page, "table-data"))
    assert data["rows"] == [["A", 300, 101.5, ""], ["B", None, None, "no bars"]]
    assert (data["digits"], data["decimal"]) == (2, [2])
    assert decode_chart(inlined(page, "chart-0"))["name"] == "A"
    assert 'id="chart-1"' not in page  # a failed instrument shows its error, not a chart


def cli(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def test_the_commands_write_reports(tmp_path, capsys):
    universe = synthetic_universe(3, bars=300, seed=4)
    folder = tmp_path / "prices"
    folder.mkdir()
    for symbol, bars in universe.items():
        rows = zip(bars.dates, bars.open, bars.high, bars.low, bars.close)
        text = "Date,Open,High,Low,Close\n" + "".join(",".join(map(str, r)) + "\n" for r in rows)
        (folder / f"{symbol}.csv").write_text(text)
    code, out, err = cli(capsys, "run", folder / "SYN0000.csv", "--html", tmp_path / "run.html")
    assert code == 0 and err == "" and out.endswith(f"report written to {tmp_path}/run.html\n")
    code, out, err = cli(capsys, "scan", folder, "--jobs", 1, "--html", tmp_path / "scan.html")
    assert code == 0 and out.endswith(f"report written to {tmp_path}/scan.html\n")
    page = (tmp_path / "scan.html").read_text()
    assert all(f'id="chart-{i}"' in page for i in range(3))


@pytest.mark.parametrize(
    "target, message",
    [
        ("missing/x.html", "missing/x.html: cannot write: no such directory {tmp}/missing"),
        (".", ".: cannot write: is a directory"),
    ],
)
@pytest.mark.parametrize("command", ["run", "scan"])
def test_an_unwritable_report_stops_before_the_run(
    tmp_path, capsys, monkeypatch, command, target, message
):
    monkeypatch.chdir(tmp_path)
    argv = [command] + (["nowhere"] if command == "scan" else []) + ["--html", target]
    code, out, err = cli(capsys, *argv)  # the scan's missing path is never reached
    assert (code, out) == (1, "")
    assert err == f"torvex: error: {message.format(tmp=tmp_path)}\n"


def test_without_the_library_a_report_is_refused_in_one_line(capsys, monkeypatch):
    monkeypatch.setattr(report_library, "CARRIER", "no_such_carrier_package")
    report_library._load.cache_clear()
    try:
        code, out, err = cli(capsys, "run", "--html", "x.html")
    finally:
        monkeypatch.undo()
        report_library._load.cache_clear()
    assert (code, out) == (1, "")
    assert err == (
        "torvex: error: an HTML report needs Lightweight Charts; "
        "install it with: pip install 'torvex[report]'\n"
    )


def test_a_library_of_another_major_version_is_refused(tmp_path, monkeypatch):
    fake = tmp_path / "js" / "lightweight-charts.js"
    fake.parent.mkdir()
    fake.write_text("/*!\n * TradingView Lightweight Charts\u2122 v4.1.3\n */ LightweightCharts")
    monkeypatch.setattr(report_library, "_path", lambda: str(fake))
    report_library._load.cache_clear()
    try:
        with pytest.raises(report_library.ReportUnavailable, match="5.x is needed, found version 4.1.3"):
            report_library.library_script()
    finally:
        report_library._load.cache_clear()
