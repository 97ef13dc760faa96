"""One cell of the batched table: python3 bench/batched.py RULE SIZE TRIALS STEPS WHICH.

WHICH is quarnel (the module's scattered_exploration), lab (quarnel_lab.scattered, chunked),
numpy or jax. Prints the best processor time of a few calls, in ns per trial-step. The process
pins itself to one core; bench/run.py sets RAYON_NUM_THREADS=1 and XLA's one-thread flags.

Trial i runs on base + the perturbation i of the sweep under KEY: the baselines run on exactly
the matrices of the sweep, and before any timing their gap metrics are checked against the
sweep's on a few of them.
"""
import os
import sys
import time

os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})

import numpy as np  # noqa: E402

import quarnel  # noqa: E402
import quarnel_lab as ql  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from baselines.batched import jax_runs, numpy_runs  # noqa: E402
from timing import best_time  # noqa: E402

ETA = 1e-4  # small enough that no trial converges within its steps (checked)
LOW, HIGH = 0.01, 0.1  # the band of perturbation magnitudes
CUTOFF = 0.1
KEY = bytes(range(16))
SEED = 1  # the lab sweep's seed
CHECK_TRIALS, CHECK_STEPS = 16, 300
METRICS = ("max_last", "var_last", "total_var", "last_gap")


def base(n):
    return np.random.default_rng(1000 + n).uniform(-1.0, 1.0, (n, n))


def sweep_matrices(a, count):
    n = a.shape[0]
    return np.stack([quarnel._perturbation(KEY, i, n, n, LOW, HIGH) + a for i in range(count)])


def metrics_of(gaps):
    start = int((1.0 - CUTOFF) * gaps.shape[1])
    tail = gaps[:, start:]
    return {"max_last": tail.max(axis=1), "var_last": tail.var(axis=1),
            "total_var": np.abs(np.diff(gaps, axis=1)).sum(axis=1), "last_gap": gaps[:, -1]}


def check_against_sweep(rule, a, run):
    """The baseline's metrics on the sweep's matrices agree with the sweep's own."""
    expected = quarnel._sweep(a, getattr(quarnel.Optimizer, rule)(ETA, a.shape[0]), KEY, 0, CHECK_TRIALS,
                              CHECK_STEPS, LOW, HIGH, CUTOFF, 0)
    got = metrics_of(run(sweep_matrices(a, CHECK_TRIALS), ETA, CHECK_STEPS))
    for name in METRICS:
        # The variance of a nearly flat tail loses most digits to cancellation in any order.
        scale = np.abs(expected[name]).max() if name == "var_last" else np.abs(expected[name])
        if not np.all(np.abs(got[name] - expected[name]) <= 1e-9 * scale):
            raise SystemExit(f"{rule} {a.shape}: the baseline's {name} differs from quarnel's")


def timed_call(rule, a, trials, steps, which):
    optimizer = getattr(quarnel.Optimizer, rule)(ETA, a.shape[0])
    if which == "quarnel":
        return lambda: quarnel.scattered_exploration(a, optimizer, trials, steps, LOW, HIGH, "max", "max_last")
    if which == "lab":
        def lab():
            s = ql.scattered(a, rule, eta=ETA, steps=steps, trials=trials, inner=LOW, outer=HIGH, seed=SEED,
                             chunk=max(1, trials // 8), progress=False)
            if np.any(s["steps"] < steps):
                raise SystemExit(f"{rule} {a.shape}: a trial converged: lower ETA")
        return lab
    run = (numpy_runs if which == "numpy" else jax_runs)()[rule]
    check_against_sweep(rule, a, run)
    matrices = sweep_matrices(a, trials)
    return lambda: run(matrices, ETA, steps)


def main():
    rule, n, trials, steps, which = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
    try:
        call = timed_call(rule, base(n), trials, steps, which)
    except ImportError as missing:
        print(f"nan {missing}")
        return
    if which == "jax":
        call()  # compiles for these shapes
    repeats = 3 if which in ("quarnel", "lab") else 2
    print(best_time(call, repeats, clock=time.process_time) / (trials * steps) * 1e9)


if __name__ == "__main__":
    main()
