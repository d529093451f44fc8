"""The report screenshots of the README, taken in headless Chromium (scripts/screenshots sets up
and runs this): the embedded data's run page with the tip of a line under the cursor, and the
scan page of examples/make_universe.py's universe with one instrument drawn."""

import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

from browser import open_browser, wait_for, why_not  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402

from torvex.kit import run, sample_bars  # noqa: E402
from torvex.report import segment  # noqa: E402
from torvex.scan import scan  # noqa: E402

DOCS = os.path.join(ROOT, "docs")
SIZE = (1400, 1000)


def point_at(driver, bar, level):
    """Moves the mouse onto `level` at `bar` of the drawn chart."""
    dx, dy = driver.execute_script(
        """
        const [bar, level] = arguments;
        const handle = window.torvexReport.handle;
        const pane = document.querySelector('#chart td canvas').getBoundingClientRect();
        return [handle.chart.timeScale().logicalToCoordinate(bar) - pane.width / 2,
                handle.candles.priceToCoordinate(level) - pane.height / 2];
        """,
        bar,
        level,
    )
    pane = driver.find_element("css selector", "#chart td canvas")
    ActionChains(driver).move_to_element_with_offset(pane, int(dx), int(dy)).perform()


def main() -> None:
    missing = why_not()
    if missing:
        raise SystemExit(f"screenshots: {missing}")
    work = tempfile.mkdtemp(prefix="torvex-shots-")
    result = run(sample_bars())
    run_page = os.path.join(work, "run.html")
    result.to_html(run_page)
    universe = os.path.join(work, "prices")
    subprocess.run(
        [sys.executable, os.path.join(ROOT, "examples", "make_universe.py"), universe],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    scan_page = os.path.join(work, "scan.html")
    scan(universe, charts=True).to_html(scan_page, source="prices")

    driver = open_browser(*SIZE)
    try:
        driver.get("file://" + run_page)
        wait_for(driver, "document.body.dataset.drawn")
        line = max(
            (x for x in result.lines if not x.violated),
            key=lambda x: segment(x)[1] - segment(x)[0],
        )
        point_at(driver, sum(segment(line)) // 2, line.level)
        wait_for(driver, "document.querySelector('#chart .tip').textContent")
        driver.save_screenshot(os.path.join(DOCS, "report_run.png"))

        driver.get("file://" + scan_page)
        wait_for(driver, "document.body.dataset.rows")
        # the instruments nearest their support first
        driver.find_element("css selector", "#scan th[data-column=support_distance_pct]").click()
        row = driver.find_element("css selector", "#scan tbody tr")
        symbol = row.find_element("css selector", "td").text
        row.click()
        wait_for(driver, f"document.body.dataset.drawn === {symbol!r}")
        driver.execute_script("document.querySelector('.scroll').scrollLeft = 0")
        driver.save_screenshot(os.path.join(DOCS, "report_scan.png"))
    finally:
        driver.quit()
    print(f"screenshots written to {DOCS}/report_run.png and {DOCS}/report_scan.png")


if __name__ == "__main__":
    main()
