"""The embedded data's lines, signals and failures, exactly as pinned in golden/sample_runs.json
(see golden_runs.py, which alone rewrites it), on both object models."""

import pytest

import golden_runs


@pytest.fixture(scope="module")
def pinned():
    return golden_runs.load()


@pytest.mark.parametrize("engine", ["python", "native"])
@pytest.mark.parametrize("case", sorted(golden_runs.CASES))
def test_the_embedded_data_gives_the_pinned_results(pinned, case, engine):
    got = golden_runs.results(case, engine)
    assert set(pinned) == set(golden_runs.CASES)
    # Compared as written: one record per text line, so a difference shows as a short diff.
    for part in ("lines", "signals", "failures"):
        assert golden_runs.dumps(got[part]).splitlines() == \
            golden_runs.dumps(pinned[case][part]).splitlines(), (case, part)
