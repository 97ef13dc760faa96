"""Grids: the same sweep over several learning rules and step sizes, with one seed."""
from __future__ import annotations

import concurrent.futures
import os
from typing import Any, Dict, Optional, Sequence, Tuple

from quarnel_lab import seeding, validation
from quarnel_lab.files import PathLike
from quarnel_lab.results import Grid, Sweep
from quarnel_lab.sweeps import concentric, scattered


def _names(values: object, name: str, check: Any) -> Tuple[Any, ...]:
    if isinstance(values, (str, bytes)) or not isinstance(values, Sequence) or not values:
        raise TypeError(f"{name} must be a non-empty list, got {values!r}")
    checked = tuple(check(value) for value in values)
    if len(set(checked)) != len(checked):
        raise ValueError(f"{name} must not repeat an entry, got {list(values)!r}")
    return checked


def grid(game: Any, rules: Sequence[str], etas: Sequence[float], *, steps: int, trials: int, inner: float,
         outer: float, slices: Optional[int] = None, seed: seeding.SeedLike = None, norm: str = "max",
         cutoff: float = 0.1, x0: Any = None, y0: Any = None, workers: Optional[int] = None,
         chunk: Optional[int] = None, progress: Optional[bool] = None,
         executor: Optional[concurrent.futures.Executor] = None, client: Any = None, retries: int = 0,
         checkpoint: Optional[PathLike] = None, tolerances: Sequence[float] = (), equilibrium: bool = False) -> Grid:
    """Run the sweep of `game` for every learning rule and step size, all with one seed.

    Cell (rule, eta) is exactly ``scattered(game, rule, eta=eta, ..., seed=grid.seed)``, or
    ``concentric(..., slices=slices)`` when `slices` is given: every cell draws the same
    perturbations (common random numbers), so cells compare trial by trial.

    Parameters
    ----------
    rules : sequence of {"ogda", "omwuoomd", "omwuoftrl"}
        The learning rules, in the order the grid keeps.
    etas : sequence of float
        The step sizes, in the order the grid keeps.
    slices : int, optional
        Run concentric sweeps in this many slices of the band; scattered ones when omitted.
    seed : int, numpy.random.SeedSequence or None
        The seed of every cell; None draws fresh entropy and records it as ``Grid.seed``.
    checkpoint : str or os.PathLike, optional
        A directory that keeps every cell's finished chunks, one subdirectory per cell.

    Other parameters are those of :func:`quarnel_lab.scattered` (`norm` for scattered cells only).

    Returns
    -------
    Grid

    Raises
    ------
    ValueError, TypeError
        For a wrong argument, before anything runs.
    DynamicsError
        If a run fails inside the dynamics.
    """
    chosen_rules = _names(rules, "rules", validation.rule)
    chosen_etas = _names(etas, "etas", validation.step_size)
    common: Dict[str, Any] = dict(steps=steps, trials=trials, inner=inner, outer=outer, cutoff=cutoff, x0=x0, y0=y0,
                                  seed=seeding.recorded_seed(seed), workers=workers, chunk=chunk, progress=progress,
                                  executor=executor, client=client, retries=retries, tolerances=tolerances,
                                  equilibrium=equilibrium)
    folder = validation.directory(checkpoint, "checkpoint")
    cells: Dict[Tuple[str, float], Sweep] = {}
    for rule in chosen_rules:
        for eta in chosen_etas:
            kept = None if folder is None else os.path.join(folder, f"{rule}-eta-{eta!r}")
            if slices is None:
                cells[(rule, eta)] = scattered(game, rule, eta=eta, norm=norm, checkpoint=kept, **common)
            else:
                cells[(rule, eta)] = concentric(game, rule, eta=eta, slices=slices, checkpoint=kept, **common)
    return Grid(cells, chosen_rules, chosen_etas, common["seed"])
