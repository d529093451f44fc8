"""The local executor: a process pool that survives its workers dying.

At most `2 * workers` instruments are in flight at once, so when a worker dies the pool knows
which instruments it may have been running. Everything already finished is kept; the rest go on
in a fresh pool, and each instrument that was in flight is then run alone in a pool of one
worker, so that only the instrument that kills its worker gets the error.
"""

from __future__ import annotations

import multiprocessing
from collections import deque
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from typing import Callable, Iterable

from torvex.kit import Settings

from .table import ScanRow, error_row
from .work import Instrument

__all__ = ["DIED", "Task", "run_on_pool"]

Task = Callable[[Instrument, Settings], ScanRow]
DIED = "worker process died while running this instrument"


def run_on_pool(
    instruments: Iterable[Instrument],
    task: Task,
    settings: Settings,
    workers: int,
    done: Callable[[ScanRow], None],
) -> None:
    """Run `task` on every instrument, handing each row to `done` as it comes."""
    context = _context()
    waiting = deque(instruments)
    suspects: list[Instrument] = []
    while waiting:
        suspects.extend(_until_broken(waiting, task, settings, workers, context, done))
    for one in suspects:
        if _until_broken(deque([one]), task, settings, 1, context, done):
            done(error_row(one.symbol, DIED))


def _context() -> multiprocessing.context.BaseContext:
    # workers forked from a server that has imported the engine once start in milliseconds,
    # and do not inherit the threads of the caller (a progress bar's, a Dask client's)
    if "forkserver" in multiprocessing.get_all_start_methods():
        context = multiprocessing.get_context("forkserver")
        context.set_forkserver_preload(["torvex.scan.warm"])
        return context
    return multiprocessing.get_context("spawn")


def _until_broken(
    waiting: deque[Instrument],
    task: Task,
    settings: Settings,
    workers: int,
    context: multiprocessing.context.BaseContext,
    done: Callable[[ScanRow], None],
) -> list[Instrument]:
    """Run instruments from `waiting` until it is empty or a worker dies; returns those that
    were in flight when it died, without a row."""
    window = 2 * workers
    flight: dict[Future[ScanRow], Instrument] = {}
    lost: list[Instrument] = []
    broken = False
    pool = ProcessPoolExecutor(workers, mp_context=context)
    try:
        while (waiting and not broken) or flight:
            while waiting and not broken and len(flight) < window:
                one = waiting.popleft()
                try:
                    flight[pool.submit(task, one, settings)] = one
                except BrokenProcessPool:
                    waiting.appendleft(one)
                    broken = True
            if not flight:
                break
            finished, _ = wait(flight, return_when=FIRST_COMPLETED)
            for future in finished:
                one = flight.pop(future)
                try:
                    row = future.result()
                except BrokenProcessPool:
                    lost.append(one)
                    broken = True
                    continue
                except Exception as e:  # the task itself failed, or its row could not travel
                    row = error_row(one.symbol, f"{type(e).__name__}: {e}")
                done(row)
    except BaseException:
        pool.shutdown(wait=False, cancel_futures=True)
        raise
    pool.shutdown(wait=True)
    if broken and not lost:
        raise RuntimeError("the process pool broke before running anything")
    return lost
