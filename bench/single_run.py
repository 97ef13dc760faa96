"""Nanoseconds per optimizer step of one convergence run, quarnel beside plain NumPy.

    python3 bench/single_run.py            # well under a minute
    python3 bench/single_run.py --scale 5  # five times as many steps, steadier figures

Each game starts from uniform strategies with a step size small enough that no run converges,
so every run takes all its steps. The figure is the best of a few repeats divided by the
number of steps; the NumPy run (the baseline renderings in bench/baselines) does the same work
with NumPy arrays, and the last column is how many times faster quarnel is.
"""
import argparse
import os
import sys
import time

import numpy as np

import quarnel

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from baselines.dynamics import build  # noqa: E402

FACTORIES = {
    "ogda": quarnel.Optimizer.ogda,
    "omwuoomd": quarnel.Optimizer.omwuoomd,
    "omwuoftrl": quarnel.Optimizer.omwuoftrl,
}
# size: (quarnel steps, NumPy steps) at --scale 1
STEPS = {2: (200_000, 4_000), 8: (100_000, 3_000), 64: (10_000, 1_000)}
ETA = 0.01
REPEATS = 3


def game(size):
    rng = np.random.default_rng(size)
    return rng.uniform(-1.0, 1.0, size=(size, size)) / np.sqrt(size)


def best_seconds(call, repeats=REPEATS):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def quarnel_ns_per_step(rule, a, steps):
    size = a.shape[0]
    uniform = np.full(size, 1.0 / size)

    def one_run():
        state = quarnel.GameState(uniform, uniform, a)
        optimizer = FACTORIES[rule](ETA, size)
        gaps = quarnel.Experiment(state, optimizer, steps).run_experiment_until_convergence_in_place().gaps_history
        assert gaps[-1] >= 1e-8, "the run converged early; lower ETA"

    return best_seconds(one_run) / steps * 1e9


def numpy_ns_per_step(run, a, steps):
    return best_seconds(lambda: run(a, ETA, steps)) / steps * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=float, default=1.0, help="multiply every step count")
    args = parser.parse_args()

    numpy_runs = build()
    print(f"{'rule':<10} {'size':>5} {'quarnel ns/step':>16} {'numpy ns/step':>14} {'ratio':>8}")
    for rule in FACTORIES:
        for size, (quarnel_steps, numpy_steps) in STEPS.items():
            a = game(size)
            ours = quarnel_ns_per_step(rule, a, max(1, int(quarnel_steps * args.scale)))
            theirs = numpy_ns_per_step(numpy_runs[rule], a, max(1, int(numpy_steps * args.scale)))
            print(f"{rule:<10} {size:>5} {ours:>16.1f} {theirs:>14.1f} {theirs / ours:>7.1f}x", flush=True)


if __name__ == "__main__":
    main()
