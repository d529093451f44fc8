"""The distributed executor: the same per-instrument task on a Dask cluster, either a running
one (its scheduler's address) or a local one started for the scan on the loopback interface.

The workers import the package to run the task, so every worker needs it installed; bar files
are read by the workers, at the paths the client resolved."""

from __future__ import annotations

import contextlib
import logging
import math
from typing import Any, Callable, Iterable

from torvex.kit import Settings

from .pool import DIED, Task
from .table import ScanRow, error_row
from .work import Instrument

__all__ = ["ClusterError", "local_cluster", "run_on_dask"]

LOOPBACK = "127.0.0.1"
CHUNK_MOST = 24  # instruments in one task


class ClusterError(RuntimeError):
    """The cluster could not be reached or started; one line for the user."""


def run_on_dask(
    instruments: Iterable[Instrument],
    task: Task,
    settings: Settings,
    done: Callable[[ScanRow], None],
    scheduler: str | None = None,
    local_workers: int | None = None,
) -> None:
    """Run `task` on every instrument on the cluster at `scheduler`, or on a local cluster of
    `local_workers` single-threaded worker processes; hand each row to `done` as it comes.
    Instruments travel in chunks; a chunk whose workers kept dying (Dask retries it on others
    first) is split into single instruments, and one that still kills them gets an error row."""
    try:
        from distributed import Client, KilledWorker, as_completed
    except ImportError:
        raise ClusterError(
            "Dask distributed is not installed (pip install 'torvex[dask]')"
        ) from None

    with contextlib.ExitStack() as stack:
        try:
            if local_workers is not None:
                cluster = stack.enter_context(local_cluster(local_workers))
                client = stack.enter_context(Client(cluster))
            else:
                client = stack.enter_context(Client(scheduler))
        except (OSError, TimeoutError, ValueError) as e:
            what = (
                "cannot start a local Dask cluster"
                if local_workers is not None
                else f"cannot reach the Dask scheduler at {scheduler}"
            )
            raise ClusterError(f"{what}: {e}") from None
        items = list(instruments)
        size = _chunk_size(len(items), len(client.scheduler_info().get("workers", {})))
        chunks = [items[i : i + size] for i in range(0, len(items), size)]
        batches = as_completed()
        members: dict[str, list[Instrument]] = {}

        def submit(chunk: list[Instrument]) -> None:
            # bars travel inside their task, which the scheduler keeps until it is done: a task
            # whose worker dies runs again elsewhere (scattered data would die with the worker)
            future = client.submit(run_chunk, task, chunk, settings, pure=False)
            members[future.key] = chunk
            batches.add(future)

        for chunk in chunks:
            submit(chunk)
        for future in batches:
            chunk = members.pop(future.key)
            try:
                rows = future.result()
            except Exception as e:  # KilledWorker when its workers kept dying, or the task's own
                if len(chunk) > 1:  # find the instrument that fails: each on its own
                    for one in chunk:
                        submit([one])
                    continue
                message = DIED if isinstance(e, KilledWorker) else f"{type(e).__name__}: {e}"
                rows = [error_row(chunk[0].symbol, message)]
            finally:
                future.release()
            for row in rows:
                done(row)


def local_cluster(workers: int) -> Any:
    """A Dask cluster of `workers` single-threaded worker processes on this machine, every
    endpoint (scheduler, workers, the scheduler's HTTP routes) on a loopback port of the
    system's choosing; no dashboard."""
    from distributed import LocalCluster

    return LocalCluster(
        n_workers=workers,
        threads_per_worker=1,
        processes=True,
        host=LOOPBACK,
        scheduler_port=0,
        dashboard_address=None,
        scheduler_kwargs={"dashboard": False, "dashboard_address": f"{LOOPBACK}:0"},
        silence_logs=logging.ERROR,
    )


def run_chunk(task: Task, chunk: list[Instrument], settings: Settings) -> list[ScanRow]:
    """Several instruments in one Dask task: a task's own cost is a few milliseconds, as much
    as a whole instrument's run on the native path."""
    return [task(one, settings) for one in chunk]


def _chunk_size(count: int, workers: int) -> int:
    """Instruments per task: about eight tasks per worker, so that a slow worker's share is
    still taken up by the others near the end, and no more than a few megabytes of bars."""
    return max(1, min(CHUNK_MOST, math.ceil(count / (8 * max(workers, 1)))))
