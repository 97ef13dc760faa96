"""The three sweeps: check every argument, then run the trials chunk by chunk."""
from __future__ import annotations

import concurrent.futures
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from quarnel_lab import chunking, native, remote, seeding, validation
from quarnel_lab.checkpoint import Checkpoint, recorded_seed
from quarnel_lab.native import FloatArray
from quarnel_lab.files import PathLike
from quarnel_lab.results import Config, Sweep, new_config, slice_boundaries


@dataclass(frozen=True)
class _Settings:
    """The checked arguments every sweep shares."""

    dynamics: chunking.Dynamics
    chunk: Optional[int]
    progress: Optional[bool]
    executor: Optional[concurrent.futures.Executor]
    client: Any  # None, a dask.distributed.Client or a scheduler address
    retries: int
    checkpoint: Optional[str]

    def gather(self, base: FloatArray, key: Optional[bytes], segments: List[chunking.Segment], config: Config,
               normalize: bool = False) -> native.Columns:
        """Run the trials of `segments` chunk by chunk, here or where `executor` or `client` says."""
        plan = chunking.Plan(self.dynamics, base, key, normalize, tuple(segments), config)
        store = None if self.checkpoint is None else Checkpoint(self.checkpoint, plan)
        with remote.tasks(self.executor, self.client, self.retries, plan) as runner:
            return chunking.gather(plan, chunk=self.chunk, progress=self.progress, label=config["kind"],
                                   runner=runner, store=store)

    def seed(self, seed: seeding.SeedLike) -> int:
        """The seed to record: `seed`'s, else the one a checkpoint was made with, else a fresh one."""
        if seed is None and self.checkpoint is not None:
            seed = recorded_seed(self.checkpoint)
        return seeding.recorded_seed(seed)

    def recorded(self) -> Dict[str, Any]:
        """The part of the configuration that decides the results."""
        dynamics = self.dynamics
        recorded = {"rule": dynamics.rule, "eta": dynamics.eta, "steps": dynamics.steps, "cutoff": dynamics.cutoff,
                    "tolerances": list(dynamics.tolerances), "equilibrium": dynamics.equilibrium}
        if dynamics.x0 is not None:  # recorded only when given: a uniform start's configuration is as before
            recorded.update(x0=list(dynamics.x0), y0=list(dynamics.y0 or ()))
        return recorded


def _settings(rule: object, eta: object, steps: object, cutoff: object, workers: object, chunk: object,
              progress: object, executor: object, client: object, retries: object, checkpoint: object,
              shape: Tuple[int, ...], x0: object, y0: object, tolerances: object, equilibrium: object) -> _Settings:
    chosen_rule = validation.rule(rule)
    start = validation.start(x0, y0, shape, chosen_rule)
    dynamics = chunking.Dynamics(rule=chosen_rule, eta=validation.step_size(eta),
                                 steps=validation.count(steps, "steps", minimum=1), cutoff=validation.cutoff(cutoff),
                                 workers=validation.optional_count(workers, "workers") or 0,
                                 x0=None if start is None else tuple(start.x.tolist()),
                                 y0=None if start is None else tuple(start.y.tolist()),
                                 tolerances=validation.tolerances(tolerances),
                                 equilibrium=validation.flag(equilibrium, "equilibrium"))
    settings = _Settings(dynamics, chunk=validation.optional_count(chunk, "chunk"),
                         progress=validation.progress(progress), executor=validation.executor(executor),
                         client=validation.client(client), retries=validation.count(retries, "retries"),
                         checkpoint=validation.directory(checkpoint, "checkpoint"))
    if settings.executor is not None and settings.client is not None:
        raise ValueError("pass executor= or client=, not both")
    if settings.retries and settings.client is None:
        raise ValueError("retries= is for sweeps on a Dask cluster: pass client= too")
    return settings


def scattered(game: Any, rule: str, *, eta: float, steps: int, trials: int, inner: float, outer: float,
              norm: str = "max", cutoff: float = 0.1, seed: seeding.SeedLike = None, x0: Any = None, y0: Any = None,
              workers: Optional[int] = None,
              chunk: Optional[int] = None, progress: Optional[bool] = None,
              executor: Optional[concurrent.futures.Executor] = None, client: Any = None, retries: int = 0,
              checkpoint: Optional[PathLike] = None, tolerances: Sequence[float] = (),
              equilibrium: bool = False) -> Sweep:
    """Run `trials` random perturbations of `game`, every entry's magnitude in [inner, outer).

    Trial i adds to `game` a perturbation drawn from a stream fixed by the seed and i alone,
    runs the learning rule from the start (uniform unless `x0`, `y0` say) with a fresh optimizer, and records the three
    norms of the perturbation and the run's metrics. The same seed gives the same results, bit
    for bit, whatever `workers`, `chunk`, and where the trials run.

    Parameters
    ----------
    game : array_like
        The base payoff matrix, 2-D and finite.
    rule : {"ogda", "omwuoomd", "omwuoftrl"}
        The learning rule; its dimension is the game's size for a square game, else 1.
    eta : float
        The step size.
    steps : int
        The step budget of every run.
    trials : int
        The number of perturbations.
    inner, outer : float
        The band of entry magnitudes; each entry's sign is a fair coin.
    norm : {"max", "infinity", "frobenius"}
        The norm that plots and summaries use by default; all three are recorded.
    cutoff : float
        The fraction of the gap history, from its end, that "max_last" and "var_last" look at.
    seed : int, numpy.random.SeedSequence or None
        None draws fresh entropy and records it as ``Sweep.seed``.
    x0, y0 : array_like, optional
        Where every trial's learner starts, as in :func:`quarnel_lab.run` (uniform when omitted).
    workers : int, optional
        At most this many workers of the pool (of each process that runs trials); None uses all of them.
    chunk : int, optional
        Trials per engine call; None adapts it so that each call takes about 0.2 s (elsewhere:
        several chunks per worker, at least 8, each at most about 2 s).
    progress : bool, optional
        Show a progress bar; None shows one when stderr is a terminal or in Jupyter.
    executor : concurrent.futures.Executor, optional
        Run the chunks there (a process pool, ``client.get_executor()``, an MPI pool), one task each.
    client : dask.distributed.Client or str, optional
        Run the chunks on this Dask cluster (or the one whose scheduler has this address), one
        task each, with keys fixed by the sweep and the chunk. Needs ``quarnel[distributed]``.
    retries : int
        How many times Dask runs a failed task again (lost workers are handled by Dask anyway).
    checkpoint : str or os.PathLike, optional
        A directory that keeps every finished chunk: running the same sweep with it again runs
        only the rest (without a seed, the sweep takes the seed the checkpoint was made with).
        The directory of another sweep is refused; a chunk file that is damaged or not this
        sweep's is reported with a ``CheckpointWarning`` and its trials are run again.
    tolerances : sequence of float
        Gap tolerances, each in (0, 1): for each, an int column of hitting times named
        ``quarnel_lab.native.tolerance_column(tol)`` (``f"steps_below_{tol:g}"``, so 1e-6 gives
        "steps_below_1e-06"): k + 1 for the first row k whose gap is below it, else the step budget.
    equilibrium : bool
        Also solve every trial's game (a linear program, with SciPy's HiGHS, on the worker that ran
        the trial) and add the columns "value" (min over x of max over y of x @ a @ y), "support_x"
        and "support_y" (the supports' sizes of the equilibrium found: entries above 1e-9),
        "min_prob" (its smallest such entry over both players) and "dist" (the L1 distance from the
        last strategies run, x and y added, to it). In a game with several equilibria, "dist" is to
        the one found.

    Returns
    -------
    Sweep

    Raises
    ------
    ValueError, TypeError
        For a wrong argument (such as a step size that is not positive and finite, or no trials),
        before anything runs.
    DynamicsError
        If a run fails inside the dynamics (for example when the payoffs overflow); it names
        the failing chunk's trials.
    MixedVersionsError
        If a worker runs another version or build of quarnel than this process (a RuntimeError).
    """
    base = validation.game(game)
    settings = _settings(rule, eta, steps, cutoff, workers, chunk, progress, executor, client, retries, checkpoint,
                         base.shape, x0, y0, tolerances, equilibrium)
    count = validation.count(trials, "trials", minimum=1)
    low, high = validation.radii(inner, outer)
    config = new_config("scattered", **settings.recorded(), trials=count, inner=low, outer=high,
                        norm=validation.norm(norm), seed=settings.seed(seed))
    segment = chunking.Segment(0, count, (low, high))
    columns = settings.gather(base, seeding.sweep_key(config["seed"]), [segment], config)
    return Sweep(columns, config, game=base)


def concentric(game: Any, rule: str, *, eta: float, steps: int, trials: int, inner: float, outer: float,
               slices: int, cutoff: float = 0.1, seed: seeding.SeedLike = None, x0: Any = None, y0: Any = None,
               workers: Optional[int] = None,
               chunk: Optional[int] = None, progress: Optional[bool] = None,
               executor: Optional[concurrent.futures.Executor] = None, client: Any = None, retries: int = 0,
               checkpoint: Optional[PathLike] = None, tolerances: Sequence[float] = (),
               equilibrium: bool = False) -> Sweep:
    """Run `trials` random perturbations of `game` in `slices` equal bands between inner and outer.

    Every slice runs ``trials // slices`` trials (the remainder is not run); slice s holds the
    trials s * (trials // slices) + j, whose entry magnitudes lie in that slice's band
    (``Sweep.slice_boundaries``, the module's concentric exploration's boundaries). The column
    "slice" gives each trial's slice. Everything else is as in :func:`scattered`.

    Parameters
    ----------
    slices : int
        The number of bands, from 1 to `trials`.

    Other parameters, returns and raises are those of :func:`scattered` (which has `norm`).
    """
    base = validation.game(game)
    settings = _settings(rule, eta, steps, cutoff, workers, chunk, progress, executor, client, retries, checkpoint,
                         base.shape, x0, y0, tolerances, equilibrium)
    count = validation.count(trials, "trials", minimum=1)
    low, high = validation.radii(inner, outer)
    boundaries = slice_boundaries(low, high, validation.slices(slices, count))
    bands = [(float(band_low), float(band_high)) for band_low, band_high in boundaries]
    if any(band_low >= band_high for band_low, band_high in bands):
        raise ValueError(f"the band [{low}, {high}) is too narrow for {len(bands)} slices: use fewer slices")
    per_slice = count // len(bands)
    config = new_config("concentric", **settings.recorded(), trials=count, inner=low, outer=high,
                        slices=len(bands), seed=settings.seed(seed))
    segments = [chunking.Segment(index * per_slice, per_slice, band) for index, band in enumerate(bands)]
    columns = settings.gather(base, seeding.sweep_key(config["seed"]), segments, config)
    columns["slice"] = np.repeat(np.arange(len(bands), dtype=np.int64), per_slice)
    return Sweep(columns, config, game=base)


def neighborhood(matrices: Any, rule: str, *, eta: float, steps: int, normalize: bool = False, cutoff: float = 0.1,
                 x0: Any = None, y0: Any = None, workers: Optional[int] = None, chunk: Optional[int] = None, progress: Optional[bool] = None,
                 executor: Optional[concurrent.futures.Executor] = None, client: Any = None, retries: int = 0,
                 checkpoint: Optional[PathLike] = None, tolerances: Sequence[float] = (),
                 equilibrium: bool = False) -> Sweep:
    """Run the learning rule once on every matrix of a stack.

    Matrix k is run (after min-max rescaling to [0, 1] if `normalize`) from the start (uniform unless
    `x0`, `y0` say, as in :func:`scattered`)
    with a fresh optimizer; for 2 x 2 matrices this is the module's neighborhood exploration.
    The norm columns hold the norms of the matrix that was run.

    Parameters
    ----------
    matrices : array_like
        A finite 3-D stack (count x rows x columns).
    normalize : bool
        Rescale every matrix to [0, 1] before its run.

    Other parameters, returns and raises are those of :func:`scattered`.
    """
    stack = validation.stack(matrices)
    settings = _settings(rule, eta, steps, cutoff, workers, chunk, progress, executor, client, retries, checkpoint,
                         stack.shape[1:], x0, y0, tolerances, equilibrium)
    rescale = validation.flag(normalize, "normalize")
    config = new_config("neighborhood", **settings.recorded(), trials=len(stack), normalize=rescale)
    columns = settings.gather(stack, None, [chunking.Segment(0, len(stack), (0.0, 0.0))], config, rescale)
    return Sweep(columns, config, stack)
