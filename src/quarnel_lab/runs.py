"""A single convergence run with full histories."""
from __future__ import annotations

from typing import Any

from quarnel_lab import native, validation
from quarnel_lab.results import Trajectory, new_config


def run(game: Any, rule: str, *, eta: float, steps: int, x0: Any = None, y0: Any = None) -> Trajectory:
    """Run the learning rule on `game` for at most `steps` steps and keep every strategy and gap.

    This is exactly an ``Experiment`` on ``GameState(x0, y0, game)`` with a fresh optimizer: the
    run stops early once the duality gap falls below 1e-8, and the histories are then padded
    with their last row.

    Parameters
    ----------
    game : array_like
        The payoff matrix, 2-D and finite; the row player minimises, the column player maximises.
    rule : {"ogda", "omwuoomd", "omwuoftrl"}
        The learning rule; its dimension is the game's size for a square game, else 1.
    eta : float
        The step size.
    steps : int
        The step budget.
    x0, y0 : array_like, optional
        The starting strategies (projected onto the simplex); uniform when omitted.

    Returns
    -------
    Trajectory

    Raises
    ------
    ValueError, TypeError
        For a wrong argument (such as a step size that is not positive and finite), before anything runs.
    DynamicsError
        If the run fails inside the dynamics (for example when the payoffs overflow).
    """
    a = validation.game(game)
    chosen_rule, step_size = validation.rule(rule), validation.step_size(eta)
    budget = validation.count(steps, "steps", minimum=1)
    x = validation.strategy(x0, a.shape[0], "x0")
    y = validation.strategy(y0, a.shape[1], "y0")
    x_history, y_history, gaps = native.experiment(a, chosen_rule, step_size, budget, x, y)
    config = new_config("run", rule=chosen_rule, eta=step_size, steps=budget,
                        x0=None if x is None else x.tolist(), y0=None if y is None else y.tolist())
    return Trajectory(a, x_history, y_history, gaps, config)
