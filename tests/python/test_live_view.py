"""The live view: each bar as a live host sees it. Both object models give the same results in
it, field by field, on one long market (test_native_run compares them on random markets in both
views); no result depends on a later bar; the command line and the scan run it."""

import json
import random

import numpy as np
import pytest

from test_native_run import CASES, random_bars, random_settings, same_results
from torvex.cli import main
from torvex.kit import Bars, Settings, run, sample_bars, synthetic_universe
from torvex.scan import scan
from torvex.scan.table import result_row


def test_the_random_cases_reach_every_kind_of_outcome_in_the_live_view():
    seen = set()
    for seed, recent, form in CASES:
        count = random.Random(seed).randrange(250, 450)
        result = run(random_bars(seed, count), random_settings(seed, count, recent, form),
                     view="live")
        seen.update(f"{form}:{reason}" for f in result.failures for reason in f.reasons)
        seen.update(f"{form}:{'vvip' if s.vvip else 'signal'}" for s in result.signals)
        seen.update(f"lines:{recent}" for _ in result.lines[:1])
    assert seen >= {f"{form}:{kind}" for form in (1, 3) for kind in
                    ("vvip", "signal", "recover_window", "signal_window",
                     "search_range_close_above", "extend_bar_cross")} | {"lines:True", "lines:False"}


def long_market(count, seed=20):
    """A seeded random walk of daily bars from 1950 on."""
    rng = np.random.default_rng(seed)
    close = 100 * np.exp(np.cumsum(rng.normal(0, 0.01, count)))
    o = np.round(close * np.exp(rng.normal(0, 0.003, count)), 2)
    c = np.round(close, 2)
    h = np.maximum(o, c) + np.round(rng.uniform(0, 0.8, count), 2)
    lo = np.minimum(o, c) - np.round(rng.uniform(0, 0.8, count), 2)
    days = np.busday_offset("1950-01-02", np.arange(count), roll="forward")
    return Bars.from_arrays(days, o, h, lo, c, source=f"long({seed})")


def test_both_models_agree_on_a_long_market():
    # 7000 daily bars from 1950: dates on both sides of 1970, signals all through the history
    bars = long_market(7_000)
    wide = 120  # pivot windows: about one pivot in 35 bars
    settings = Settings(bar_count_to_snib=150, high_snib_n=wide, low_snib_n=wide,
                        high_snib_n_on_trend=wide, low_snib_n_on_trend=wide,
                        kerd_length_threshold=300)
    python = run(bars, settings, engine="python", view="live")
    native = run(bars, settings, engine="native", view="live")
    same_results(native, python)
    assert python.signals[0].bar < 1_000 and python.signals[-1].bar > 6_000


# the Python model's live view grows with the history: a shorter one keeps its case quick
@pytest.mark.parametrize("engine, count, ends", [("native", 2500, (700, 1500, 2100)),
                                                 ("python", 1200, (400, 800, 1100))])
def test_no_result_depends_on_a_later_bar(engine, count, ends):
    def first(end):
        return Bars.from_arrays(bars.dates[:end], bars.open[:end], bars.high[:end],
                                bars.low[:end], bars.close[:end])

    bars = sample_bars()
    whole = run(first(count), engine=engine, view="live")
    assert whole.signals[0].bar < 100  # signals all through the history, not only at its end
    for end in ends:
        part = run(first(end), engine=engine, view="live")
        assert part.signals == [s for s in whole.signals if s.bar < end]
        assert part.failures == [f for f in whole.failures if f.bar < end]


def test_a_view_must_be_named_right():
    with pytest.raises(ValueError, match="^view must be one of end, live, not 'future'$"):
        run(sample_bars(), view="future")


def test_the_command_line_runs_the_live_view(tmp_path, capsys):
    out = tmp_path / "live.json"
    assert main(["run", "--view", "live", "--json", str(out)]) == 0
    text = capsys.readouterr().out
    assert "native model, live view\n" in text and "live view: each signal" in text
    written = json.loads(out.read_text())
    reference = run(sample_bars(), view="live")
    assert written["view"] == "live"
    assert [s["bar"] for s in written["signals"]] == [s.bar for s in reference.signals]


def test_the_scan_runs_the_live_view(tmp_path, capsys):
    universe = synthetic_universe(3, bars=500, seed=4)
    table = scan(universe, jobs=2, view="live")
    assert table.view == "live"
    for row in table.rows:
        expected = result_row(row.symbol, run(universe[row.symbol], view="live"), 0.0)
        assert row.__class__(**{**vars(expected), "seconds": row.seconds}) == row
        assert row.signals > 5
    folder = tmp_path / "prices"
    folder.mkdir()
    for symbol, bars in universe.items():
        rows = zip(bars.dates, bars.open, bars.high, bars.low, bars.close)
        (folder / f"{symbol}.csv").write_text(
            "Date,Open,High,Low,Close\n" + "".join(",".join(map(str, r)) + "\n" for r in rows))
    assert main(["scan", str(folder), "--view", "live", "--jobs", "1"]) == 0
    assert "3 ran, 0 failed; live view" in capsys.readouterr().out
