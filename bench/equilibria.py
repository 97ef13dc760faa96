"""What equilibrium=True costs: a sweep with it against the same sweep without, on a few shapes.

    python3 bench/equilibria.py            # a few seconds per shape
    python3 bench/equilibria.py --quick    # fewer trials and repeats, for a smoke test

One core (one worker, the process pinned), processor time, best of a few repeats, both sweeps in
this one process. Every trial spends its whole step budget (checked). Also times the 2 x 2
closed form against the linear programs it replaces (in groups, as other shapes are solved), on
the same games.
"""
import argparse
import os
import sys
import time

os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})

import numpy as np  # noqa: E402

import quarnel_lab as ql  # noqa: E402
from quarnel_lab import equilibria  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from timing import best_time  # noqa: E402

SHAPES = ((2, 2), (3, 3), (8, 8), (4, 12), (32, 32))
ETA = 1e-4  # small enough that no trial converges within its steps
LOW, HIGH = 0.01, 0.1


def game(shape):
    """A random game; for 2 x 2, one near matching pennies, so that its perturbations have no saddle point."""
    drawn = np.random.default_rng(sum(shape)).uniform(-1.0, 1.0, shape)
    return np.array([[1.0, -1.0], [-1.0, 1.0]]) + drawn / 2 if shape == (2, 2) else drawn


def sweep(shape, trials, steps, equilibrium):
    s = ql.scattered(game(shape), "ogda", eta=ETA, steps=steps, trials=trials, inner=LOW, outer=HIGH, seed=1,
                     workers=1, chunk=max(1, trials // 4), progress=False, equilibrium=equilibrium)
    if np.any(s["steps"] < steps):
        raise SystemExit(f"{shape}: a trial converged: lower ETA")
    return s


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer trials and repeats")
    quick = parser.parse_args().quick
    trials, steps, repeats = (200, 200, 2) if quick else (2000, 1000, 3)
    print(f"scattered OGDA sweeps of {trials} trials x {steps} steps, one core, processor time (best of {repeats})")
    print(f"{'shape':>8} {'without s':>10} {'with s':>10} {'ratio':>7} {'added us/trial':>15} {'pure':>6}")
    for shape in SHAPES:
        without = best_time(lambda: sweep(shape, trials, steps, False), repeats, time.process_time)
        with_them = best_time(lambda: sweep(shape, trials, steps, True), repeats, time.process_time)
        pure = np.mean(sweep(shape, trials, steps, True)["support_x"] == 1)
        print(f"{shape[0]:>3} x {shape[1]:<3}{without:>10.3f} {with_them:>10.3f} {with_them / without:>7.2f} "
              f"{(with_them - without) / trials * 1e6:>15.1f} {pure:>6.0%}")
    # Matching pennies, each payoff moved by less than 1: no saddle point, one mixed equilibrium.
    games = np.array([[1.0, -1.0], [-1.0, 1.0]]) + np.random.default_rng(0).uniform(-0.9, 0.9, (500, 2, 2))

    def programs():
        solutions = equilibria.Solutions(np.full(len(games), np.nan), np.zeros((len(games), 2)),
                                         np.zeros((len(games), 2)))
        size = equilibria.group_size((2, 2))
        for first in range(0, len(games), size):
            equilibria._programs(games, solutions, np.arange(first, min(first + size, len(games))))
        return solutions

    closed, solved = equilibria.solve(games), programs()
    if not all(np.allclose(a, b, rtol=0, atol=1e-12) for a, b in zip(closed, solved)):
        raise SystemExit("2 x 2: the closed form and the linear program disagree")
    in_closed_form = best_time(lambda: equilibria.solve(games), repeats, time.process_time)
    as_programs = best_time(programs, repeats, time.process_time)
    print(f"2 x 2 games without a saddle point: closed form {in_closed_form / len(games) * 1e6:.2f} us per game, "
          f"linear programs {as_programs / len(games) * 1e6:.0f} us per game")

if __name__ == "__main__":
    main()
