"""How much memory a repeated workload keeps, for the leak tests."""

import gc
import sys


def allocated_after(workload, rounds):
    for _ in range(rounds):
        workload()
    gc.collect()
    return sys.getallocatedblocks()


def block_growth(workload, warm, batch):
    """The growth in allocated blocks over each of three batches of `batch` rounds, after `warm`
    rounds that fill caches, interned names and module state. Every path runs in every round, so
    a leak of one block per round grows each batch by `batch` at least; the best of three absorbs
    the test runner's own activity."""
    allocated_after(workload, warm)
    growth = []
    for _ in range(3):
        before = allocated_after(workload, 1)
        growth.append(allocated_after(workload, batch) - before)
    return growth
