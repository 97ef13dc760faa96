"""Running a sweep's chunks on a concurrent.futures executor or a Dask cluster.

Each chunk is one task, :func:`quarnel_lab.chunking.run_chunk` of a :class:`~quarnel_lab.chunking.Chunk`,
run by one worker with its own pool. Unless ``chunk`` fixes it, a first small chunk measures the
speed of a trial; the rest is cut into at least MIN_CHUNKS chunks, CHUNKS_PER_WORKER per worker,
none longer than about CHUNK_SECONDS, so that a lost worker costs little and the bar moves.
On Dask a chunk's key is a digest of the sweep's identity and the chunk's trial range: the same
chunk of the same sweep has the same key, whoever submits it.
"""
from __future__ import annotations

import concurrent.futures
import math
import os
from contextlib import contextmanager
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Tuple

from quarnel_lab.chunking import LARGEST_CHUNK, Chunk, Place, Plan, Segment, run_chunk

PROBE_TRIALS = 16
MIN_CHUNKS = 8
CHUNKS_PER_WORKER = 4
CHUNK_SECONDS = 2.0
CONNECT_SECONDS = 10  # to reach a scheduler by its address (Dask's own default waits 30 s)


def _sizes(left: int, workers: int, seconds_per_trial: float) -> int:
    by_spread = math.ceil(left / max(MIN_CHUNKS, CHUNKS_PER_WORKER * workers))
    by_time = int(CHUNK_SECONDS / max(seconds_per_trial, 1e-9))
    return max(1, min(by_spread, by_time, LARGEST_CHUNK))


def _cut(pending: Iterable[Segment], size: int) -> Iterator[Segment]:
    for first, count, band in pending:
        for start in range(first, first + count, size):
            yield Segment(start, min(size, first + count - start), band)


class _Tasks:
    """Submits chunks somewhere and hands back their futures as they finish."""

    workers: int

    def submit(self, chunk: Chunk) -> Any:
        raise NotImplementedError

    def as_completed(self, futures: List[Any]) -> Iterable[Any]:
        raise NotImplementedError

    def cancel(self, futures: List[Any]) -> None:
        raise NotImplementedError

    def run(self, plan: Plan, pending: List[Segment], chunk: Optional[int], place: Place) -> None:
        """Run the pending segments' chunks; `place` gets each as it finishes."""
        if pending and chunk is None:
            pending, chunk = self._probe(plan, pending, place)
        if pending:
            self._complete(plan, [plan.chunk(*cut) for cut in _cut(pending, chunk or 1)], place)

    def _probe(self, plan: Plan, pending: List[Segment], place: Place) -> Tuple[List[Segment], int]:
        """Run a few trials of the first segment; returns what is left and the chunk size for it."""
        first, length, band = pending[0]
        size = min(PROBE_TRIALS, length)
        seconds = self._complete(plan, [plan.chunk(first, size, band)], place)
        rest = ([Segment(first + size, length - size, band)] if length > size else []) + pending[1:]
        return rest, _sizes(sum(segment.length for segment in rest), self.workers, seconds / size)

    def _complete(self, plan: Plan, chunks: List[Chunk], place: Place) -> float:
        """Submit the chunks and place each as it finishes; returns their engine seconds.

        A failure, or Ctrl-C, cancels the chunks not finished yet.
        """
        futures: Dict[Any, Chunk] = {}
        seconds = 0.0
        try:
            for chunk in chunks:
                futures[self.submit(chunk)] = chunk
            for future in self.as_completed(list(futures)):
                try:
                    finished = future.result()
                except concurrent.futures.CancelledError as cancelled:  # Dask's, when the scheduler is lost
                    first_line = str(cancelled).splitlines()[0] if str(cancelled) else "cancelled"
                    raise ConnectionError(f"a chunk of the sweep was dropped ({first_line}): the cluster or its "
                                          "scheduler went away; run again (with a checkpoint, only what is "
                                          "missing runs)") from None
                chunk = futures.pop(future)
                place(chunk.first, plan.accept(chunk, finished))
                seconds += finished.seconds
        except BaseException:
            self.cancel(list(futures))
            raise
        return seconds


class ExecutorTasks(_Tasks):
    def __init__(self, executor: concurrent.futures.Executor) -> None:
        self.executor = executor
        inner_client = getattr(executor, "_client", None)  # a Dask client's executor
        self.workers = (_client_workers(inner_client) if inner_client is not None
                        else getattr(executor, "_max_workers", None) or os.cpu_count() or 1)

    def submit(self, chunk: Chunk) -> Any:
        return self.executor.submit(run_chunk, chunk)

    def as_completed(self, futures: List[Any]) -> Iterable[Any]:
        return concurrent.futures.as_completed(futures)

    def cancel(self, futures: List[Any]) -> None:
        for future in futures:
            future.cancel()


class DaskTasks(_Tasks):
    def __init__(self, client: Any, retries: int, identity: str) -> None:
        import distributed

        self.client, self.retries, self.identity = client, retries, identity
        self.workers = _client_workers(client)
        self._as_completed: Callable[[List[Any]], Iterable[Any]] = distributed.as_completed

    def submit(self, chunk: Chunk) -> Any:
        key = f"quarnel-chunk-{self.identity[:32]}-{chunk.first}-{chunk.count}"
        return self.client.submit(run_chunk, chunk, key=key, retries=self.retries)

    def as_completed(self, futures: List[Any]) -> Iterable[Any]:
        return self._as_completed(futures)

    def cancel(self, futures: List[Any]) -> None:
        self.client.cancel(futures)


def _client_workers(client: Any) -> int:
    return max(1, sum(int(worker["nthreads"]) for worker in client.scheduler_info()["workers"].values()))


@contextmanager
def tasks(executor: Optional[concurrent.futures.Executor], client: Any, retries: int,
          plan: Plan) -> Iterator[Optional[_Tasks]]:
    """Where the chunks run: None for this process; a client made from an address is closed afterwards."""
    if executor is not None:
        yield ExecutorTasks(executor)
    elif isinstance(client, str):
        import distributed

        try:
            connected = distributed.Client(client, timeout=CONNECT_SECONDS)
        except OSError as error:  # refused, timed out, unknown host
            raise ConnectionError(f"cannot reach the Dask scheduler at {client} within {CONNECT_SECONDS} s "
                                  f"({error}): is it running, and is the address right?") from None
        with connected:
            yield DaskTasks(connected, retries, plan.identity())
    elif client is not None:
        yield DaskTasks(client, retries, plan.identity())
    else:
        yield None
