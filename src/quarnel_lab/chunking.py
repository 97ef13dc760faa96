"""Cutting a sweep's trials into chunks, one engine call each, run here or elsewhere, with a progress bar.

Results do not depend on the cut: every trial draws from its own stream, fixed by the sweep's
key and the trial's index. A :class:`Chunk` holds plain values only, so that any process can run
it with :func:`run_chunk`: this one, a process pool's or a cluster's (see :mod:`quarnel_lab.remote`).
Run here without a fixed ``chunk``, the calls grow from two trials per worker (a first sign of
life even when trials are slow) until each takes about TARGET_SECONDS: long enough that the cost
of a call (a few tens of microseconds) stays far below 1 %, short enough for a bar that moves
several times a second.
Ctrl-C needs nothing here: every engine call stops within 200 ms with KeyboardInterrupt.
"""
from __future__ import annotations

import hashlib
import importlib.util
import json
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterable, List, NamedTuple, Optional, Protocol, Sequence, Tuple

import numpy as np

from quarnel_lab import equilibria, native
from quarnel_lab.native import COLUMN_TYPES, Columns, DynamicsError, FloatArray

TARGET_SECONDS = 0.2
FIRST_TRIALS_PER_WORKER = 2
LARGEST_GROWTH = 8
LARGEST_CHUNK = 1 << 16  # bounds the arrays one call hands back
GAMES_AT_ONCE = 1 << 10  # games solved together for their equilibria


class Segment(NamedTuple):
    """Trials [first, first + length), whose perturbations all have magnitudes in `band`."""

    first: int
    length: int
    band: Tuple[float, float]


def column_types(*, tolerances: Sequence[float] = (), equilibrium: bool = False) -> Dict[str, type]:
    """The columns of a sweep with these tolerances, run with (or without) equilibria, in order, with their types:
    the engine's, one int64 column of hitting times per tolerance (in the order given), the equilibria's."""
    return {**COLUMN_TYPES, **{native.tolerance_column(tol): np.int64 for tol in tolerances},
            **(equilibria.COLUMN_TYPES if equilibrium else {})}


def solved(first: int, count: int, shape: Tuple[int, ...]) -> range:
    """The trials whose games are solved with those of trials [first, first + count): their whole groups."""
    size = equilibria.group_size(shape)
    return range(first // size * size, -(-(first + count) // size) * size)


def trial_games(matrices: FloatArray, key: Optional[bytes], first: int, count: int, band: Tuple[float, float],
                normalize: bool) -> FloatArray:
    """The games that trials [first, first + count) run, as in a :class:`Chunk` of these values."""
    if key is None:
        if not normalize:
            return matrices
        # The engine's min-max rescaling, operation for operation.
        low, high = matrices.min(axis=(-2, -1), keepdims=True), matrices.max(axis=(-2, -1), keepdims=True)
        rescaled: FloatArray = (matrices - low) / (high - low)
        return rescaled
    drawn: FloatArray = native.perturbations(key, first, count, matrices.shape, *band) + matrices
    return drawn


@dataclass(frozen=True)
class Dynamics:
    """How every trial of a sweep is run."""

    rule: str
    eta: float
    steps: int
    cutoff: float
    workers: int  # of the pool of the process that runs a chunk; 0: all of them
    x0: Optional[Tuple[float, ...]] = None  # where every trial starts; None: uniform
    y0: Optional[Tuple[float, ...]] = None
    tolerances: Tuple[float, ...] = ()  # a column of hitting times for each
    equilibrium: bool = False  # solve every trial's game too

    @property
    def column_types(self) -> Dict[str, type]:
        """The columns every trial gets, in order, with their types."""
        return column_types(tolerances=self.tolerances, equilibrium=self.equilibrium)

    @property
    def start(self) -> Optional[native.Start]:
        if self.x0 is None or self.y0 is None:
            return None
        return native.Start(np.array(self.x0, dtype=np.float64), np.array(self.y0, dtype=np.float64))


@dataclass(frozen=True)
class Chunk:
    """Trials [first, first + count) of a sweep, in plain values: one engine call that any process can run.

    With a `key`, trial i adds to the base game `matrices` the perturbation drawn under the key
    for index i, magnitudes in `band`; without one, `matrices` is this chunk's part of a stack
    (and `groups`, for equilibria, the part that holds the whole groups its trials are in).
    """

    dynamics: Dynamics
    first: int
    count: int
    matrices: FloatArray
    key: Optional[bytes]
    band: Tuple[float, float]
    normalize: bool

    groups: Optional[FloatArray] = None  # trials solved(first, count, shape) of the stack

    def equilibria(self, last_x: FloatArray, last_y: FloatArray) -> Columns:
        """The equilibrium columns of the chunk's trials, which ended at `last_x` and `last_y`.

        Each trial's game is solved with the others of its group (trials [k * size, (k + 1) * size)
        of the sweep, for the group size of the game's shape), also where the group reaches beyond
        the chunk, so that the results do not depend on the cut. The games are made and solved
        about GAMES_AT_ONCE at a time (whole groups), so that few are held at once.
        """
        first, end = self.first, self.first + self.count
        groups = solved(first, self.count, self.matrices.shape[-2:])
        size = equilibria.group_size(self.matrices.shape[-2:])
        step = max(GAMES_AT_ONCE // size, 1) * size
        parts = []
        for begin in range(groups.start, groups.stop, step):
            stop = min(begin + step, groups.stop)
            if self.groups is None:
                games = trial_games(self.matrices, self.key, begin, stop - begin, self.band, False)
            else:
                games = trial_games(self.groups[begin - groups.start:stop - groups.start], None, begin, stop - begin,
                                    self.band, self.normalize)
            solutions = equilibria.solve(games)
            low, high = max(first, begin), min(end, stop)  # the chunk's trials among these
            kept = equilibria.Solutions(*(part[low - begin:high - begin] for part in solutions))
            parts.append(equilibria.columns(kept, last_x[low - first:high - first], last_y[low - first:high - first]))
        return {name: np.concatenate([part[name] for part in parts]) for name in equilibria.COLUMN_TYPES}


class MadeBy(NamedTuple):
    """What computed a result: the package version and the build of the extension, which decide its bits."""

    version: str
    build: str

    def __str__(self) -> str:
        return f"quarnel_lab {self.version} (native build {self.build})"


def made_by() -> MadeBy:
    """This process's package version and extension build, as they are now."""
    import quarnel_lab

    return MadeBy(str(quarnel_lab.__version__), native.build())


class Finished(NamedTuple):
    """A chunk's columns, the seconds its engine call took, and what computed it."""

    columns: Columns
    seconds: float
    made_by: MadeBy


class MixedVersionsError(RuntimeError):
    """A chunk was computed by another version or build than the sweep's own."""


def run_chunk(chunk: Chunk) -> Finished:
    """Run a chunk on this process's pool; returns its columns, the seconds it took and what computed it."""
    dynamics = chunk.dynamics
    stamp = made_by()
    started = time.perf_counter()
    try:
        start = dynamics.start
        optimizer = native.learner(dynamics.rule, dynamics.eta, chunk.matrices.shape[-2:], start)
        if chunk.key is None:
            columns = native.run_stack(chunk.matrices, optimizer, dynamics.steps, chunk.normalize, dynamics.cutoff,
                                       dynamics.workers, start, tolerances=dynamics.tolerances,
                                       last=dynamics.equilibrium)
        else:
            low, high = chunk.band
            columns = native.sweep(chunk.matrices, optimizer, chunk.key, chunk.first, chunk.count, dynamics.steps,
                                   low, high, dynamics.cutoff, dynamics.workers, start, tolerances=dynamics.tolerances,
                                   last=dynamics.equilibrium)
        if dynamics.equilibrium:
            last_x, last_y = (columns.pop(name) for name in native.LAST_ROWS)
            columns.update(chunk.equilibria(last_x, last_y))
        return Finished(columns, time.perf_counter() - started, stamp)
    except DynamicsError as failure:
        message = failure.message
    raise DynamicsError(message, range(chunk.first, chunk.first + chunk.count))  # outside the handler: no chain


@dataclass(frozen=True)
class Plan:
    """A whole sweep: what its chunks share, its segments, and the configuration it records."""

    dynamics: Dynamics
    matrices: FloatArray  # the base game, or (without a key) the whole stack
    key: Optional[bytes]
    normalize: bool
    segments: Tuple[Segment, ...]
    config: Dict[str, Any]
    made_by: MadeBy = field(default_factory=made_by)

    @property
    def total(self) -> int:
        return sum(segment.length for segment in self.segments)

    def chunk(self, first: int, count: int, band: Tuple[float, float]) -> Chunk:
        if self.key is not None:
            return Chunk(self.dynamics, first, count, self.matrices, self.key, band, self.normalize)
        groups = solved(first, count, self.matrices.shape[-2:])
        return Chunk(self.dynamics, first, count, self.matrices[first:first + count], None, band, self.normalize,
                     self.matrices[groups.start:groups.stop] if self.dynamics.equilibrium else None)

    def identity(self) -> str:
        """A digest of everything that decides the results: the same for the same sweep, and only for it."""
        digest = hashlib.sha256(json.dumps(self.config, sort_keys=True).encode())
        # The games are not in the configuration: the base game, or the whole stack.
        digest.update(repr(self.matrices.shape).encode())
        digest.update(self.matrices.tobytes())
        digest.update(self.made_by.build.encode())
        return digest.hexdigest()

    def accept(self, chunk: Chunk, finished: Finished) -> Columns:
        """The columns of a finished chunk, once they are known to be this sweep's own.

        Raises
        ------
        MixedVersionsError
            If another version or build of quarnel computed them.
        """
        trials = f"trials [{chunk.first}, {chunk.first + chunk.count})"
        if not isinstance(finished, tuple) or len(finished) != len(Finished._fields):
            raise MixedVersionsError(f"{trials} came back from another version of quarnel_lab, one that does not "
                                     f"say which; this sweep runs {self.made_by}: install the same quarnel everywhere "
                                     "the sweep runs")
        if tuple(finished.made_by) != tuple(self.made_by):
            raise MixedVersionsError(f"{trials} were computed by {MadeBy(*finished.made_by)}, but this sweep runs "
                                     f"{self.made_by}: install the same quarnel everywhere the sweep runs")
        columns = finished.columns
        wanted = self.dynamics.column_types
        if set(columns) != set(wanted) or any(len(column) != chunk.count for column in columns.values()):
            raise MixedVersionsError(f"{trials} came back with other columns or lengths: "
                                     "install the same quarnel everywhere the sweep runs")
        return columns


# Puts a finished chunk's columns, starting at trial `first`, in their rows.
Place = Callable[[int, Columns], None]


class Runner(Protocol):
    """Runs the chunks of pending segments elsewhere, handing each finished one to `place`."""

    def run(self, plan: Plan, pending: List[Segment], chunk: Optional[int], place: Place) -> None: ...


class Store(Protocol):
    """Where finished chunks are kept, to be skipped when the sweep runs again."""

    def restore(self, columns: Columns) -> List[range]: ...

    def save(self, first: int, part: Columns) -> None: ...


class ChunkSizer:
    """The size of the next engine call: fixed, or adapted to the measured speed.

    Adapted sizes are whole multiples of `together` trials per worker (the trials a worker steps
    together in vector lanes), so that no call leaves lanes empty while others wait.
    """

    def __init__(self, fixed: Optional[int], workers: int, together: int = 1) -> None:
        self.fixed = fixed
        self.unit = workers * together
        self.size = fixed or self._whole(FIRST_TRIALS_PER_WORKER * workers)

    def _whole(self, size: int) -> int:
        """`size` rounded up to whole units, at most LARGEST_CHUNK (in whole units where one fits)."""
        size = -(-max(1, size) // self.unit) * self.unit
        return size if size <= LARGEST_CHUNK else max(LARGEST_CHUNK // self.unit * self.unit, 1)

    def observe(self, count: int, seconds: float) -> None:
        """Record that `count` trials took `seconds`."""
        if self.fixed is None:
            wanted = int(count * TARGET_SECONDS / max(seconds, 1e-6))
            self.size = self._whole(min(wanted, count * LARGEST_GROWTH))


def uncovered(segments: Sequence[Segment], done: Iterable[range]) -> List[Segment]:
    """The parts of `segments` that no range of `done` covers."""
    ranges = sorted(done, key=lambda trials: trials.start)
    pending = []
    for first, count, band in segments:
        start, end = first, first + count
        for trials in ranges:
            if trials.start < end and trials.stop > start:
                if trials.start > start:
                    pending.append(Segment(start, trials.start - start, band))
                start = max(start, trials.stop)
        if start < end:
            pending.append(Segment(start, end - start, band))
    return pending


def _run_here(plan: Plan, pending: List[Segment], chunk: Optional[int], place: Place) -> None:
    dynamics = plan.dynamics
    together = native.trials_together(plan.matrices.shape[-2:], dynamics.rule, dynamics.eta, dynamics.steps,
                                      dynamics.cutoff)
    sizer = ChunkSizer(chunk, dynamics.workers or native.pool_workers(), together)
    for first, count, band in pending:
        end = first + count
        while first < end:
            size = min(sizer.size, end - first)
            part = plan.chunk(first, size, band)
            finished = run_chunk(part)
            sizer.observe(size, finished.seconds)
            place(first, plan.accept(part, finished))
            first += size


def _in_notebook() -> bool:
    return "ipykernel" in sys.modules


def _progress_bar(progress: Optional[bool], **options: Any) -> Any:
    """tqdm's widget bar in Jupyter where ipywidgets can draw it, else its text bar (never the
    warning tqdm gives for a notebook without ipywidgets). progress=None: a bar when stderr is a
    terminal, and always in Jupyter."""
    if _in_notebook() and importlib.util.find_spec("ipywidgets") is not None:
        from tqdm.auto import tqdm as bar
    else:
        from tqdm.std import tqdm as bar
    shown = (_in_notebook() or None) if progress is None else progress
    return bar(disable=None if shown is None else not shown, **options)


def gather(plan: Plan, *, chunk: Optional[int], progress: Optional[bool], label: str,
           runner: Optional[Runner] = None, store: Optional[Store] = None) -> Columns:
    """Run every trial of the plan not already in `store`, here or with `runner`; trial i lands in row i.

    The trials of the plan's segments must together be 0, 1, ..., total - 1. No chunk straddles
    two segments.
    """
    columns: Columns = {name: np.empty(plan.total, dtype=dtype) for name, dtype in plan.dynamics.column_types.items()}
    pending = uncovered(plan.segments, store.restore(columns) if store else [])
    left = sum(segment.length for segment in pending)
    with _progress_bar(progress, total=plan.total, initial=plan.total - left, desc=label, unit="trial") as bar:

        def place(first: int, part: Columns) -> None:
            for name, column in columns.items():
                column[first:first + len(part[name])] = part[name]
            if store:
                store.save(first, part)
            bar.update(len(part["steps"]))

        (runner.run if runner else _run_here)(plan, pending, chunk, place)
    return columns
