"""A single convergence run with full histories."""
from __future__ import annotations

from typing import Any

from quarnel_lab import native, validation
from quarnel_lab.results import Trajectory, new_config


def run(game: Any, rule: str, *, eta: float, steps: int, x0: Any = None, y0: Any = None) -> Trajectory:
    """Run the learning rule on `game` for at most `steps` steps and keep every strategy and gap.

    The run stops once the duality gap falls below 1e-8; the histories hold the steps run
    (``Trajectory.steps`` rows), so their size follows the run, not the budget.

    Parameters
    ----------
    game : array_like or str
        The payoff matrix, 2-D and finite, or a built-in game's name ("rps", ...) or a matrix
        file; the row player minimises, the column player maximises.
    rule : {"ogda", "omwuoomd", "omwuoftrl"}
        The learning rule; its dimension is the game's size for a square game, else 1.
    eta : float
        The step size.
    steps : int
        The step budget.
    x0, y0 : array_like, optional
        Where the learner starts (uniform when omitted): the strategies played at step 0,
        exactly. OGDA's and mirror descent's auxiliary points start there too, and FTRL's
        running sums at -ln(x0)/eta and -ln(y0)/eta, so its first step is the one mirror
        descent takes from there. Each must be a probability vector (finite, >= 0, summing to
        1 within 1e-9; strictly positive for "omwuoftrl"); nothing is rescaled.

    Returns
    -------
    Trajectory

    Raises
    ------
    ValueError, TypeError
        For a wrong argument, before anything runs.
    DynamicsError
        If the run fails inside the dynamics.
    """
    a = validation.game(game)
    chosen_rule, step_size = validation.rule(rule), validation.step_size(eta)
    budget = validation.count(steps, "steps", minimum=1)
    start = validation.start(x0, y0, a.shape, chosen_rule)
    x_history, y_history, gaps = native.experiment(a, chosen_rule, step_size, budget, start)
    config = new_config("run", rule=chosen_rule, eta=step_size, steps=budget,
                        x0=None if start is None else start.x.tolist(),
                        y0=None if start is None else start.y.tolist())
    return Trajectory(a, x_history, y_history, gaps, config)
