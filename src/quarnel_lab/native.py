"""The bridge to the extension module: typed wrappers of the calls the package makes.

Broken invariants inside the dynamics reach Python as the module's panic type, which derives
from BaseException so that ``except Exception`` does not swallow it. Here they become
:class:`DynamicsError`, an ordinary exception carrying the same message.
"""
from __future__ import annotations

import decimal
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterator, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

import quarnel

# The private entry points are not part of the module's typed surface.
_module: Any = quarnel

FloatArray = npt.NDArray[np.float64]
Columns = Dict[str, npt.NDArray[Any]]

TOLERANCE = 1e-8
"""A run stops at the first step whose duality gap is below this."""

# What the engine reports per trial, in its order; then one hitting time per tolerance
# (chunking.column_types has every column of a sweep).
COLUMN_TYPES: Dict[str, type] = {
    "norm_max": np.float64,
    "norm_infinity": np.float64,
    "norm_frobenius": np.float64,
    "max_last": np.float64,
    "var_last": np.float64,
    "total_var": np.float64,
    "last_gap": np.float64,
    "steps": np.int64,
    "best_gap": np.float64,
    "best_step": np.int64,
    "avg_gap": np.float64,
    "rate": np.float64,
}

MEASURES = ("best_gap", "best_step", "avg_gap", "rate")
"""The columns that sweeps saved by quarnel_lab before 0.3 lack (they still load without them)."""

LAST_ROWS = ("last_x", "last_y")
"""With ``last=True``, :func:`sweep` and :func:`run_stack` also hand out each trial's last row run
of x and of y under these names: 2-D arrays, one row per trial (NaN for a trial that ran no step)."""


def tolerance_column(tol: float) -> str:
    """The name of the column of hitting times of tolerance `tol`: ``tolerance_column(1e-6) == "steps_below_1e-06"``."""
    return f"steps_below_{tol:g}"


_PASSED_THROUGH = (Exception, KeyboardInterrupt, SystemExit, GeneratorExit)


class DynamicsError(RuntimeError):
    """A run failed inside the dynamics (for example a NaN step size drove a strategy to NaN).

    ``message`` is what the native core reported; ``trials``, for a sweep, the range of trials of
    the engine call that failed, which the text names. It pickles, so it comes back from a worker
    process or a cluster as it was raised there.
    """

    def __init__(self, message: str, trials: Optional[range] = None) -> None:
        super().__init__(message if trials is None else f"trials [{trials.start}, {trials.stop}): {message}")
        self.message = message
        self.trials = trials

    def __reduce__(self) -> Tuple[type, Tuple[str, Optional[range]]]:
        return type(self), (self.message, self.trials)


@contextmanager
def _dynamics_failures() -> Iterator[None]:
    try:
        yield
        return
    except BaseException as failure:
        if isinstance(failure, _PASSED_THROUGH):
            raise
        message = str(failure)
    # Raised outside the handler, so that no chain leads to the panic, which does not pickle
    # (Dask pickles the whole chain of an exception it sends back).
    raise DynamicsError(message)


def _columns(reported: Any, tolerances: Sequence[float], last: bool) -> Columns:
    columns: Columns = {name: np.asarray(reported[name], dtype=dtype) for name, dtype in COLUMN_TYPES.items()}
    hitting_times = np.asarray(reported["steps_below"], dtype=np.int64)
    columns.update((tolerance_column(tol), hitting_times[:, j]) for j, tol in enumerate(tolerances))
    if last:
        columns.update((name, np.asarray(reported[name], dtype=np.float64)) for name in LAST_ROWS)
    return columns


def _measure_arguments(tolerances: Sequence[float], last: bool) -> Dict[str, Any]:
    return {"tolerances": np.asarray(tolerances, dtype=np.float64).reshape(-1), "last": last}


def build() -> str:
    """The name of this build of the extension: a digest of its sources and compile settings."""
    return str(_module._pool_info()["build"])


def pool_workers() -> int:
    """The number of workers in the engine's pool."""
    return int(_module._pool_info()["workers"])


def trials_together(shape: Tuple[int, ...], rule: str, eta: float, steps: int, cutoff: float) -> int:
    """How many trials of a sweep on games of `shape` one worker runs together (in vector lanes, or 1)."""
    rows, cols = shape
    return int(_module._trials_together(rows, cols, optimizer(rule, eta, shape), steps, cutoff))


def optimizer(rule: str, eta: float, shape: Tuple[int, ...]) -> Any:
    """A fresh optimizer for games of `shape`: sized to the game when square, else dimension 1."""
    rows, cols = shape
    with _dynamics_failures():
        return getattr(quarnel.Optimizer, rule)(eta, rows if rows == cols else 1)


def _negated_log(p: FloatArray) -> FloatArray:
    """-ln(p) entry by entry, correctly rounded whatever the processor or its math library
    (which may pick another implementation on another machine): a start's bits must not depend on it."""
    with decimal.localcontext() as context:
        context.prec = 40
        return np.array([-float(decimal.Decimal(float(value)).ln()) for value in p], dtype=np.float64)


# What each rule's two vectors hold when it starts at strategies (x0, y0): the auxiliary points
# of OGDA and mirror descent are the strategies themselves; FTRL's running sums are those whose
# softmax is the start, -ln(x0) / eta, so that its first step is the one mirror descent takes.
_START_VECTORS: Dict[str, Callable[[FloatArray, float], FloatArray]] = {
    "ogda": lambda start, eta: start,
    "omwuoomd": lambda start, eta: start,
    "omwuoftrl": lambda start, eta: _negated_log(start) / eta,
}


@dataclass(frozen=True)
class Start:
    """Where every run of a study starts: the strategies played at step 0."""

    x: FloatArray
    y: FloatArray


def learner(rule: str, eta: float, shape: Tuple[int, ...], start: Optional[Start]) -> Any:
    """A fresh optimizer for games of `shape`, its vectors at `start` (None: its own uniform start)."""
    fresh = optimizer(rule, eta, shape)
    if start is None:
        return fresh
    vectors = _START_VECTORS[rule]
    with _dynamics_failures():
        return _module._with_vectors(fresh, vectors(start.x, eta), vectors(start.y, eta))


def _start_arguments(start: Optional[Start]) -> Dict[str, Any]:
    return {} if start is None else {"x0": start.x, "y0": start.y}


def experiment(a: FloatArray, rule: str, eta: float, steps: int,
               start: Optional[Start] = None) -> Tuple[FloatArray, FloatArray, FloatArray]:
    """One convergence run; returns the x, y and gap histories, up to the converging step.

    Without a start, the strategies and the optimizer start uniform, as every trial of a sweep
    does (1/m in every entry, exactly). The histories grow as the run goes: their size follows
    the steps run, not the budget.
    """
    with _dynamics_failures():
        histories = _module._run(a, learner(rule, eta, a.shape, start), steps, **_start_arguments(start))
    x, y, gaps = (np.asarray(history, dtype=np.float64) for history in histories)
    return x, y, gaps


def sweep(a: FloatArray, rule_optimizer: Any, key: bytes, first: int, count: int, steps: int, low: float,
          high: float, cutoff: float, workers: int, start: Optional[Start] = None, *,
          tolerances: Sequence[float] = (), last: bool = False) -> Columns:
    """Trials [first, first + count) of the sweep with `key`; `workers` 0 means the whole pool.

    With a start, every trial plays it at step 0 and `rule_optimizer` must hold its vectors (see
    :func:`learner`); without one, every trial starts uniform with the optimizer reset. The
    columns are COLUMN_TYPES', one per tolerance (:func:`tolerance_column`) and, with `last`, :data:`LAST_ROWS`.
    """
    with _dynamics_failures():
        reported = _module._sweep(a, rule_optimizer, key, first, count, steps, low, high, cutoff, workers,
                                  **_start_arguments(start), **_measure_arguments(tolerances, last))
    return _columns(reported, tolerances, last)


def run_stack(matrices: FloatArray, rule_optimizer: Any, steps: int, normalize: bool, cutoff: float,
              workers: int, start: Optional[Start] = None, *, tolerances: Sequence[float] = (),
              last: bool = False) -> Columns:
    """One run per matrix of the stack, each from `start` (None: the uniform start); columns as :func:`sweep`'s."""
    with _dynamics_failures():
        reported = _module._run_stack(matrices, rule_optimizer, steps, normalize, cutoff, workers,
                                      **_start_arguments(start), **_measure_arguments(tolerances, last))
    return _columns(reported, tolerances, last)


def perturbations(key: bytes, first: int, count: int, shape: Tuple[int, ...], low: float, high: float) -> FloatArray:
    """The perturbations of trials [first, first + count), stacked, exactly as the sweep with `key` drew them."""
    rows, cols = shape
    with _dynamics_failures():
        drawn = [_module._perturbation(key, index, rows, cols, low, high) for index in range(first, first + count)]
    return np.array(drawn, dtype=np.float64).reshape(count, rows, cols)
