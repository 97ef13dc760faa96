"""A short tour of quarnel on built-in defaults: one convergence run per learning rule, then
the scattered, concentric and neighborhood explorations on small budgets."""
import numpy as np

import quarnel
from quarnel import Experiment, GameState, Optimizer

# Matching pennies: the unique equilibrium is x = y = (0.5, 0.5) with value 0.
PAYOFF = np.array([[1.0, -1.0], [-1.0, 1.0]])
ETA = 0.1
STEPS = 2000


def single_runs():
    print(f"Single runs on matching pennies, eta={ETA}, up to {STEPS} steps:")
    for name in ("ogda", "omwuoomd", "omwuoftrl"):
        state = GameState(np.array([0.8, 0.2]), np.array([0.3, 0.7]), PAYOFF)
        optimizer = getattr(Optimizer, name)(ETA, 2)
        result = Experiment(state, optimizer, STEPS).run_experiment_until_convergence_in_place()
        gaps = result.gaps_history
        converged = np.flatnonzero(gaps < 1e-8)
        when = f"converged at step {converged[0]}" if converged.size else "did not converge"
        print(f"  {name:10s} final x={np.round(result.x_history[-1], 6)} y={np.round(result.y_history[-1], 6)}"
              f" gap={gaps[-1]:.3e} ({when})")


def explorations():
    optimizer = Optimizer.ogda(ETA, 2)
    scattered = quarnel.scattered_exploration(PAYOFF, optimizer, 16, 500, 0.1, 0.5, "frobenius", "max_last")
    print("\nScattered exploration (16 perturbations with entries of magnitude in [0.1, 0.5), Frobenius norm):")
    for norm, metric in zip(scattered.norms[:5], scattered.metrics[:5]):
        print(f"  norm={norm:.4f}  max_last={metric:.3e}")
    print(f"  ... mean metric {scattered.metrics.mean():.3e}")

    concentric = quarnel.concentric_exploration(PAYOFF, optimizer, 12, 500, 0.0, 0.6, 3, "total_var")
    print("\nConcentric exploration (3 slices of [0, 0.6), 4 runs each, total variation):")
    for (low, high), metrics in zip(concentric.slice_boundaries, concentric.metrics):
        print(f"  [{low:.2f}, {high:.2f}): {np.array2string(metrics, precision=3)}")

    stack = np.stack([PAYOFF, PAYOFF + np.array([[0.2, 0.0], [0.0, -0.2]]), np.array([[1.0, 3.0], [5.0, 9.0]])])
    results = quarnel.neighborhood_exploration(stack, optimizer, 500, True)
    print("\nNeighborhood exploration (3 matrices rescaled to [0, 1]):")
    for k, result in enumerate(results):
        print(f"  matrix {k}: final gap {result.gaps_history[-1]:.3e}, final x {np.round(result.x_history[-1], 4)}")


if __name__ == "__main__":
    single_runs()
    explorations()
