"""Pictures of runs and sweeps (matplotlib).

Every function draws into ``ax`` when given one and otherwise into a new figure, and returns
the Axes. Nothing here calls ``plt.show()`` or picks a backend: in a script, save with
``ax.figure.savefig(path)``; in Jupyter the figure shows itself.
"""

from __future__ import annotations

import itertools
from typing import TYPE_CHECKING, Any, Optional, Sequence, Union

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:
    from matplotlib.axes import Axes

    from quarnel_lab.results import Sweep, Trajectory

__all__ = ["gaps", "sweep", "strategies", "run_length", "HEXBIN_ABOVE", "TOLERANCE"]

TOLERANCE = 1e-8
"""A run stops at the first step whose duality gap is below this."""

HEXBIN_ABOVE = 3000
"""Sweeps with more trials than this are drawn as a hexbin density instead of single points."""

_METRIC_LABELS = {
    "max_last": "max_last: largest gap in the tail",
    "var_last": "var_last: gap variance in the tail",
    "total_var": "total_var: total variation of the gap",
    "last_gap": "duality gap after the last step",
    "steps": "steps to a gap below 1e-8",
}
_NORM_LABELS = {
    "max": "max norm (largest |entry|)",
    "infinity": "infinity norm (largest absolute row sum)",
    "frobenius": "Frobenius norm",
}


def _new_axes(ax: Optional[Axes], size: tuple[float, float] = (6.4, 4.4)) -> Axes:
    if ax is not None:
        return ax
    import matplotlib.pyplot as plt

    return plt.subplots(figsize=size, layout="constrained")[1]


def run_length(gap_history: NDArray[np.float64]) -> int:
    """The number of steps a run took: up to the first gap below 1e-8, the rest being padding."""
    below = np.flatnonzero(gap_history < TOLERANCE)
    return int(below[0]) + 1 if below.size else len(gap_history)


def _rule_label(trajectory: Trajectory) -> str:
    config = trajectory.config
    if config.get("kind") == "replay":
        return f"{config['sweep']['rule']}, trial {config['trial']}"
    return str(config.get("rule", "run"))


def gaps(trajectory: Union[Trajectory, Sequence[Trajectory]], ax: Optional[Axes] = None) -> Axes:
    """Duality gap against step, on a log scale, with the 1e-8 tolerance marked.

    Parameters
    ----------
    trajectory : Trajectory or sequence of Trajectory
        One run, or several (one line each, labelled by rule).
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new figure when omitted.

    Returns
    -------
    matplotlib.axes.Axes

    Notes
    -----
    Each line ends at the step where the run stopped (the padding after it is not drawn),
    marked with a dot. A gap of exactly 0 cannot sit on a log axis and is drawn at the
    bottom edge.
    """
    runs = [trajectory] if not isinstance(trajectory, Sequence) else list(trajectory)
    ax = _new_axes(ax)
    floor = TOLERANCE / 100
    for run, style in zip(runs, itertools.cycle(("-", "--", ":", "-."))):
        length = run_length(run.gaps)
        shown = np.maximum(run.gaps[:length], floor)
        label = f"{_rule_label(run)} ({length} steps)"
        (line,) = ax.plot(np.arange(length), shown, lw=1.6, ls=style, label=label)
        if length < len(run.gaps):
            ax.plot(length - 1, shown[-1], "o", color=line.get_color(), ms=5)
    _mark_tolerance(ax)
    ax.set_yscale("log")
    ax.set_ylim(bottom=floor / 2)
    ax.set_xlabel("step")
    ax.set_ylabel("duality gap (payoff units)")
    ax.set_title(_game_title(runs[0].a) if runs else "duality gap")
    ax.grid(True, which="major", alpha=0.3)
    ax.legend(loc="upper right", fontsize="small")
    return ax


def _mark_tolerance(ax: Axes) -> None:
    ax.axhline(TOLERANCE, color="tab:red", ls=(0, (4, 3)), lw=1, label="tolerance 1e-8")


def _game_title(a: NDArray[np.float64]) -> str:
    rows, cols = a.shape
    return f"duality gap on a {rows}x{cols} game"


def sweep(
    s: Sweep, metric: str = "max_last", norm: Optional[str] = None, ax: Optional[Axes] = None
) -> Axes:
    """A metric of every trial against the norm of its perturbation (log scale but for "steps").

    Parameters
    ----------
    s : Sweep
        A scattered, concentric or neighborhood sweep.
    metric : str
        A column of ``s``: "max_last", "var_last", "total_var", "last_gap" or "steps".
    norm : {"max", "infinity", "frobenius"}, optional
        The x axis; the sweep's own norm when omitted ("max" for concentric and neighborhood).
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new figure when omitted.

    Returns
    -------
    matplotlib.axes.Axes

    Notes
    -----
    Scattered and neighborhood sweeps: one point per trial, or a hexbin density when the
    sweep has more than ``HEXBIN_ABOVE`` trials. Concentric sweeps: one box per slice, at
    the slice's band of entry magnitudes. Values that are not positive (a metric of exactly
    0) cannot sit on the log axis and are counted in the title instead.

    Raises
    ------
    ValueError
        An unknown metric or norm.
    """
    if metric not in _METRIC_LABELS:
        raise ValueError(f"unknown metric {metric!r}: use one of {', '.join(_METRIC_LABELS)}")
    chosen_norm = norm or str(s.config.get("norm", "max"))
    if chosen_norm not in _NORM_LABELS:
        raise ValueError(f"unknown norm {chosen_norm!r}: use one of {', '.join(_NORM_LABELS)}")
    ax = _new_axes(ax)
    values = np.asarray(s[metric], dtype=np.float64)
    shown = np.isfinite(values) & ((values > 0) | (metric == "steps"))
    if s.kind == "concentric":
        _slice_boxes(ax, s, values, shown)
    else:
        _cloud(ax, np.asarray(s[f"norm_{chosen_norm}"])[shown], values[shown])
        subject = "matrix" if s.kind == "neighborhood" else "perturbation"
        ax.set_xlabel(f"{_NORM_LABELS[chosen_norm]} of the {subject}")
    if metric in ("max_last", "last_gap"):
        _mark_tolerance(ax)
        ax.legend(loc="upper left", fontsize="small")
    elif metric == "steps":
        ax.axhline(s.config["steps"], color="tab:red", ls=(0, (4, 3)), lw=1, label="step budget: not converged")
        ax.legend(loc="best", fontsize="small")
    if metric != "steps":  # gaps span decades; step counts read better on a linear axis
        ax.set_yscale("log")
    ax.set_ylabel(_METRIC_LABELS[metric] + ("" if metric == "steps" else " (payoff units)"))
    ax.set_title(_sweep_title(s, int(np.count_nonzero(~shown))))
    ax.grid(True, which="major", alpha=0.3)
    return ax


def _sweep_title(s: Sweep, hidden: int) -> str:
    config = s.config
    title = f"{s.kind} sweep: {len(s)} trials, {config['rule']}, eta={config['eta']:g}"
    return title + (f"\n{hidden} trials with a metric of 0 not shown" if hidden else "")


def _cloud(ax: Axes, x: NDArray[np.float64], y: NDArray[np.float64]) -> None:
    if len(x) > HEXBIN_ABOVE:
        cells = ax.hexbin(x, y, yscale="log", bins="log", mincnt=1, gridsize=45, cmap="viridis")
        ax.figure.colorbar(cells, ax=ax, label="trials per cell")
    else:
        size = 14 if len(x) < 500 else 7
        ax.scatter(x, y, s=size, alpha=0.6, linewidths=0, label=f"one point per trial ({len(x)})")


def _slice_boxes(ax: Axes, s: Sweep, values: NDArray[np.float64], shown: NDArray[np.bool_]) -> None:
    boundaries = np.asarray(s.slice_boundaries)
    slices = np.asarray(s["slice"])
    groups = [values[(slices == k) & shown] for k in range(len(boundaries))]
    centres = boundaries.mean(axis=1)
    width = 0.7 * float(np.min(np.diff(boundaries, axis=1)))
    ax.boxplot(groups, positions=centres, widths=width, manage_ticks=False, patch_artist=True,
               boxprops={"facecolor": "tab:blue", "alpha": 0.35}, medianprops={"color": "black"},
               flierprops={"markersize": 3, "alpha": 0.5})
    ax.set_xticks(centres, [f"[{low:.3g}, {high:.3g})" for low, high in boundaries],
                  rotation=30 if len(boundaries) > 6 else 0)
    ax.set_xlim(boundaries[0, 0], boundaries[-1, 1])
    ax.set_xlabel(r"band of perturbation entry magnitudes $|\delta_{ij}|$ (one box per slice)")


def strategies(trajectory: Trajectory, ax: Optional[Axes] = None) -> Axes:
    """The path of both players' strategies up to the step where the run stopped.

    Three actions each: both paths on the probability simplex (a triangle whose corners
    are the pure strategies). Two actions each: the path in the unit square of the first
    action's probabilities. Otherwise: each action's probability against step.

    Parameters
    ----------
    trajectory : Trajectory
        A run with its histories.
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new figure when omitted.

    Returns
    -------
    matplotlib.axes.Axes
    """
    length = max(run_length(trajectory.gaps), 1)
    x, y = trajectory.x[:length], trajectory.y[:length]
    if x.shape[1] == 3 and y.shape[1] == 3:
        ax = _new_axes(ax, (5.6, 5.2))
        _simplex(ax, x, y)
    elif x.shape[1] == 2 and y.shape[1] == 2:
        ax = _new_axes(ax, (5.2, 5.2))
        _square(ax, x, y)
    else:
        ax = _new_axes(ax)
        _over_steps(ax, x, y)
    ax.set_title(f"strategies, {_rule_label(trajectory)}, {length} steps")
    return ax


_CORNERS = np.array([[0.0, 0.0], [1.0, 0.0], [0.5, np.sqrt(3) / 2]])


def _simplex(ax: Axes, x: NDArray[np.float64], y: NDArray[np.float64]) -> None:
    outline = np.vstack([_CORNERS, _CORNERS[:1]])
    ax.plot(outline[:, 0], outline[:, 1], color="0.4", lw=1)
    for k, (cx, cy) in enumerate(_CORNERS):
        ax.annotate(f"action {k + 1}", (cx, cy), ha="center", va="top" if cy == 0 else "bottom",
                    xytext=(0, -6 if cy == 0 else 6), textcoords="offset points")
    for path, name in ((x, "x (row player, minimises)"), (y, "y (column player, maximises)")):
        _path(ax, path @ _CORNERS, name)
    ax.set_aspect("equal")
    ax.set_xlim(-0.08, 1.08)
    ax.set_ylim(-0.3, 0.95)
    ax.axis("off")
    _start_end_legend(ax, loc="lower center", ncol=2, frameon=False)


def _square(ax: Axes, x: NDArray[np.float64], y: NDArray[np.float64]) -> None:
    _path(ax, np.column_stack([x[:, 0], y[:, 0]]), "(x_1, y_1)")
    ax.set_xlim(0, 1)
    ax.set_ylim(0, 1)
    ax.set_aspect("equal")
    ax.set_xlabel("x_1: row player's probability of action 1")
    ax.set_ylabel("y_1: column player's probability of action 1")
    ax.grid(True, alpha=0.3)
    _start_end_legend(ax, loc="upper right")


def _path(ax: Axes, points: NDArray[np.float64], name: str) -> None:
    (line,) = ax.plot(points[:, 0], points[:, 1], lw=1.2, label=name)
    ax.plot(*points[0], "o", mfc="white", color=line.get_color(), ms=6)
    ax.plot(*points[-1], "*", color=line.get_color(), ms=11)


def _start_end_legend(ax: Axes, **where: Any) -> None:
    ax.plot([], [], "o", mfc="white", color="0.3", ls="", label="start")
    ax.plot([], [], "*", color="0.3", ls="", ms=9, label="where the run stopped")
    ax.legend(fontsize="small", **where)


def _over_steps(ax: Axes, x: NDArray[np.float64], y: NDArray[np.float64]) -> None:
    steps = np.arange(len(x))
    for k in range(x.shape[1]):
        ax.plot(steps, x[:, k], lw=1.2, label=f"x_{k + 1} (row player)")
    for k in range(y.shape[1]):
        ax.plot(steps, y[:, k], lw=1.2, ls="--", label=f"y_{k + 1} (column player)")
    ax.set_ylim(0, 1)
    ax.set_xlabel("step")
    ax.set_ylabel("probability of the action")
    ax.grid(True, alpha=0.3)
    ax.legend(loc="best", fontsize="small", ncol=2)
