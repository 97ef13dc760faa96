"""Optimistic learning dynamics on two-player zero-sum matrix games, with a native core.

A game is a payoff matrix ``a`` (m rows, n columns). The row player's mixed strategy ``x``
(length m) minimises ``x @ a @ y``; the column player's ``y`` (length n) maximises it.
Every array argument must be a NumPy ``float64`` array of the stated number of dimensions
(any strides); lists and other dtypes raise ``TypeError`` naming the argument.

Broken invariants inside the dynamics (shape mismatches, strategies leaving the simplex,
an empty radius range) raise ``PanicException``, which derives from ``BaseException``, not
from ``Exception``: ``except Exception`` does not catch it.
"""

from typing import final

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "GameResult",
    "GameState",
    "neighborhood_exploration",
    "concentric_exploration",
    "scattered_exploration",
    "Experiment",
    "PyConcentricOutput",
    "PyScatteredOutput",
    "Ogda",
    "OmwuOftrl",
    "OmwuOomd",
    "Optimizer",
]

@final
class GameResult:
    """The record of one convergence run: both strategy histories and the gap history.

    A run stops at the first step whose duality gap is below 1e-8 and pads the histories
    after it with copies of that step's row, so every history has ``num_steps`` rows.
    Not constructible from Python (``TypeError``); returned by ``Experiment`` and
    ``neighborhood_exploration``.
    """

    @property
    def x_history(self) -> NDArray[np.float64]:
        """Row player's strategy before each step, shape (num_steps, m); a new copy on every read."""

    @property
    def y_history(self) -> NDArray[np.float64]:
        """Column player's strategy before each step, shape (num_steps, n); a new copy on every read."""

    @property
    def gaps_history(self) -> NDArray[np.float64]:
        """Duality gap of the strategies in row k of the histories, shape (num_steps,); a new copy."""

@final
class GameState:
    """A game: both players' strategies and the payoff matrix.

    Parameters
    ----------
    x : NDArray[np.float64]
        Row player's (minimising) strategy, 1-D; projected onto the probability simplex.
    y : NDArray[np.float64]
        Column player's (maximising) strategy, 1-D; projected onto the probability simplex.
    a : NDArray[np.float64]
        Payoff matrix, 2-D, copied. Sizes are checked only when the game first runs.

    Raises
    ------
    TypeError
        An argument is not a float64 array of the right number of dimensions.
    PanicException
        An empty strategy ("Issue computing theta") or a NaN in one ("NaN encountered").
    """

    def __new__(cls, x: NDArray[np.float64], y: NDArray[np.float64], a: NDArray[np.float64]) -> GameState: ...
    @property
    def a(self) -> NDArray[np.float64]:
        """The payoff matrix, shape (m, n); a new copy on every read."""

def neighborhood_exploration(
    matrices: NDArray[np.float64], optimizer: Optimizer, num_steps: int, normalize_matrix: bool | np.bool_
) -> list[GameResult]:
    """Run the optimizer on every 2 x 2 matrix of a stack, in parallel, from x = y = (0.5, 0.5).

    Parameters
    ----------
    matrices : NDArray[np.float64]
        Stack of shape (K, 2, 2); matrix k is ``matrices[k]``.
    optimizer : Optimizer
        Copied, and each run gets a clone that is not reset (it starts from the state the
        caller's optimizer holds). The object passed in never changes.
    num_steps : int
        Step budget of every run; runs stop at gap < 1e-8 and pad their histories.
    normalize_matrix : bool
        Rescale each matrix to [0, 1] first: (m - min) / (max - min); a constant matrix becomes NaN.

    Returns
    -------
    list[GameResult]
        One full run per matrix, in stack order.

    Raises
    ------
    TypeError
        ``matrices`` is not a 3-D float64 array, or ``normalize_matrix`` is not a bool.
    PanicException
        A matrix that is not 2 x 2 (shape mismatch at the first step).
    """

def concentric_exploration(
    a_delta: NDArray[np.float64],
    optimizer: Optimizer,
    num_exploration: int,
    num_steps: int,
    inner_radius: float,
    outer_radius: float,
    num_slices: int,
    metric_method: str,
    cutoff: float = 0.1,
) -> PyConcentricOutput:
    """Explore perturbations of a base matrix in ``num_slices`` equal bands, one after the other.

    The band [inner_radius, outer_radius) is cut into equal adjacent slices; each slice runs
    ``num_exploration // num_slices`` trials (the remainder is not run). A trial adds a random
    perturbation to ``a_delta`` whose every entry has a magnitude drawn uniformly in the
    slice's [low, high) and a random sign, and runs a reset optimizer clone from uniform
    strategies. The radii bound each entry's magnitude, not the norm of the perturbation.
    Not reproducible: the generators are seeded by the operating system.

    Parameters
    ----------
    a_delta : NDArray[np.float64]
        Base payoff matrix, 2-D.
    optimizer : Optimizer
        Template, copied; the object passed in never changes.
    num_exploration : int
        Total number of trials requested.
    num_steps : int
        Step budget of every run (runs stop at gap < 1e-8 and pad their histories).
    inner_radius, outer_radius : float
        Smallest and largest entry magnitude of the perturbations.
    num_slices : int
        Number of slices, at least 1.
    metric_method : str
        "max_last" (largest gap of the tail), "var_last" (population variance of the tail)
        or "total_var" (total variation of the whole gap history); case-insensitive,
        "max_last_10" and "var_last_10" are aliases.
    cutoff : float
        Fraction of the gap history, counted from its end, that "max_last" and "var_last"
        look at (0.1: the last tenth).

    Returns
    -------
    PyConcentricOutput

    Raises
    ------
    ValueError
        Unknown metric method.
    PanicException
        ``num_slices`` = 0, an empty or non-finite radius range, or a shape mismatch.
    """

def scattered_exploration(
    a_delta: NDArray[np.float64],
    optimizer: Optimizer,
    num_exploration: int,
    num_steps: int,
    inner_radius: float,
    outer_radius: float,
    norm_str: str,
    metric_method: str,
    cutoff: float = 0.1,
) -> PyScatteredOutput:
    """Explore random perturbations of a base matrix, in parallel, one metric per trial.

    A trial adds a perturbation to ``a_delta`` whose every entry has a magnitude drawn
    uniformly in [inner_radius, outer_radius) and a random sign (the radii bound each
    entry's magnitude, not the norm), runs a reset optimizer clone from uniform strategies,
    and reports the norm of the perturbation alone and the run's metric.
    Not reproducible: the generators are seeded by the operating system.

    Parameters
    ----------
    a_delta : NDArray[np.float64]
        Base payoff matrix, 2-D.
    optimizer : Optimizer
        Template, copied; the object passed in never changes.
    num_exploration : int
        Number of trials.
    num_steps : int
        Step budget of every run (runs stop at gap < 1e-8 and pad their histories).
    inner_radius, outer_radius : float
        Smallest and largest entry magnitude of the perturbations.
    norm_str : str
        "max" (largest absolute entry), "infinity" (largest absolute row sum) or
        "frobenius"; case-insensitive.
    metric_method : str
        "max_last", "var_last" or "total_var" (see ``concentric_exploration``).
    cutoff : float
        Fraction of the gap history, counted from its end, that "max_last" and "var_last"
        look at.

    Returns
    -------
    PyScatteredOutput

    Raises
    ------
    ValueError
        Unknown metric method (checked first), then unknown norm name.
    PanicException
        An empty or non-finite radius range, or a shape mismatch.
    """

@final
class Experiment:
    """A convergence run of an optimizer on a game, changing both in place.

    Parameters
    ----------
    state : GameState
        The game, shared (not copied): the run leaves it at the last step's strategies.
    optimizer : Optimizer
        Shared (not copied) and never reset: a second run continues from its state.
    num_steps : int
        Step budget; the run stops earlier at the first gap below 1e-8.

    Raises
    ------
    TypeError
        ``state`` is not a GameState or ``optimizer`` not an Optimizer.
    OverflowError
        A negative ``num_steps``.
    """

    def __new__(cls, state: GameState, optimizer: Optimizer, num_steps: int) -> Experiment: ...
    def run_experiment_until_convergence_in_place(self) -> GameResult:
        """Step until the gap falls below 1e-8 or the budget is spent; histories padded to num_steps rows.

        Raises
        ------
        PanicException
            Sizes of the game, strategies and optimizer that do not fit, or a failed simplex check.
        """

@final
class PyConcentricOutput:
    """Result of ``concentric_exploration``. Not constructible from Python."""

    @property
    def slice_boundaries(self) -> NDArray[np.float64]:
        """Shape (num_slices, 2): row i is slice i's (low, high) entry-magnitude range; the stored array."""

    @property
    def metrics(self) -> NDArray[np.float64]:
        """Shape (num_slices, num_exploration // num_slices): row i holds slice i's metrics; the stored array."""

@final
class PyScatteredOutput:
    """Result of ``scattered_exploration``. Not constructible from Python."""

    @property
    def norms(self) -> NDArray[np.float64]:
        """Norm of each trial's perturbation (without the base), shape (num_exploration,); the stored array."""

    @property
    def metrics(self) -> NDArray[np.float64]:
        """Convergence metric of each trial, same order as ``norms``; the stored array."""

@final
class Ogda:
    """A bare OGDA rule, accepted by no other callable of the module; use ``Optimizer.ogda``.

    Parameters
    ----------
    eta : float
        Step size, not validated.
    dim : int
        Number of pure strategies of each player (1 broadcasts to any game).
    """

    def __new__(cls, eta: float, dim: int) -> Ogda: ...

@final
class OmwuOftrl:
    """A bare OMWU rule (FTRL form), accepted by no other callable; use ``Optimizer.omwuoftrl``.

    Parameters
    ----------
    eta : float
        Step size, not validated.
    dim : int
        Number of pure strategies of each player.
    """

    def __new__(cls, eta: float, dim: int) -> OmwuOftrl: ...

@final
class OmwuOomd:
    """A bare OMWU rule (mirror-descent form), accepted by no other callable; use ``Optimizer.omwuoomd``.

    Parameters
    ----------
    eta : float
        Step size, not validated.
    dim : int
        Number of pure strategies of each player.
    """

    def __new__(cls, eta: float, dim: int) -> OmwuOomd: ...

@final
class Optimizer:
    """An optimistic learning rule with its state; built only through the three static methods.

    ``dim`` is the number of pure strategies of each player for a square game, or 1, which
    broadcasts to a game of any shape. ``eta`` is the step size; neither is validated.
    """

    @staticmethod
    def ogda(eta: float, dim: int) -> Optimizer:
        """Optimistic gradient descent-ascent on the simplex, from the uniform point.

        Raises
        ------
        TypeError
            ``eta`` is not a number or ``dim`` not an integer.
        OverflowError
            A negative ``dim``.
        PanicException
            ``dim`` = 0 ("Issue computing theta").
        """

    @staticmethod
    def omwuoomd(eta: float, dim: int) -> Optimizer:
        """Optimistic multiplicative weights, online-mirror-descent form, from the uniform point.

        Raises
        ------
        TypeError
            ``eta`` is not a number or ``dim`` not an integer.
        OverflowError
            A negative ``dim``.
        PanicException
            ``dim`` = 0 ("Issue computing theta").
        """

    @staticmethod
    def omwuoftrl(eta: float, dim: int) -> Optimizer:
        """Optimistic multiplicative weights, follow-the-regularized-leader form, from zero sums.

        Raises
        ------
        TypeError
            ``eta`` is not a number or ``dim`` not an integer.
        OverflowError
            A negative ``dim``.
        """
