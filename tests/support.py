"""Helpers shared by the Python tests."""
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
