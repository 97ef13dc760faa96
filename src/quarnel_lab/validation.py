"""Checks of what a user passes in, made before anything runs.

A wrong type is a TypeError, a wrong value a ValueError; every message says what to pass instead.
"""
from __future__ import annotations

import concurrent.futures
import math
import numbers
import os
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from quarnel_lab import native
from quarnel_lab.native import FloatArray

RULES = ("ogda", "omwuoomd", "omwuoftrl")
NORMS = ("max", "infinity", "frobenius")
# The engine counts steps, trials and workers in 64-bit integers (and reports steps as int64).
LARGEST_COUNT = 2**63 - 1


def _choice(value: object, name: str, valid: Tuple[str, ...]) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, one of {', '.join(map(repr, valid))}; got {type(value).__name__}")
    if value.lower() not in valid:
        raise ValueError(f"unknown {name} {value!r}: use one of {', '.join(map(repr, valid))}")
    return value.lower()


def rule(value: object) -> str:
    """The learning rule's name, lower-cased."""
    return _choice(value, "rule", RULES)


def norm(value: object) -> str:
    """The norm's name, lower-cased."""
    return _choice(value, "norm", NORMS)


def count(value: object, name: str, *, minimum: int = 0) -> int:
    """A whole number of at least `minimum` that the engine can count to."""
    if isinstance(value, (float, np.floating)) and float(value).is_integer():
        value = int(value)  # 1e4 counts as 10000
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    number = int(value)
    if number < minimum:
        raise ValueError(f"{name} must be an integer of at least {minimum}, got {number}")
    if number > LARGEST_COUNT:
        raise ValueError(f"{name} must be at most {LARGEST_COUNT} (2**63 - 1), got {number}")
    return number


def optional_count(value: object, name: str) -> Optional[int]:
    """None, or a positive whole number."""
    return None if value is None else count(value, name, minimum=1)


def real(value: object, name: str) -> float:
    """A real number."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    return float(value)


def step_size(value: object, name: str = "eta") -> float:
    """A positive, finite step size."""
    number = real(value, name)
    if not (math.isfinite(number) and number > 0.0):
        raise ValueError(f"{name} must be a positive finite number, got {number}")
    return number


def slices(value: object, trials: int) -> int:
    """The number of slices of a concentric sweep: at least 1, at most `trials` (each slice runs a trial or more)."""
    number = count(value, "slices", minimum=1)
    if number > trials:
        raise ValueError(f"slices must be at most trials, so that every slice runs a trial; got slices={number} "
                         f"for trials={trials}")
    return number


def cutoff(value: object) -> float:
    """The fraction of the gap history, from its end, that max_last and var_last look at."""
    fraction = real(value, "cutoff")
    if not 0.0 <= fraction <= 1.0:
        raise ValueError(f"cutoff must be a fraction between 0 and 1, got {fraction}")
    return fraction


def tolerances(value: object) -> Tuple[float, ...]:
    """Gap tolerances for hitting times: finite numbers in (0, 1), no two of them named alike
    (their columns are named by :func:`quarnel_lab.native.tolerance_column`)."""
    if isinstance(value, (str, bytes)) or not isinstance(value, (Sequence, np.ndarray)):
        raise TypeError(f"tolerances must be a sequence of numbers, such as (1e-2, 1e-4), got {type(value).__name__}")
    checked = tuple(real(tol, "every tolerance") for tol in value)
    outside = [tol for tol in checked if not 0.0 < tol < 1.0]
    if outside:
        raise ValueError(f"tolerances must lie strictly between 0 and 1, got {outside[0]}")
    columns: Dict[str, List[float]] = {}
    for tol in checked:
        columns.setdefault(native.tolerance_column(tol), []).append(tol)
    for column, alike in columns.items():
        if len(alike) > 1:
            raise ValueError(f"tolerances {' and '.join(map(repr, alike))} would share the column {column!r}: "
                             "give each once")
    return checked


def flag(value: object, name: str) -> bool:
    """True or False."""
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, got {type(value).__name__}")
    return bool(value)


def progress(value: object) -> Optional[bool]:
    """None (a bar when stderr is a terminal or in Jupyter), True or False."""
    return None if value is None else flag(value, "progress")


def radii(inner: object, outer: object) -> Tuple[float, float]:
    """The band [inner, outer) of perturbation magnitudes."""
    low, high = real(inner, "inner"), real(outer, "outer")
    if not (math.isfinite(low) and math.isfinite(high)):
        raise ValueError(f"inner and outer must be finite numbers, got inner={low}, outer={high}")
    if not low < high:
        raise ValueError(f"inner must be smaller than outer, got inner={low}, outer={high}")
    if not math.isfinite(high - low):
        raise ValueError(f"outer - inner overflows, got inner={low}, outer={high}: use a narrower band")
    return low, high


def _finite_array(value: object, name: str, dims: int, layout: str) -> FloatArray:
    try:
        array = np.array(value, dtype=np.float64, order="C", copy=True)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a {dims}-D array of numbers ({layout}), got {type(value).__name__}") from None
    if array.ndim != dims:
        raise ValueError(f"{name} must be a {dims}-D array ({layout}), got shape {array.shape}")
    if not np.all(np.isfinite(array)):
        raise ValueError(f"{name} must hold finite numbers only; it has NaN or infinite entries")
    return array


def game(value: object, name: str = "game") -> FloatArray:
    """A private copy of a finite payoff matrix with at least one row and one column; a str or
    path is a built-in game's name or a matrix file (see :func:`quarnel_lab.games.game`)."""
    if isinstance(value, (str, os.PathLike)):
        from quarnel_lab import games

        value = games.game(os.fspath(value))
    array = _finite_array(value, name, 2, "rows x columns")
    if 0 in array.shape:
        raise ValueError(f"{name} must have at least one row and one column, got shape {array.shape}")
    return array


def stack(value: object) -> FloatArray:
    """A private copy of a finite stack of payoff matrices."""
    array = _finite_array(value, "matrices", 3, "count x rows x columns")
    if 0 in array.shape:
        raise ValueError(f"matrices must hold at least one matrix with at least one row and one column, "
                         f"got shape {array.shape}")
    return array


START_TOLERANCE = 1e-9
"""How far from 1 the entries of a start may sum."""


def _start_vector(value: object, length: int, name: str, positive: bool) -> FloatArray:
    vector = _finite_array(value, name, 1, f"a probability vector of {length} entries")
    if vector.shape != (length,):
        raise ValueError(f"{name} must have {length} entries, one per action of that player, got {vector.size}")
    bad = np.flatnonzero(vector <= 0.0 if positive else vector < 0.0)
    if bad.size:
        need = "positive (omwuoftrl starts from their logarithms)" if positive else "at least 0"
        raise ValueError(f"{name} must be a probability vector: entry {bad[0]} is {float(vector[bad[0]])!r}, "
                         f"and every entry must be {need}; nothing is rescaled")
    total = float(np.sum(vector))
    if not abs(total - 1.0) <= START_TOLERANCE:
        raise ValueError(f"{name} must be a probability vector: its entries sum to {total!r}, which is not "
                         f"within {START_TOLERANCE:g} of 1; nothing is rescaled")
    return vector


def start(x0: object, y0: object, shape: Tuple[int, ...], chosen_rule: str) -> Optional[native.Start]:
    """None (the uniform start), or where every run starts: probability vectors x0 and y0 (the
    one not given uniform), used exactly as given; omwuoftrl needs them strictly positive."""
    if x0 is None and y0 is None:
        return None
    positive = chosen_rule == "omwuoftrl"
    rows, cols = shape
    x = np.full(rows, 1.0 / rows) if x0 is None else _start_vector(x0, rows, "x0", positive)
    y = np.full(cols, 1.0 / cols) if y0 is None else _start_vector(y0, cols, "y0", positive)
    return native.Start(x, y)


def executor(value: object) -> Optional[concurrent.futures.Executor]:
    """None, or a concurrent.futures executor."""
    if value is None or isinstance(value, concurrent.futures.Executor):
        return value
    raise TypeError(f"executor must be a concurrent.futures.Executor, got {type(value).__name__}")


def client(value: object) -> Any:
    """None, a dask.distributed.Client, or the address of a Dask scheduler."""
    if value is None:
        return None
    try:
        import distributed
    except ImportError:
        raise ImportError("running on a Dask cluster needs dask.distributed: pip install 'quarnel[distributed]' "
                          "(or '.[distributed]' in a source checkout)") from None
    if not isinstance(value, (str, distributed.Client)):
        raise TypeError(f"client must be a dask.distributed.Client or a scheduler address, got {type(value).__name__}")
    return value


def directory(value: object, name: str) -> Optional[str]:
    """None, or the path of a directory."""
    if value is None:
        return None
    if not isinstance(value, (str, os.PathLike)):
        raise TypeError(f"{name} must be the path of a directory, got {type(value).__name__}")
    path = os.fspath(value)
    if not path:
        raise ValueError(f"{name} must name a directory, got an empty path (use '.' for this one)")
    if os.path.exists(path) and not os.path.isdir(path):
        raise ValueError(f"{name} {path} is a file, not a directory")
    return path
