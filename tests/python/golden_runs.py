"""The embedded data's results, pinned: what `torvex.kit.run` gives on `sample_bars()` for a few
settings, written once to golden/sample_runs.json and compared exactly by test_golden_runs.py.

Nearly every other test compares one path of the engine with another, so a rule that all paths
share (a crossing test, a weighting, a window rule) could change unseen there; here it changes
the pinned lines, signals or failures. The file changes only by a deliberate command:

    PYTHONPATH=src python3 tests/python/golden_runs.py --write

and the commit that rewrites it says why the results changed.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import sys
from dataclasses import asdict
from typing import Any

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
GOLDEN_FILE = os.path.join(HERE, "golden", "sample_runs.json")

# The embedded data on a coarse tick: its prices rounded to half units, so that closes, opens,
# pivots and levels often coincide exactly, and what a touch does (a bar whose body or range
# only reaches a level) decides results.
COARSE_TICK = 0.5

# name -> (the bars' tick: None for the data as shipped, settings overrides, whether the results
# are pinned in full, the view). The end view with the defaults is the run a user sees first; the
# all-bars flow exercises the current-bar extension and a rebuild on every pivot; the first
# check form its own rules; the live view the data ending at every bar, with lines rebuilt and
# pruned all through the history. The all-bars flow's lines hold hundreds of pivots and its
# failures run to a thousand, as do the live view's: those cases pin each line's pivots, and the
# failures, by count and digest.
CASES: dict[str, tuple[float | None, dict[str, Any], bool, str]] = {
    "end_view": (None, {}, True, "end"),
    "end_view_all_bars": (None, {"draw_from_recent": False}, False, "end"),
    "end_view_first_check_form": (None, {"check_form": 1}, True, "end"),
    "coarse_end_view": (COARSE_TICK, {"mintick": COARSE_TICK}, True, "end"),
    "coarse_end_view_all_bars": (
        COARSE_TICK, {"mintick": COARSE_TICK, "draw_from_recent": False}, False, "end"),
    "live_view": (None, {}, False, "live"),
    "coarse_live_view": (COARSE_TICK, {"mintick": COARSE_TICK}, False, "live"),
}


def bars_of(tick: float | None) -> Any:
    from torvex import kit

    bars = kit.sample_bars()
    if tick is None:
        return bars

    def coarse(prices: Any) -> Any:
        return np.round(prices / tick) * tick

    return kit.Bars.from_arrays(list(bars.dates), coarse(bars.open), coarse(bars.high),
                                coarse(bars.low), coarse(bars.close), source="sample, coarse")


def _record(record: Any) -> dict[str, Any]:
    fields = asdict(record)
    fields.pop("date", None)
    fields.pop("start_date", None)
    fields.pop("end_date", None)
    return fields


def _digest(value: Any) -> str:
    return hashlib.sha256(json.dumps(value, sort_keys=True).encode()).hexdigest()


def results(case: str, engine: str) -> dict[str, Any]:
    """The pinned part of one case's run on `engine` ("python" or "native")."""
    from torvex import kit

    tick, overrides, in_full, view = CASES[case]
    run = kit.run(bars_of(tick), kit.Settings(**overrides), engine=engine, view=view)
    lines = [_record(line) for line in run.lines]
    failures: Any = [_record(f) for f in run.failures]
    if not in_full:
        for line in lines:
            pivots = line.pop("pivots")
            line["pivot_count"], line["pivots_sha256"] = len(pivots), _digest(pivots)[:16]
        failures = {
            "count": len(failures),
            "by_reason": run.failure_counts(),
            "sha256": _digest(failures),
        }
    return {
        "lines": lines,
        "signals": [_record(signal) for signal in run.signals],
        "failures": failures,
    }


def dumps(value: Any) -> str:
    """JSON with one record per text line, so that a changed result reads as a short diff.
    Floats are written as repr writes them, which reads back to the same float."""
    if isinstance(value, dict) and value and all(isinstance(v, (dict, list)) for v in value.values()):
        inner = ",\n".join(f"{json.dumps(k)}: {dumps(v)}" for k, v in value.items())
        return "{\n" + inner + "\n}"
    if isinstance(value, list) and value and isinstance(value[0], dict):
        return "[\n" + ",\n".join(json.dumps(v, sort_keys=True) for v in value) + "\n]"
    return json.dumps(value, sort_keys=True)


def all_results(engine: str) -> dict[str, Any]:
    return {case: results(case, engine) for case in CASES}


def load() -> dict[str, Any]:
    with open(GOLDEN_FILE, encoding="utf-8") as f:
        return json.load(f)


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--write", action="store_true", help="rewrite golden/sample_runs.json")
    args = parser.parse_args(argv)
    if not args.write:
        parser.error("the golden file is rewritten only with --write")
    sys.path.insert(0, HERE)
    import conftest  # noqa: F401  (the package and the host stand-ins on the path)

    native, python = all_results("native"), all_results("python")
    if dumps(native) != dumps(python):
        print("the two object models disagree: nothing written", file=sys.stderr)
        return 1
    with open(GOLDEN_FILE, "w", encoding="utf-8") as f:
        f.write(dumps(native) + "\n")
    print(f"wrote {GOLDEN_FILE}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
