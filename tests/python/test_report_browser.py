"""The reports in headless Chromium: what the chart library drew (its own series and marker
objects, never the data inlined in the page) against the run, the table's sorting, filtering
and clicks, the console, and the network log. Skipped, saying why, where no Chromium and
chromedriver can run (scripts/bootstrap --browser installs Debian's)."""

import numpy as np
import pytest

from browser import console_errors, open_browser, requested_urls, wait_for, why_not
from torvex.kit import Bars, Settings, run, sample_bars, synthetic_universe
from torvex.report import library as report_library
from torvex.report import segment
from torvex.scan import scan

pytest.importorskip(report_library.CARRIER, reason="the report extra is not installed")
pytestmark = pytest.mark.skipif(why_not() is not None, reason=f"no headless browser: {why_not()}")

# What the chart holds, read through the library's own objects: the pane's series (candles,
# solid and dashed line segments) and the marker layers attached to the candles.
DRAWN = """
const handle = window.torvexReport.handle;
if (!handle) return null;
const LC = window.LightweightCharts;
const all = handle.chart.panes()[0].getSeries();
const candles = all.find((s) => s.seriesType() === 'Candlestick');
const lines = all.filter((s) => s.seriesType() === 'Line');
const segment = (s) => ({
  points: s.data().map((d) => [d.time, d.value]),
  visible: s.options().visible,
  colour: s.options().color,
});
return {
  bars: candles.data().map((b) => [b.time, b.open, b.high, b.low, b.close]),
  solid: lines.filter((s) => s.options().lineStyle === LC.LineStyle.Solid).map(segment),
  dashed: lines.filter((s) => s.options().lineStyle === LC.LineStyle.Dashed).map(segment),
  signals: handle.layers.signals.markers().map((m) => [m.time, m.price, m.color]),
  pivots: handle.layers.pivots.markers().length,
  failures: handle.layers.failures.markers().length,
};
"""


@pytest.fixture(scope="module")
def browser():
    driver = open_browser()
    yield driver
    driver.quit()


def seconds(bars):
    return bars.dates.moments.astype("datetime64[s]").astype(np.int64).tolist()


def load(browser, path, ready):
    """Open `path`; wait until the page says `ready`; the console and network since then are
    the page's."""
    console_errors(browser), requested_urls(browser)  # drop what came before
    browser.get(path.as_uri())
    wait_for(browser, ready)


def assert_quiet(browser, path):
    assert console_errors(browser) == []
    assert set(requested_urls(browser)) == {path.as_uri()}


@pytest.fixture(scope="module")
def run_page(tmp_path_factory):
    result = run(sample_bars())
    path = tmp_path_factory.mktemp("report") / "run.html"
    result.to_html(path)
    return result, path


def assert_chart_is_the_run(drawn, result):
    bars = result.bars
    times = seconds(bars)
    assert drawn["bars"] == [
        list(row) for row in zip(times, bars.open, bars.high, bars.low, bars.close)
    ]  # every price the very double the engine ran on
    last = len(bars) - 1
    solid = sorted((s["points"][0][1], s["points"][0][0], s["points"][-1][0]) for s in drawn["solid"])
    assert solid == sorted(
        (line.level, *(times[bar] for bar in segment(line))) for line in result.lines
    )
    holding = [line for line in result.lines if not line.violated and segment(line)[1] < last]
    dashed = sorted((s["points"][0][1], s["points"][0][0], s["points"][-1][0]) for s in drawn["dashed"])
    assert dashed == sorted((line.level, times[segment(line)[1]], times[last]) for line in holding)
    assert len({s["colour"] for s in drawn["solid"]}) == 2  # violated apart from holding
    assert sorted(drawn["signals"][i][:2] for i in range(len(drawn["signals"]))) == sorted(
        [times[s.bar], s.level] for s in result.signals
    )
    assert len({colour for *_, colour in drawn["signals"]}) == 2  # vvip apart


def test_the_run_page_draws_every_line_and_signal_and_asks_the_network_for_nothing(
    browser, run_page
):
    result, path = run_page
    load(browser, path, "document.body.dataset.drawn")
    drawn = browser.execute_script(DRAWN)
    assert len(drawn["solid"]) == len(result.lines) == 16
    assert len(drawn["signals"]) == len(result.signals) == 17
    assert drawn["pivots"] == len(result.pivots) and drawn["failures"] == 0
    assert_chart_is_the_run(drawn, result)
    assert browser.title == "sample_daily.csv (synthetic): torvex, end view"
    assert_quiet(browser, path)


def test_lines_left_by_merges_of_every_bar_draw_as_the_engine_left_them(browser, tmp_path):
    # the line work on every bar merges lines late: some start after their latest pivot, some
    # are past their first crossing with `extended` cleared
    bars = synthetic_universe(1, bars=1500, seed=8)["SYN0000"]
    result = run(bars, Settings(draw_from_recent=False))
    assert any(x.start_bar > x.end_bar for x in result.lines)
    assert any(x.checked and not x.extended for x in result.lines)
    result.to_html(tmp_path / "all.html")
    load(browser, tmp_path / "all.html", "document.body.dataset.drawn")
    assert_chart_is_the_run(browser.execute_script(DRAWN), result)
    assert_quiet(browser, tmp_path / "all.html")


def test_the_switches_show_failed_recoveries_and_hide_violated_lines(browser, run_page):
    result, path = run_page
    load(browser, path, "document.body.dataset.drawn")
    for key in ("failures", "violated", "pivots"):
        browser.find_element("css selector", f"input[data-show={key}]").click()
    drawn = browser.execute_script(DRAWN)
    assert drawn["failures"] == len(result.failures) > 0
    assert drawn["pivots"] == 0
    shown = sorted(s["points"][0][1] for s in drawn["solid"] if s["visible"])
    assert shown == sorted(line.level for line in result.lines if not line.violated)
    assert_quiet(browser, path)


def test_hovering_a_line_tells_its_level_pivots_and_crossings(browser, run_page):
    from selenium.webdriver.common.action_chains import ActionChains

    result, path = run_page
    load(browser, path, "document.body.dataset.drawn")
    line = max(result.lines, key=lambda x: segment(x)[1] - segment(x)[0])
    bar = sum(segment(line)) // 2
    # where the library puts that bar and level on the pane, from the pane's centre
    dx, dy = browser.execute_script(
        """
        const [bar, level] = arguments;
        const handle = window.torvexReport.handle;
        const box = document.querySelector('#chart td canvas').getBoundingClientRect();
        const x = handle.chart.timeScale().logicalToCoordinate(bar);
        const y = handle.candles.priceToCoordinate(level);
        return [x - box.width / 2, y - box.height / 2];
        """,
        bar,
        line.level,
    )
    pane = browser.find_element("css selector", "#chart td canvas")
    ActionChains(browser).move_to_element_with_offset(pane, int(dx), int(dy)).perform()
    tip = wait_for(browser, "document.querySelector('#chart .tip').textContent")
    pivots = len(line.pivots)
    assert tip.startswith(f"{line.level:.2f}  ·  {pivots} pivot{'s' * (pivots != 1)}  ·  ")
    assert f"{line.crossings} crossing" in tip
    assert ("violated" in tip) == line.violated


HOSTILE = "<b>&amp;"


@pytest.fixture(scope="module")
def scan_page(tmp_path_factory):
    universe = synthetic_universe(12, bars=600, seed=9)
    universe[HOSTILE] = universe.pop("SYN0011")
    empty = np.array([])
    universe["BAD"] = Bars((), empty, empty, empty, empty, empty.astype(np.int64))
    table = scan(universe, jobs=2, charts=True)
    path = tmp_path_factory.mktemp("report") / "scan.html"
    table.to_html(path)
    return table, universe, path


def shown_symbols(browser):
    return browser.execute_script(
        "return [...document.querySelectorAll('#scan tbody tr')]"
        ".filter((tr) => !tr.hidden).map((tr) => tr.cells[0].textContent)"
    )


def test_the_scan_page_lists_every_instrument_as_text(browser, scan_page):
    table, _, path = scan_page
    load(browser, path, "document.body.dataset.rows")
    assert shown_symbols(browser) == [row.symbol for row in table.rows]
    closes = browser.execute_script(
        "const at = [...document.querySelectorAll('#scan th')]"
        ".findIndex((th) => th.dataset.column === 'last_close');"
        "return [...document.querySelectorAll('#scan tbody tr')].map((tr) => tr.cells[at].textContent)"
    )
    assert closes == ["" if r.last_close is None else f"{r.last_close:.2f}" for r in table.rows]
    headers = browser.execute_script(
        "return [...document.querySelectorAll('#scan th')].map((th) => th.dataset.column)"
    )
    assert headers[:2] == ["symbol", "bars"] and "error" in headers
    assert_quiet(browser, path)


def ordered(rows, column, descending):
    """Symbols sorted by `column` as the page sorts: empty cells last either way, ties in the
    table's order (Python's sort is stable both ways)."""
    full = [row for row in rows if getattr(row, column) is not None]
    empty = [row for row in rows if getattr(row, column) is None]
    full.sort(key=lambda row: getattr(row, column), reverse=descending)
    return [row.symbol for row in full + empty]


@pytest.mark.parametrize("column", ["last_close", "resistance", "symbol", "lines"])
def test_sorting_a_column_reorders_the_rows(browser, scan_page, column):
    table, _, path = scan_page
    load(browser, path, "document.body.dataset.rows")
    header = browser.find_element("css selector", f"#scan th[data-column={column}]")
    header.click()
    assert shown_symbols(browser) == ordered(table.rows, column, descending=False)
    assert header.get_attribute("aria-sort") == "ascending"
    header.click()
    assert shown_symbols(browser) == ordered(table.rows, column, descending=True)
    assert header.get_attribute("aria-sort") == "descending"
    assert ordered(table.rows, column, False) != ordered(table.rows, column, True)


def test_the_filter_keeps_the_symbols_that_contain_it(browser, scan_page):
    table, _, path = scan_page
    load(browser, path, "document.body.dataset.rows")
    browser.find_element("id", "filter").send_keys("syn000")
    assert shown_symbols(browser) == [f"SYN{i:04d}" for i in range(10)]
    assert browser.find_element("id", "count").text == f"10 of {len(table.rows)}"


def click_row(browser, symbol):
    for tr in browser.find_elements("css selector", "#scan tbody tr"):
        if tr.find_element("css selector", "td").text == symbol:
            tr.click()
            return
    raise AssertionError(f"no row {symbol}")


def test_clicking_a_row_draws_that_instrument(browser, scan_page):
    table, universe, path = scan_page
    load(browser, path, "document.body.dataset.rows")
    assert browser.execute_script("return window.torvexReport.handle") is None  # none at load
    for symbol in ("SYN0003", HOSTILE, "SYN0007"):
        click_row(browser, symbol)
        wait_for(browser, f"document.body.dataset.drawn === {symbol!r}")
        drawn = browser.execute_script(DRAWN)
        result = run(universe[symbol])
        assert len(drawn["solid"]) == len(result.lines)
        assert len(drawn["signals"]) == len(result.signals)
        assert_chart_is_the_run(drawn, result)
        assert browser.find_element("id", "chart-title").text == symbol
    assert_quiet(browser, path)


def test_a_failed_row_shows_its_error_instead_of_a_chart(browser, scan_page):
    table, _, path = scan_page
    load(browser, path, "document.body.dataset.rows")
    click_row(browser, "SYN0001")
    wait_for(browser, "document.body.dataset.drawn === 'SYN0001'")
    click_row(browser, "BAD")
    wait_for(browser, "document.body.dataset.drawn === 'BAD'")
    error = next(row.error for row in table.rows if row.symbol == "BAD")
    assert browser.find_element("id", "chart-summary").text == f"failed: {error}"
    assert browser.execute_script("return window.torvexReport.handle") is None
    assert browser.execute_script("return document.querySelectorAll('#chart canvas').length") == 0
    assert_quiet(browser, path)


def test_the_view_heads_both_pages(browser, tmp_path):
    universe = synthetic_universe(2, bars=600, seed=4)
    result = run(universe["SYN0000"], view="live")
    result.to_html(tmp_path / "live.html")
    load(browser, tmp_path / "live.html", "document.body.dataset.drawn")
    assert browser.title.endswith("torvex, live view")
    assert browser.find_element("id", "summary").text.startswith("live view · 600 bars")
    assert_chart_is_the_run(browser.execute_script(DRAWN), result)
    assert_quiet(browser, tmp_path / "live.html")

    scan(universe, jobs=1, view="live", charts=True).to_html(tmp_path / "scan.html")
    load(browser, tmp_path / "scan.html", "document.body.dataset.rows")
    assert browser.title == "torvex scan, live view"
    click_row(browser, "SYN0000")
    wait_for(browser, "document.body.dataset.drawn === 'SYN0000'")
    assert browser.find_element("id", "chart-summary").text.startswith("live view · 600 bars")
    assert_chart_is_the_run(browser.execute_script(DRAWN), result)
    assert_quiet(browser, tmp_path / "scan.html")
