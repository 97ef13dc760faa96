"""Helpers shared by the Python tests."""
import functools
import math
import operator
import os
import subprocess
import sys
import textwrap

import numpy as np

import quarnel
from quarnel import Experiment, Optimizer


def _panic_type():
    try:
        Optimizer.ogda(0.1, 0)
    except BaseException as caught:  # the panic type derives from BaseException
        return type(caught)


# Not reachable as an attribute of the module: taken from a call known to panic.
PanicException = _panic_type()
HISTORIES = ("x_history", "y_history", "gaps_history")


def run(state, optimizer, num_steps):
    return Experiment(state, optimizer, num_steps).run_experiment_until_convergence_in_place()


def assert_same_histories(first, second):
    for name in HISTORIES:
        np.testing.assert_array_equal(getattr(first, name), getattr(second, name))


def panic_message(call):
    try:
        call()
    except PanicException as caught:
        return str(caught)
    raise AssertionError("no panic raised")


def child_env(**overrides):
    """The environment of a child interpreter that imports this same module."""
    env = dict(os.environ, **overrides)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(os.path.abspath(quarnel.__file__)), env.get("PYTHONPATH", "")])
    return env


def run_script(code, timeout=120, **env_overrides):
    """Runs `code` in a fresh interpreter; returns its stdout."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=child_env(**env_overrides),
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout


def in_order_sum(values, start=0.0):
    """Left-to-right floating-point sum (Python's sum compensates from 3.12 on, NumPy's pairs)."""
    return functools.reduce(operator.add, values, start)


def gap_summary(gaps, cutoff):
    """The columns a sweep reports for one gap history, in the engine's reduction order."""
    gaps = np.asarray(gaps, dtype=float)
    n = len(gaps)
    tail = gaps[int(max((1.0 - cutoff) * n, 0.0)):]
    mean = in_order_sum(tail, -0.0) / len(tail) if len(tail) else 0.0
    below = np.flatnonzero(gaps < 1e-8)
    return {"max_last": np.fmax.reduce(tail, initial=-np.inf),
            "var_last": in_order_sum(((tail - mean) ** 2) / len(tail)) if len(tail) else 0.0,
            "total_var": in_order_sum(np.abs(np.diff(gaps))),
            "last_gap": gaps[-1] if n else np.nan, "steps": below[0] + 1 if below.size else n}


def matrix_norms(matrix):
    """The three norms of a matrix, each summed in the engine's order (rows left to right)."""
    return {"norm_max": np.abs(matrix).max(),
            "norm_infinity": max(in_order_sum(np.abs(row), -0.0) for row in matrix),
            "norm_frobenius": math.sqrt(in_order_sum(np.ravel(matrix) ** 2))}
