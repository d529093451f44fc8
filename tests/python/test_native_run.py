"""kit.run on the native model gives exactly what the Python-model loop gives: lines with all
their attributes, signals, failures and pivots, over random markets, both check forms, both
draw modes, and the embedded bars; and "auto" picks the native model only when nothing of a
host's own takes part."""

import json
import random
import types

import numpy as np
import pytest

from torvex.kit import Bars, Settings, run, sample_bars
from torvex.kit import driver, host


def random_bars(seed, count):
    """A walk on a coarse price grid, so that closes and lows often meet a level exactly."""
    rng = random.Random(seed)
    grid = rng.choice([0.25, 0.5, 0.01])
    price, rows = 50.0, []
    for _ in range(count):
        o = price + rng.choice([-1, 0, 0, 1]) * grid
        c = min(max(price + rng.randint(-4, 4) * grid, 30.0), 70.0)
        rows.append((o, max(o, c) + rng.randint(0, 3) * grid, min(o, c) - rng.randint(0, 3) * grid,
                     c))
        price = c
    days = np.busday_offset("2010-01-04", np.arange(count), roll="forward")
    o, h, lo, c = (np.round(np.array(column), 2) for column in zip(*rows))
    return Bars.from_arrays(days, o, h, lo, c, source=f"random({seed})")


def random_settings(seed, count, draw_from_recent, check_form):
    rng = random.Random(seed)
    return Settings(
        draw_from_recent=draw_from_recent, check_form=check_form,
        bar_count_to_snib=rng.choice([count // 3, count]),
        high_snib_n=rng.choice([2, 3, 5]), high_snib_m=rng.choice([1, 2, 3]),
        low_snib_n=rng.choice([2, 3, 5]), low_snib_m=rng.choice([1, 2, 3]),
        only_body_cross=rng.random() < 0.5, allow_reuse_snib=rng.random() < 0.5,
        kerd_extend_bar_cross_threshold=rng.choice([1, 3, 2.5]),
        kerd_length_threshold=rng.choice([40, 150]), mintick=rng.choice([0.01, 0.25]),
        search_range=rng.choice([0, 3, 10]), trap_recover_window_threshold=rng.choice([3, 5]),
        signal_window=rng.choice([0, 5, 10]), vvip_kerd_min_snib_count=rng.choice([1, 2, 3]),
        bar_count_close_above_kerd_threshold=rng.choice([0, 2, 5]),
        trend_ma_length=rng.choice([10, 50]))


def same_results(native, python):
    assert (native.engine, python.engine) == ("native", "python")
    # repr compares floats exactly
    for name in ("lines", "signals", "failures", "pivots"):
        assert repr(getattr(native, name)) == repr(getattr(python, name)), name


CASES = [(seed, recent, form) for seed in range(8) for recent in (True, False) for form in (3, 1)]


@pytest.mark.parametrize("view", ["end", "live"])
@pytest.mark.parametrize("seed, draw_from_recent, check_form", CASES)
def test_native_model_equals_the_python_loop_on_random_markets(seed, draw_from_recent, check_form,
                                                               view):
    count = random.Random(seed).randrange(250, 450)
    bars = random_bars(seed, count)
    settings = random_settings(seed, count, draw_from_recent, check_form)
    # the Python loop first: the native run makes the dates it needs ahead on the shared bars
    python = run(bars, settings, engine="python", view=view)
    native = run(bars, settings, engine="native", view=view)
    same_results(native, python)
    assert (native.view, python.view) == (view, view)


@pytest.mark.parametrize("changes", [{}, {"check_form": 1}, {"bar_count_to_snib": 1000},
                                     {"draw_from_recent": False, "bar_count_to_snib": 100}])
def test_native_model_equals_the_python_loop_on_the_embedded_bars(changes):
    bars = sample_bars()
    if not changes.get("draw_from_recent", True):
        bars = Bars.from_arrays(bars.dates[-600:], bars.open[-600:], bars.high[-600:],
                                bars.low[-600:], bars.close[-600:])
    settings = Settings(**changes)
    python = run(bars, settings, engine="python")
    native = run(bars, settings, engine="native")
    same_results(native, python)
    assert native.lines and native.signals and native.failures and native.pivots


def test_the_random_cases_reach_every_kind_of_outcome():
    seen = set()
    for seed, recent, form in CASES:
        count = random.Random(seed).randrange(250, 450)
        result = run(random_bars(seed, count), random_settings(seed, count, recent, form))
        seen.update(f"{form}:{reason}" for f in result.failures for reason in f.reasons)
        seen.update(f"{form}:{'vvip' if s.vvip else 'signal'}" for s in result.signals)
        seen.update(f"lines:{recent}" for _ in result.lines[:1])
    assert seen >= {f"{form}:{kind}" for form in (1, 3) for kind in
                    ("vvip", "signal", "recover_window", "signal_window",
                     "search_range_close_above", "extend_bar_cross")} | {"lines:True", "lines:False"}


def test_without_draw_from_recent_the_kit_builds_lines_from_all_pivots():
    bars = sample_bars()
    recent = run(bars, Settings(bar_count_to_snib=200), engine="python")
    every = run(bars, Settings(draw_from_recent=False, bar_count_to_snib=200), engine="python")
    assert min(line.start_bar for line in recent.lines) >= len(bars) - 220  # pivots lie m back
    assert min(line.start_bar for line in every.lines) < len(bars) // 2
    assert len(every.pivots) > len(recent.pivots)


class OwnSettings(Settings):
    __slots__ = ()


def test_auto_takes_the_native_model_only_with_nothing_of_the_hosts_own(monkeypatch):
    bars = sample_bars()
    assert run(bars).engine == "native"
    assert run(bars, OwnSettings()).engine == "python"

    class BaseIndicator:  # a project's own base class, defined outside the stand-ins
        def __init__(self, *values):
            pass

    monkeypatch.setattr(host, "engine_module", lambda: types.SimpleNamespace(
        BaseIndicator=BaseIndicator))
    assert not host.runs_on_stand_ins()
    monkeypatch.setattr(driver, "runs_on_stand_ins", host.runs_on_stand_ins)
    assert run(bars, engine="auto").engine == "python"
    with pytest.raises(ValueError, match="engine must be one of auto, native, python"):
        run(bars, engine="fast")


@pytest.mark.parametrize("engine", ["native", "python"])
def test_the_command_line_picks_the_model_and_writes_first_form_failures(tmp_path, capsys, engine):
    from torvex.cli import main

    out = tmp_path / "result.json"
    assert main(["run", "--engine", engine, "--set", "check_form=1", "--json", str(out)]) == 0
    assert f"bars/s on the {engine} model" in capsys.readouterr().out
    failures = json.loads(out.read_text())["failures"]
    assert failures and all(f["level"] is None and f["break_bar"] == -1 for f in failures)


def test_progress_is_reported_once_by_the_native_model():
    calls = []
    run(sample_bars(), progress=lambda done, total: calls.append((done, total)), engine="native")
    assert calls == [(2500, 2500)]


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("fails", [False, True])
def test_the_batch_calls_leave_the_collector_as_they_found_it(enabled, fails):
    import gc

    from torvex import native
    from torvex.kit import host_inputs

    bars, settings = sample_bars(), Settings()
    inputs = host_inputs(bars.high, bars.low, bars.close, settings)
    market = {name: np.asarray(getattr(inputs if hasattr(inputs, name) else bars, name),
                               dtype=float).tolist() for name in native.MARKET_COLUMNS}
    thresholds = types.SimpleNamespace() if fails else settings
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        for call in (native.run_window_loop, native.run_history):
            if fails:
                with pytest.raises(AttributeError):
                    call(market, settings, 0.01, inputs.close_avg_percent.tolist(), thresholds)
            else:
                call(market, settings, 0.01, inputs.close_avg_percent.tolist(), thresholds)
            assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()


@pytest.mark.parametrize("form", [1, 3])
def test_the_window_loop_leaves_only_what_can_hold_a_cycle_to_the_collector(form):
    import gc

    from torvex import native
    from torvex.kit import host_inputs

    bars, settings = sample_bars(), Settings()
    inputs = host_inputs(bars.high, bars.low, bars.close, settings)
    market = {name: np.asarray(getattr(inputs if hasattr(inputs, name) else bars, name),
                               dtype=float).tolist() for name in native.MARKET_COLUMNS}
    steps, _ = native.run_window_loop(market, settings, 0.01, inputs.close_avg_percent.tolist(),
                                      settings, form, all_bars=True)
    seen = {"tuple": 0, "list": 0}

    def walk(value):
        if isinstance(value, tuple):
            seen["tuple"] += 1
            # A tuple holding a list may join a cycle through it; any other holds only values.
            assert gc.is_tracked(value) == any(isinstance(item, list) for item in value)
            for item in value:
                walk(item)
        elif isinstance(value, list):
            seen["list"] += 1
            assert gc.is_tracked(value)
            for item in value:
                walk(item)

    walk(steps)
    assert seen["list"] > len(steps) and seen["tuple"] > 2 * len(steps)
