"""The three sweeps: check every argument, then run the trials chunk by chunk."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy as np

from quarnel_lab import chunking, native, seeding, validation
from quarnel_lab.native import FloatArray
from quarnel_lab.results import Sweep, new_config, slice_boundaries


@dataclass(frozen=True)
class _Settings:
    """The checked arguments every sweep shares."""

    rule: str
    eta: float
    steps: int
    cutoff: float
    workers: int  # 0: the whole pool
    chunk: Optional[int]
    progress: Optional[bool]

    def gather(self, segments: List[Tuple[int, int]], work: chunking.Work, label: str) -> native.Columns:
        """Run the trials of `segments` chunk by chunk."""
        workers = self.workers or native.pool_workers()
        return chunking.gather(segments, work, chunk=self.chunk, workers=workers, progress=self.progress, label=label)

    def dynamics(self) -> Dict[str, Any]:
        """The part of the configuration that decides the results."""
        return {"rule": self.rule, "eta": self.eta, "steps": self.steps, "cutoff": self.cutoff}


def _settings(rule: object, eta: object, steps: object, cutoff: object, workers: object, chunk: object,
              progress: object) -> _Settings:
    return _Settings(rule=validation.rule(rule), eta=validation.real(eta, "eta"),
                     steps=validation.count(steps, "steps"), cutoff=validation.cutoff(cutoff),
                     workers=validation.optional_count(workers, "workers") or 0,
                     chunk=validation.optional_count(chunk, "chunk"), progress=validation.progress(progress))


def _gather_perturbed(base: FloatArray, settings: _Settings, seed: int, segments: List[Tuple[int, int]],
                      band_of: Callable[[int], Tuple[float, float]], label: str) -> native.Columns:
    """Run the perturbed trials of `segments`; `band_of(first)` is the magnitude band of a segment's trials."""
    optimizer = native.optimizer(settings.rule, settings.eta, base.shape)
    key = seeding.sweep_key(seed)

    def work(first: int, count: int) -> native.Columns:
        low, high = band_of(first)
        return native.sweep(base, optimizer, key, first, count, settings.steps, low, high, settings.cutoff,
                            settings.workers)

    return settings.gather(segments, work, label)


def scattered(game: Any, rule: str, *, eta: float, steps: int, trials: int, inner: float, outer: float,
              norm: str = "max", cutoff: float = 0.1, seed: seeding.SeedLike = None, workers: Optional[int] = None,
              chunk: Optional[int] = None, progress: Optional[bool] = None) -> Sweep:
    """Run `trials` random perturbations of `game`, every entry's magnitude in [inner, outer).

    Trial i adds to `game` a perturbation drawn from a stream fixed by the seed and i alone,
    runs the learning rule from the uniform start with a fresh optimizer, and records the three
    norms of the perturbation and the run's metrics. The same seed gives the same results, bit
    for bit, whatever `workers` and `chunk`.

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
    workers : int, optional
        At most this many workers of the pool; None uses all of them.
    chunk : int, optional
        Trials per engine call; None adapts it so that each call takes about 0.2 s.
    progress : bool, optional
        Show a progress bar; None shows one when stderr is a terminal or in Jupyter.

    Returns
    -------
    Sweep

    Raises
    ------
    ValueError, TypeError
        For a wrong argument, before anything runs.
    DynamicsError
        If a run fails inside the dynamics (for example with a NaN step size).
    """
    base = validation.game(game)
    settings = _settings(rule, eta, steps, cutoff, workers, chunk, progress)
    count = validation.count(trials, "trials")
    low, high = validation.radii(inner, outer)
    config = new_config("scattered", game=base.tolist(), **settings.dynamics(), trials=count, inner=low, outer=high,
                        norm=validation.norm(norm), seed=seeding.recorded_seed(seed))
    columns = _gather_perturbed(base, settings, config["seed"], [(0, count)], lambda first: (low, high), "scattered")
    return Sweep(columns, config)


def concentric(game: Any, rule: str, *, eta: float, steps: int, trials: int, inner: float, outer: float,
               slices: int, cutoff: float = 0.1, seed: seeding.SeedLike = None, workers: Optional[int] = None,
               chunk: Optional[int] = None, progress: Optional[bool] = None) -> Sweep:
    """Run `trials` random perturbations of `game` in `slices` equal bands between inner and outer.

    Every slice runs ``trials // slices`` trials (the remainder is not run); slice s holds the
    trials s * (trials // slices) + j, whose entry magnitudes lie in that slice's band
    (``Sweep.slice_boundaries``, the module's concentric exploration's boundaries). The column
    "slice" gives each trial's slice. Everything else is as in :func:`scattered`.

    Parameters
    ----------
    slices : int
        The number of bands, at least 1.

    Other parameters, returns and raises are those of :func:`scattered` (which has `norm`).
    """
    base = validation.game(game)
    settings = _settings(rule, eta, steps, cutoff, workers, chunk, progress)
    count = validation.count(trials, "trials")
    low, high = validation.radii(inner, outer)
    boundaries = slice_boundaries(low, high, validation.count(slices, "slices", minimum=1))
    bands = [(float(band_low), float(band_high)) for band_low, band_high in boundaries]
    if any(band_low >= band_high for band_low, band_high in bands):
        raise ValueError(f"the band [{low}, {high}) is too narrow for {len(bands)} slices: use fewer slices")
    per_slice = count // len(bands)
    config = new_config("concentric", game=base.tolist(), **settings.dynamics(), trials=count, inner=low, outer=high,
                        slices=len(bands), seed=seeding.recorded_seed(seed))
    segments = [(band * per_slice, per_slice) for band in range(len(bands))]
    columns = _gather_perturbed(base, settings, config["seed"], segments, lambda first: bands[first // per_slice],
                                "concentric")
    columns["slice"] = np.repeat(np.arange(len(bands), dtype=np.int64), per_slice)
    return Sweep(columns, config)


def neighborhood(matrices: Any, rule: str, *, eta: float, steps: int, normalize: bool = False, cutoff: float = 0.1,
                 workers: Optional[int] = None, chunk: Optional[int] = None,
                 progress: Optional[bool] = None) -> Sweep:
    """Run the learning rule once on every matrix of a stack.

    Matrix k is run (after min-max rescaling to [0, 1] if `normalize`) from the uniform start
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
    settings = _settings(rule, eta, steps, cutoff, workers, chunk, progress)
    rescale = validation.flag(normalize, "normalize")
    optimizer = native.optimizer(settings.rule, settings.eta, stack.shape[1:])

    def work(first: int, count: int) -> native.Columns:
        return native.run_stack(stack[first:first + count], optimizer, settings.steps, rescale, settings.cutoff,
                                settings.workers)

    columns = settings.gather([(0, len(stack))], work, "neighborhood")
    config = new_config("neighborhood", **settings.dynamics(), trials=len(stack), normalize=rescale)
    return Sweep(columns, config, stack)
