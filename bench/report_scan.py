"""The scan report of a 200-instrument x 2500-bar universe in headless Chromium: the file's size,
the time until the table's rows are rendered, and the time a click on a row takes to draw that
instrument's chart (target: rows plus click under 2 s). Also, side by side in one run, the
scan's wall time without charts and with the workers packing them, and the page of one run.

    python3 bench/report_scan.py [--instruments 200] [--bars 2500] [--loads 5] [--repeat 3]

Times inside the page are the page's own clock: rows from the start of navigation to the
second frame after the table's rows went into the document, a click from its handler to the
second frame after the chart was drawn (the library paints on the first). The wall times around them are Selenium's: from
asking for the page until its rows are there, from the click until the page says it drew.
"""

import argparse
import os
import statistics
import tempfile
import time

import bench_paths  # noqa: F401  (import paths)
from browser import open_browser, wait_for, why_not

from torvex.kit import run, sample_bars, synthetic_universe
from torvex.scan import cores, scan

CLICKED = (0, 57, 123, 199)  # rows clicked on each load, by position in the table


def timed_scan(universe, charts, repeat):
    """The best wall time of `repeat` scans, and the last table."""
    best = float("inf")
    for _ in range(repeat):
        started = time.perf_counter()
        table = scan(universe, jobs=cores(), charts=charts)
        best = min(best, time.perf_counter() - started)
    return best, table


def measure(driver, path, rows):
    """One fresh load of the page and a click on each of CLICKED rows."""
    driver.get("about:blank")
    started = time.perf_counter()
    driver.get(path.as_uri() if hasattr(path, "as_uri") else "file://" + path)
    wait_for(driver, f"document.body.dataset.rows === '{rows}'", timeout=60)
    load_wall = time.perf_counter() - started
    in_page = driver.execute_script("return window.torvexReport.times.rows")
    clicks, click_walls = [], []
    trs = driver.find_elements("css selector", "#scan tbody tr")
    for position in CLICKED:
        if position >= len(trs):
            continue
        symbol = trs[position].find_element("css selector", "td").text
        started = time.perf_counter()
        trs[position].click()
        wait_for(driver, f"document.body.dataset.drawn === {symbol!r}", timeout=60)
        click_walls.append(time.perf_counter() - started)
        clicks.append(driver.execute_script("return window.torvexReport.times.drawn"))
        count = driver.execute_script(
            "return window.torvexReport.handle.candles.data().length"
        )
        assert count > 0, symbol
    return in_page / 1000, load_wall, [c / 1000 for c in clicks], click_walls


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--instruments", type=int, default=200)
    parser.add_argument("--bars", type=int, default=2500)
    parser.add_argument("--loads", type=int, default=5)
    parser.add_argument("--repeat", type=int, default=3, help="scans timed each way (best)")
    parser.add_argument("--seed", type=int, default=11)
    args = parser.parse_args()
    missing = why_not()
    if missing:
        raise SystemExit(f"report_scan: {missing}")

    universe = synthetic_universe(args.instruments, bars=args.bars, seed=args.seed)
    scan(dict(list(universe.items())[: cores()]), jobs=cores())  # start the pool's server
    plain_s, _ = timed_scan(universe, False, args.repeat)
    charted_s, table = timed_scan(universe, True, args.repeat)
    print(
        f"universe: {args.instruments} instruments x {args.bars} bars, {cores()} jobs, "
        f"best of {args.repeat} scans\n"
        f"scan without charts {plain_s:.2f} s, with charts packed by the workers "
        f"{charted_s:.2f} s (x{charted_s / plain_s:.2f})"
    )
    folder = tempfile.mkdtemp(prefix="torvex-report-")
    path = os.path.join(folder, "scan.html")
    started = time.perf_counter()
    table.to_html(path)
    written = time.perf_counter() - started
    packed = sum(len(text) for text in table.charts.values())
    size = os.path.getsize(path)
    print(
        f"scan report: {size / 1e6:.2f} MB ({packed / 1e6:.2f} MB of packed charts, "
        f"{packed / len(table.charts) / 1e3:.1f} KB a chart), written in {written:.2f} s"
    )
    one = os.path.join(folder, "run.html")
    run(sample_bars()).to_html(one)
    print(f"run report of the embedded 2500 bars: {os.path.getsize(one) / 1e3:.0f} KB")

    driver = open_browser()
    try:
        loads = [measure(driver, path, len(table.rows)) for _ in range(args.loads)]
    finally:
        driver.quit()
    rows = [load[0] for load in loads]
    walls = [load[1] for load in loads]
    clicks = [c for load in loads for c in load[2]]
    click_walls = [c for load in loads for c in load[3]]
    print(f"headless Chromium, {args.loads} loads, {len(CLICKED)} clicks each:")
    print(
        f"  rows rendered       median {statistics.median(rows):.3f} s, worst {max(rows):.3f} s "
        f"(wall {statistics.median(walls):.3f} s)"
    )
    print(
        f"  click to chart      median {statistics.median(clicks):.3f} s, worst {max(clicks):.3f} s "
        f"(wall {statistics.median(click_walls):.3f} s)"
    )
    total = max(rows) + max(clicks)
    verdict = "under" if total < 2 else "OVER"
    print(f"  worst rows + worst click {total:.3f} s: {verdict} the 2 s target")


if __name__ == "__main__":
    main()
