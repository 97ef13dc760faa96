"""Cutting a sweep's trials into engine calls, with a progress bar.

Results do not depend on the cut: every trial draws from its own stream, fixed by the sweep's
key and the trial's index. Without a fixed ``chunk`` the calls grow from two trials per worker
(a first sign of life even when trials are slow) until each takes about TARGET_SECONDS: long
enough that the cost of a call (a few tens of microseconds) stays far below 1 %, short enough
for a bar that moves several times a second.
Ctrl-C needs nothing here: every engine call stops within 200 ms with KeyboardInterrupt.
"""
from __future__ import annotations

import time
from typing import Callable, Optional, Sequence, Tuple

import numpy as np
from tqdm.auto import tqdm

from quarnel_lab.native import COLUMN_TYPES, Columns

TARGET_SECONDS = 0.2
FIRST_TRIALS_PER_WORKER = 2
LARGEST_GROWTH = 8
LARGEST_CHUNK = 1 << 16  # bounds the arrays one call hands back

# Runs trials [first, first + count) and returns their columns.
Work = Callable[[int, int], Columns]


class ChunkSizer:
    """The size of the next engine call: fixed, or adapted to the measured speed."""

    def __init__(self, fixed: Optional[int], workers: int) -> None:
        self.fixed = fixed
        self.size = fixed or FIRST_TRIALS_PER_WORKER * workers

    def observe(self, count: int, seconds: float) -> None:
        """Record that `count` trials took `seconds`."""
        if self.fixed is None:
            wanted = int(count * TARGET_SECONDS / max(seconds, 1e-6))
            self.size = max(1, min(wanted, count * LARGEST_GROWTH, LARGEST_CHUNK))


def gather(segments: Sequence[Tuple[int, int]], work: Work, *, chunk: Optional[int], workers: int,
           progress: Optional[bool], label: str) -> Columns:
    """Run every segment (first trial, count) in calls of `work`, none straddling two segments.

    The trials of all segments must together be 0, 1, ..., total - 1; trial i lands in row i.
    `workers` is the number of workers a call uses.
    """
    total = sum(count for _, count in segments)
    columns: Columns = {name: np.empty(total, dtype=dtype) for name, dtype in COLUMN_TYPES.items()}
    sizer = ChunkSizer(chunk, workers)
    # disable=None: a bar when stderr is a terminal, and always in Jupyter.
    with tqdm(total=total, desc=label, unit="trial", disable=None if progress is None else not progress) as bar:
        for first, count in segments:
            end = first + count
            while first < end:
                size = min(sizer.size, end - first)
                started = time.perf_counter()
                part = work(first, size)
                sizer.observe(size, time.perf_counter() - started)
                for name, column in columns.items():
                    column[first:first + size] = part[name]
                bar.update(size)
                first += size
    return columns
