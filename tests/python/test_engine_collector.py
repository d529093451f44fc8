"""The cyclic collector during a rebuild: no collection runs while the engine is in the middle
of making lines (before 3.12 one would run at any allocation), and host code that runs during a
rebuild finds the collector as the host left it, whose own switching of it stands."""

import gc
import random

import pytest
from accelerators import accelerated  # noqa: F401  (the skip condition's)
from settings import Settings
from test_engine_host_reads import build, random_columns

from torvex.dto.kerd import Kerd
from torvex.dto.snib import Snib

PIVOTS = 300


def engine_with_pending_pivots():
    """Pivots far apart in price, so that each makes a line of its own."""
    columns = random_columns(random.Random(7), 30)
    engine = build(columns, Settings(kerd_length_threshold=40), "package", [])
    engine.new_vip_snibs.extend(
        Snib(5, 2, 100.0 + 5 * i, 100.0, i % 30, 1000 + 60 * (i % 30), i % 2 == 0, False, 0.01)
        for i in range(PIVOTS))
    return engine


@pytest.fixture
def collector():
    """The collector's switch and threshold as they were, whatever a test leaves."""
    enabled, threshold = gc.isenabled(), gc.get_threshold()
    yield
    gc.set_threshold(*threshold)
    (gc.enable if enabled else gc.disable)()


@pytest.mark.skipif("not accelerated()", reason="the plain path holds no collector")
def test_no_collection_amid_the_lines(collector):
    engine = engine_with_pending_pivots()
    seen = []

    def note(phase, _info):
        if phase == "start":
            seen.append(len(engine.kerds))

    gc.enable()
    gc.set_threshold(10)
    gc.callbacks.append(note)
    try:
        engine.rebuild_kerd_from_most_recent_snib()
        [type("Probe", (), {}) for _ in range(5)]  # allocations: what has come due runs
    finally:
        gc.callbacks.remove(note)
    assert len(engine.kerds) == PIVOTS
    assert seen and set(seen) <= {0, PIVOTS}


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("host_disables", [False, True])
def test_host_code_finds_the_collector_as_left(collector, monkeypatch, enabled, host_disables):
    engine = engine_with_pending_pivots()
    own, found = Kerd.__init__, []

    def host_init(self, *args, **kwargs):
        found.append(gc.isenabled())
        if host_disables and len(found) == 2:
            gc.disable()
        own(self, *args, **kwargs)

    monkeypatch.setattr(Kerd, "__init__", host_init)
    (gc.enable if enabled else gc.disable)()
    engine.rebuild_kerd_from_most_recent_snib()
    after = enabled and not host_disables
    assert found[:2] == [enabled, enabled] and set(found[2:]) == {after}
    assert gc.isenabled() == after
