"""A user's script: checked with `mypy --strict` against the shipped stubs and quarnel_lab."""
import numpy as np
from numpy.typing import NDArray

import quarnel
import quarnel_lab as ql
from quarnel_lab import plot
from quarnel_lab.games import game


def final_gap(a: NDArray[np.float64], eta: float) -> float:
    state = quarnel.GameState(np.array([0.9, 0.1]), np.array([0.2, 0.8]), a)
    result = quarnel.Experiment(state, quarnel.Optimizer.ogda(eta, 2), 100).run_experiment_until_convergence_in_place()
    gaps: NDArray[np.float64] = result.gaps_history
    return float(gaps[-1])


def explorations(a: NDArray[np.float64]) -> tuple[NDArray[np.float64], list[quarnel.GameResult]]:
    out = quarnel.scattered_exploration(a, quarnel.Optimizer.omwuoomd(0.1, 2), 4, 50, 0.1, 0.5, "max", "max_last")
    stack = np.stack([a, a])
    return out.metrics, quarnel.neighborhood_exploration(stack, quarnel.Optimizer.ogda(0.1, 2), 10, True)


def study() -> int:
    s = ql.scattered(game("rps"), "ogda", eta=0.1, steps=100, trials=8, inner=0.1, outer=0.5, seed=1)
    t: ql.Trajectory = s.replay(0)
    plot.gaps(t)
    loaded = ql.load("sweep.npz")
    return len(s) + len(t.gaps) + (len(loaded) if isinstance(loaded, ql.Sweep) else 0)


if __name__ == "__main__":
    print(final_gap(game("matching-pennies"), 0.1), study())
