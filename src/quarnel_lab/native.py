"""The bridge to the extension module: typed wrappers of the calls the package makes.

Broken invariants inside the dynamics reach Python as the module's panic type, which derives
from BaseException so that ``except Exception`` does not swallow it. Here they become
:class:`DynamicsError`, an ordinary exception carrying the same message.
"""
from __future__ import annotations

from contextlib import contextmanager
from typing import Any, Dict, Iterator, Optional, Tuple

import numpy as np
import numpy.typing as npt

import quarnel

# The private entry points are not part of the module's typed surface.
_module: Any = quarnel

FloatArray = npt.NDArray[np.float64]
Columns = Dict[str, npt.NDArray[Any]]

# What the engine reports per trial, in its order.
COLUMN_TYPES: Dict[str, type] = {
    "norm_max": np.float64,
    "norm_infinity": np.float64,
    "norm_frobenius": np.float64,
    "max_last": np.float64,
    "var_last": np.float64,
    "total_var": np.float64,
    "last_gap": np.float64,
    "steps": np.int64,
}

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


def _columns(reported: Any) -> Columns:
    return {name: np.asarray(reported[name], dtype=dtype) for name, dtype in COLUMN_TYPES.items()}


def build() -> str:
    """The name of this build of the extension: a digest of its sources and compile settings."""
    return str(_module._pool_info()["build"])


def pool_workers() -> int:
    """The number of workers in the engine's pool."""
    return int(_module._pool_info()["workers"])


def optimizer(rule: str, eta: float, shape: Tuple[int, ...]) -> Any:
    """A fresh optimizer for games of `shape`: sized to the game when square, else dimension 1."""
    rows, cols = shape
    with _dynamics_failures():
        return getattr(quarnel.Optimizer, rule)(eta, rows if rows == cols else 1)


def experiment(a: FloatArray, rule: str, eta: float, steps: int, x0: Optional[FloatArray] = None,
               y0: Optional[FloatArray] = None) -> Tuple[FloatArray, FloatArray, FloatArray]:
    """One convergence run with a fresh optimizer; returns the x, y and gap histories.

    An omitted start is the uniform one. It is given as the zero vector, whose projection onto
    the simplex is exactly 1/m in every entry, the start every trial of a sweep uses; 1/m itself
    may come back a few bits off.
    """
    rows, cols = a.shape
    x = np.zeros(rows) if x0 is None else x0
    y = np.zeros(cols) if y0 is None else y0
    with _dynamics_failures():
        state = quarnel.GameState(x, y, a)
        result = quarnel.Experiment(state, optimizer(rule, eta, a.shape), steps)
        histories = result.run_experiment_until_convergence_in_place()
    return (np.asarray(histories.x_history, dtype=np.float64), np.asarray(histories.y_history, dtype=np.float64),
            np.asarray(histories.gaps_history, dtype=np.float64))


def sweep(a: FloatArray, rule_optimizer: Any, key: bytes, first: int, count: int, steps: int, low: float,
          high: float, cutoff: float, workers: int) -> Columns:
    """Trials [first, first + count) of the sweep with `key`; `workers` 0 means the whole pool."""
    with _dynamics_failures():
        reported = _module._sweep(a, rule_optimizer, key, first, count, steps, low, high, cutoff, workers)
    return _columns(reported)


def run_stack(matrices: FloatArray, rule_optimizer: Any, steps: int, normalize: bool, cutoff: float,
              workers: int) -> Columns:
    """One run per matrix of the stack, each from the uniform start."""
    with _dynamics_failures():
        reported = _module._run_stack(matrices, rule_optimizer, steps, normalize, cutoff, workers)
    return _columns(reported)


def perturbation(key: bytes, index: int, shape: Tuple[int, ...], low: float, high: float) -> FloatArray:
    """Trial `index`'s perturbation alone, exactly as the sweep with `key` drew it."""
    rows, cols = shape
    with _dynamics_failures():
        drawn = _module._perturbation(key, index, rows, cols, low, high)
    return np.asarray(drawn, dtype=np.float64)
