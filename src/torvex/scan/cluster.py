"""The distributed executor: the same per-instrument task on a Dask cluster, either a running
one (its scheduler's address) or a local one started for the scan on the loopback interface.

The workers import the package to run the task, so every worker needs it installed; bar files
are read by the workers, at the paths the client resolved."""

from __future__ import annotations

import contextlib
import logging
from typing import Callable, Iterable

from torvex.kit import Settings

from .pool import Task
from .table import ScanRow, error_row
from .work import Instrument

__all__ = ["ClusterError", "run_on_dask"]

LOOPBACK = "127.0.0.1"


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
    `local_workers` single-threaded worker processes; hand each row to `done` as it comes. An
    instrument whose workers kept dying (Dask retries it on others first) gets an error row."""
    try:
        from distributed import Client, LocalCluster, as_completed
    except ImportError:
        raise ClusterError(
            "Dask distributed is not installed (pip install 'torvex[dask]')"
        ) from None

    with contextlib.ExitStack() as stack:
        try:
            if local_workers is not None:
                cluster = stack.enter_context(
                    LocalCluster(
                        n_workers=local_workers,
                        threads_per_worker=1,
                        processes=True,
                        host=LOOPBACK,
                        scheduler_port=0,
                        dashboard_address=None,
                        silence_logs=logging.ERROR,
                    )
                )
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
        # the bars go to the workers as data of their own, not inside the task graph
        held = client.scatter(items) if any(one.bars is not None for one in items) else items
        futures = client.map(task, held, settings=settings, pure=False)
        symbols = {future.key: one.symbol for future, one in zip(futures, items)}
        for future in as_completed(futures):
            try:
                row = future.result()
            except Exception as e:  # KilledWorker when its workers kept dying, or the task's own
                row = error_row(symbols[future.key], f"{type(e).__name__}: {e}")
            done(row)
            future.release()
