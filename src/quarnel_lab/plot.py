"""Pictures of runs and sweeps (matplotlib).

Every function draws into ``ax`` when given one and otherwise into a new figure, and returns
the Axes. Nothing here calls ``plt.show()`` or picks a backend: in a script, save with
``ax.figure.savefig(path)``; in Jupyter the figure shows itself.
"""

from __future__ import annotations

import itertools
from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np
from numpy.typing import NDArray

from quarnel_lab import games, native, results, validation

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from quarnel_lab.results import Grid, Sweep, Trajectory

    Result = Union[Trajectory, Sweep, Grid]

__all__ = ["gaps", "sweep", "strategies", "phase", "draw", "overlay", "strategy_panels", "run_length", "HEXBIN_ABOVE",
           "TOLERANCE", "MOST_POINTS", "MOST_ACTIONS"]

TOLERANCE = native.TOLERANCE
"""A run stops at the first step whose duality gap is below this."""

HEXBIN_ABOVE = 3000
"""Sweeps with more trials than this are drawn as a hexbin density instead of single points."""

MOST_POINTS = 4000
"""Longer histories are thinned to about this many points for drawing (extremes and ends kept)."""

MOST_ACTIONS = 10
"""Players with more actions show only their few largest by final weight in colour, the rest grey."""

_COLOURED_ACTIONS = 5


class _Column(NamedTuple):
    label: str
    log: bool  # positive and spanning decades: drawn on a log axis
    mark: str = ""  # the line that reads it: "tolerance" (1e-8, on a gap), else the step budget's label


# What every column of a sweep holds, as axes and colour bars name it.
_COLUMNS: Dict[str, _Column] = {
    "norm_max": _Column("max norm (largest |entry|)", False),
    "norm_infinity": _Column("infinity norm (largest absolute row sum)", False),
    "norm_frobenius": _Column("Frobenius norm", False),
    "max_last": _Column("max_last: largest gap in the tail (payoff units)", True, "tolerance"),
    "var_last": _Column("var_last: gap variance in the tail (payoff units)", True),
    "total_var": _Column("total_var: total variation of the gap (payoff units)", True),
    "last_gap": _Column("duality gap after the last step (payoff units)", True, "tolerance"),
    "steps": _Column("steps to a gap below 1e-8", False, "step budget: not converged"),
    "best_gap": _Column("best_gap: smallest gap of the run (payoff units)", True, "tolerance"),
    "best_step": _Column("best_step: first step with the smallest gap", False),
    "avg_gap": _Column("avg_gap: gap of the average strategies (payoff units)", True),
    "rate": _Column("rate: -slope of ln(gap) per step over the run's second half", False),
    "value": _Column("value of the game", False),
    "support_x": _Column("support_x: actions in the row player's equilibrium", False),
    "support_y": _Column("support_y: actions in the column player's equilibrium", False),
    "min_prob": _Column("min_prob: smallest positive equilibrium probability", True),
    "dist": _Column("dist: L1 distance of the last iterate to the equilibrium", True),
}


def _new_axes(ax: Optional[Axes], size: tuple[float, float] = (6.4, 4.4)) -> Axes:
    if ax is not None:
        return ax
    import matplotlib.pyplot as plt

    return plt.subplots(figsize=size, layout="constrained")[1]


def run_length(gap_history: NDArray[np.float64]) -> int:
    """The number of steps a run took: up to the first gap below 1e-8 (histories of files
    written by earlier versions were padded after it)."""
    return results.run_length(gap_history)


def game_name(a: NDArray[np.float64]) -> str:
    """The built-in name of a payoff matrix, or its shape ("4x4 game")."""
    for name, known in games.BUILTIN_GAMES.items():
        if known.matrix.shape == a.shape and np.array_equal(known.matrix, a):
            return name
    return f"{a.shape[0]}x{a.shape[1]} game"


def run_label(trajectory: Trajectory) -> str:
    """A run's rule and step size (and trial, for a replay)."""
    config = trajectory.config
    if config.get("kind") == "replay":
        sweep_config = config["sweep"]
        return f"{sweep_config['rule']}, eta={sweep_config['eta']:g}, trial {config['trial']}"
    return f"{config.get('rule', 'run')}, eta={config.get('eta', float('nan')):g}"


def _legend(ax: Axes, **where: Any) -> None:
    """A legend with one entry per label, however many times a label was drawn."""
    handles, labels = ax.get_legend_handles_labels()
    unique = dict(zip(labels, handles))
    if unique:
        ax.legend(list(unique.values()), list(unique.keys()), fontsize="small", **where)


def _thinned(values: NDArray[np.float64]) -> NDArray[np.intp]:
    """Indices of rows to draw: all of them for short histories; else, per bucket, the rows of the
    smallest and largest value of each column, plus the first and last row."""
    count = len(values)
    if count <= MOST_POINTS:
        return np.arange(count)
    columns = values.reshape(count, -1)
    buckets = max(1, MOST_POINTS // (2 * columns.shape[1]))
    edges = np.linspace(0, count, buckets + 1).astype(np.intp)
    keep = [np.array([0, count - 1])]
    for low, high in zip(edges[:-1], edges[1:]):
        if high > low:
            part = columns[low:high]
            keep += [low + np.argmin(part, axis=0), low + np.argmax(part, axis=0)]
    return np.unique(np.concatenate(keep))


def gaps(trajectory: Union[Trajectory, Sequence[Trajectory]], ax: Optional[Axes] = None,
         label: Union[None, str, Sequence[str]] = None, **kwargs: Any) -> Axes:
    """Duality gap against step, on a log scale, with the 1e-8 tolerance marked.

    Parameters
    ----------
    trajectory : Trajectory or sequence of Trajectory
        One run, or several (one line each).
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new figure when omitted.
    label : str or sequence of str, optional
        The legend entry of each run; by default its rule and step size (and trial).
    **kwargs
        Passed on to ``Axes.plot`` for every line.

    Returns
    -------
    matplotlib.axes.Axes

    Notes
    -----
    Each line ends at the step where the run stopped, marked with a dot when it converged.
    Long histories are thinned for drawing, keeping each stretch's extremes and the last step.
    A gap of exactly 0 cannot sit on a log axis and is drawn at the bottom edge.
    """
    runs = [trajectory] if not isinstance(trajectory, Sequence) else list(trajectory)
    labels = [label] * len(runs) if label is None or isinstance(label, str) else list(label)
    if len(labels) != len(runs):
        raise ValueError(f"{len(labels)} labels for {len(runs)} runs")
    ax = _new_axes(ax)
    floor = TOLERANCE / 100
    for run, name, style in zip(runs, labels, itertools.cycle(("-", "--", ":", "-."))):
        length = run_length(run.gaps)
        shown = np.maximum(run.gaps[:length], floor)
        rows = _thinned(shown)
        text = name if name is not None else f"{run_label(run)} ({length} steps)"
        (line,) = ax.plot(rows, shown[rows], **{"lw": 1.6, "ls": style, "label": text, **kwargs})
        if length and run.gaps[length - 1] < TOLERANCE:
            ax.plot(length - 1, shown[-1], "o", color=line.get_color(), ms=5)
    _mark_tolerance(ax)
    ax.set_yscale("log")
    ax.set_ylim(bottom=floor / 2)
    ax.set_xlabel("step")
    ax.set_ylabel("duality gap (payoff units)")
    if runs:
        ax.set_title(f"duality gap, {game_name(runs[0].a)}, budget {_budget(runs[0]):,} steps")
    ax.grid(True, which="major", alpha=0.3)
    _legend(ax, loc="upper right")
    return ax


def _budget(trajectory: Trajectory) -> int:
    config = trajectory.config
    return int(config["sweep"]["steps"] if config.get("kind") == "replay" else config.get("steps", trajectory.steps))


def _mark_tolerance(ax: Axes, vertical: bool = False) -> None:
    (ax.axvline if vertical else ax.axhline)(TOLERANCE, color="tab:red", ls=(0, (4, 3)), lw=1, label="tolerance 1e-8")


def sweep(s: Sweep, metric: str = "max_last", norm: Optional[str] = None, ax: Optional[Axes] = None,
          label: Optional[str] = None, *, against: Optional[str] = None, **kwargs: Any) -> Axes:
    """A column of every trial against the norm of its perturbation, or against another column.

    Parameters
    ----------
    s : Sweep
        A scattered, concentric or neighborhood sweep.
    metric : str
        The column on the y axis, any of ``s.columns``: "max_last", "var_last", "total_var",
        "last_gap", "steps", "best_gap", "rate", "min_prob", ...
    norm : {"max", "infinity", "frobenius"}, optional
        The x axis; the sweep's own norm when omitted ("max" for concentric and neighborhood).
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new figure when omitted. Sweeps drawn into one Axes share its legend
        (one entry each) and its title (game, band and budget).
    label : str, optional
        The sweep's legend entry; by default its rule and step size.
    against : str, optional
        Another column for the x axis instead of a norm (for example ``metric="rate",
        against="min_prob"``): one point per trial, whatever the sweep's kind.
    **kwargs
        Passed on to ``Axes.scatter``, ``Axes.hexbin`` or ``Axes.boxplot``.

    Returns
    -------
    matplotlib.axes.Axes

    Notes
    -----
    Columns that are positive and may span decades (the gaps, "min_prob", "dist") are drawn
    on log axes when their values span two or more; counts, norms, "rate" (which may be
    negative) and "value" always on linear ones.
    Scattered and neighborhood sweeps, and every sweep drawn `against` a column: one point per
    trial, or a hexbin density when there are more than ``HEXBIN_ABOVE`` of them. Concentric
    sweeps against the norm: one box per slice, at the slice's band of entry magnitudes, each
    with the number of its trials that ran their whole budget. Trials with a value that
    cannot be drawn (NaN, infinite, or not positive on a log axis) are left out, and the
    legend says how many and why.

    Raises
    ------
    ValueError
        A column the sweep does not have, an unknown norm, or both `norm` and `against`.
    """
    y_column = _column(s, metric, "metric")
    config = s.config
    chosen_norm = norm or str(config.get("norm", "max"))
    if chosen_norm not in validation.NORMS:
        raise ValueError(f"unknown norm {chosen_norm!r}: use one of {', '.join(validation.NORMS)}")
    if against is not None and norm is not None:
        raise ValueError("pass norm= or against=, not both: against= names the x axis's column")
    x_column = _column(s, against, "against") if against is not None else _COLUMNS[f"norm_{chosen_norm}"]
    ax = _new_axes(ax)
    name = label if label is not None else f"{config['rule']}, eta={config['eta']:g}"
    values = np.asarray(s[metric], dtype=np.float64)
    y_log = _log_helps(y_column, values)
    if against is not None:
        positions = np.asarray(s[against], dtype=np.float64)
        x_log = _log_helps(x_column, positions)
        shown, note = _drawable(((against, positions, x_log), (metric, values, y_log)))
        _cloud(ax, positions[shown], values[shown], name, kwargs, x_log, y_log)
        ax.set_xlabel(_axis_label(s, against, x_column))
        if x_log:
            ax.set_xscale("log")
        _mark(ax, s, x_column, vertical=True)
    else:
        shown, note = _drawable(((metric, values, y_log),))
        if s.kind == "concentric":
            _slice_boxes(ax, s, values, shown, name, kwargs)
        else:
            norms = np.asarray(s[f"norm_{chosen_norm}"])
            _cloud(ax, norms[shown], values[shown], name, kwargs, False, y_log)
            ax.set_xlabel(_axis_label(s, f"norm_{chosen_norm}", x_column))
            _never_degenerate(ax, norms, s, chosen_norm)
    _mark(ax, s, y_column, vertical=False)
    if y_log:
        ax.set_yscale("log")
    ax.set_ylabel(y_column.label)
    if note:
        ax.plot([], [], ls="", label=f"{name}: {note}")
    ax.set_title(_sweep_title(s))
    ax.grid(True, which="major", alpha=0.3)
    _legend(ax, loc="best")
    return ax


def _columns(s: Sweep) -> Dict[str, _Column]:
    """How to draw each column of `s` (all but "slice")."""
    hitting_times = {native.tolerance_column(tol): _Column(f"steps to a gap below {tol:g}", False,
                                                           "step budget: never that low")
                     for tol in s.config.get("tolerances", ())}
    known = {**_COLUMNS, **hitting_times}
    return {name: known[name] for name in s.columns if name in known}


def _column(s: Sweep, name: str, argument: str) -> _Column:
    """How to draw the column `name` of `s`; a ValueError naming the `argument` and the columns there are otherwise."""
    drawable = _columns(s)
    if name not in drawable:
        raise ValueError(f"{argument} {name!r} is not a column of this sweep: use one of {', '.join(drawable)}")
    return drawable[name]


def _axis_label(s: Sweep, name: str, column: _Column) -> str:
    if not name.startswith("norm_"):
        return column.label
    return f"{column.label} of the {'matrix' if s.kind == 'neighborhood' else 'perturbation'}"


def _log_helps(column: _Column, values: NDArray[np.float64]) -> bool:
    """A log axis for a column that may span decades, when its positive values span two or more."""
    positive = values[np.isfinite(values) & (values > 0)]
    return column.log and positive.size > 0 and float(positive.max()) >= 100 * float(positive.min())


def _drawable(columns: Sequence[Tuple[str, NDArray[np.float64], bool]]) -> Tuple[NDArray[np.bool_], str]:
    """Which trials can be drawn (finite, and positive on a log axis), and a note on those left out."""
    shown = np.ones(len(columns[0][1]), dtype=bool)
    reasons: List[str] = []
    for name, values, log in columns:
        counts = [(np.count_nonzero(np.isnan(values)), "NaN"), (np.count_nonzero(np.isinf(values)), "infinite"),
                  (np.count_nonzero(values <= 0) if log else 0, "<= 0 (log axis)")]
        if any(count for count, _ in counts):
            reasons.append(f"{name} " + ", ".join(f"{why} {count}" for count, why in counts if count))
        shown &= np.isfinite(values) & ((values > 0) if log else True)
    hidden = int(np.count_nonzero(~shown))
    return shown, (f"{hidden} of {len(shown)} trials not drawn:\n{'; '.join(reasons)}" if hidden else "")


def _mark(ax: Axes, s: Sweep, column: _Column, vertical: bool) -> None:
    """The line that reads a column: the convergence tolerance on a gap, the step budget on a count."""
    if column.mark == "tolerance":
        _mark_tolerance(ax, vertical)
    elif column.mark:
        (ax.axvline if vertical else ax.axhline)(s.config["steps"], color="tab:red", ls=(0, (4, 3)), lw=1,
                                                 label=column.mark)


def _band(config: Dict[str, Any]) -> str:
    if config["kind"] == "neighborhood":
        return f"{config['trials']} given games" + (", rescaled to [0, 1]" if config.get("normalize") else "")
    return f"entries in [{config['inner']:g}, {config['outer']:g})"


def _subject(s: Sweep) -> str:
    return "given games" if s.game is None else game_name(np.asarray(s.game))


def _sweep_title(s: Sweep) -> str:
    config = s.config
    return f"{s.kind} sweep of {_subject(s)}: {_band(config)}, budget {config['steps']:,} steps"


def _never_degenerate(ax: Axes, norms: NDArray[np.float64], s: Sweep, norm: str) -> None:
    """No offset notation on the norm axis, and, where the norms crowd into a sliver (a max norm
    of a large game sits at the band's top), an axis spanning the band of magnitudes."""
    ax.ticklabel_format(axis="x", useOffset=False, style="plain")
    config = s.config
    if norms.size and s.kind != "neighborhood" and norm == "max":
        low, high = float(config["inner"]), float(config["outer"])
        spread = float(np.ptp(norms))
        if spread < 0.1 * (high - low):
            ax.set_xlim(low - 0.03 * (high - low), high + 0.03 * (high - low))


def _cloud(ax: Axes, x: NDArray[np.float64], y: NDArray[np.float64], name: str, kwargs: Dict[str, Any],
           x_log: bool, y_log: bool) -> None:
    if len(x) > HEXBIN_ABOVE:
        scales = {"xscale": "log" if x_log else "linear", "yscale": "log" if y_log else "linear"}
        cells = ax.hexbin(x, y, **{**scales, "bins": "log", "mincnt": 1, "gridsize": 45, "cmap": "viridis",
                                   **kwargs})
        ax.figure.colorbar(cells, ax=ax, label=f"trials per cell ({name})")
    else:
        size = 14 if len(x) < 500 else 7
        ax.scatter(x, y, **{"s": size, "alpha": 0.6, "linewidths": 0, "label": f"{name} ({len(x)} trials)",
                            **kwargs})


def _slice_boxes(ax: Axes, s: Sweep, values: NDArray[np.float64], shown: NDArray[np.bool_], name: str,
                 kwargs: Dict[str, Any]) -> None:
    boundaries = np.asarray(s.slice_boundaries)
    slices = np.asarray(s["slice"])
    capped = np.asarray(s["last_gap"]) >= TOLERANCE
    groups = [values[(slices == k) & shown] for k in range(len(boundaries))]
    centres = boundaries.mean(axis=1)
    width = 0.7 * float(np.min(np.diff(boundaries, axis=1)))
    colour = kwargs.pop("color", None) or f"C{len(ax.patches) // max(len(boundaries), 1) % 10}"
    parts = ax.boxplot(groups, positions=centres, widths=width, manage_ticks=False, patch_artist=True,
                       **{"boxprops": {"facecolor": colour, "alpha": 0.35}, "medianprops": {"color": "black"},
                          "flierprops": {"markersize": 3, "alpha": 0.5}, **kwargs})
    parts["boxes"][0].set_label(name)
    transform = ax.get_xaxis_transform()
    for centre, k in zip(centres, range(len(boundaries))):
        total = int(np.count_nonzero(slices == k))
        ax.text(centre, 0.985, f"{int(np.count_nonzero(capped & (slices == k)))}/{total}", ha="center", va="top",
                fontsize="x-small", transform=transform, bbox={"facecolor": "white", "alpha": 0.7, "lw": 0})
    ax.set_xticks(centres, [f"[{low:.3g}, {high:.3g})" for low, high in boundaries],
                  rotation=30 if len(boundaries) > 6 else 0)
    ax.set_xlim(boundaries[0, 0], boundaries[-1, 1])
    ax.plot([], [], ls="", label="k/n at the top: trials of the slice that ran their whole budget")
    ax.set_xlabel(r"band of perturbation entry magnitudes $|\delta_{ij}|$ (one box per slice)")


def strategies(trajectory: Trajectory, ax: Optional[Axes] = None, label: Optional[str] = None,
               **kwargs: Any) -> Axes:
    """The path of both players' strategies up to the step where the run stopped.

    Three actions each: both paths on the probability simplex (a triangle whose corners
    are the pure strategies). Two actions each: the path in the unit square of the first
    action's probabilities. Otherwise: each action's probability against step; beyond
    ``MOST_ACTIONS`` actions only a player's few largest by final weight are coloured and
    named, the rest drawn thin and grey.

    Parameters
    ----------
    trajectory : Trajectory
        A run with its histories.
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new figure when omitted.
    label : str, optional
        Names the run in the title; by default its rule and step size.
    **kwargs
        Passed on to ``Axes.plot`` for every path.

    Returns
    -------
    matplotlib.axes.Axes
    """
    length = max(run_length(trajectory.gaps), 1)
    x, y = trajectory.x[:length], trajectory.y[:length]
    rows = _thinned(np.hstack([x, y]))
    if x.shape[1] == 3 and y.shape[1] == 3:
        ax = _new_axes(ax, (5.6, 5.2))
        _simplex(ax, x[rows], y[rows], kwargs)
    elif x.shape[1] == 2 and y.shape[1] == 2:
        ax = _new_axes(ax, (5.2, 5.2))
        _square(ax, x[rows], y[rows], kwargs)
    else:
        ax = _new_axes(ax)
        _over_steps(ax, rows, x[rows], y[rows], kwargs)
    name = label if label is not None else run_label(trajectory)
    ax.set_title(f"strategies, {name}, {game_name(trajectory.a)}, {length:,} steps")
    return ax


_CORNERS = np.array([[0.0, 0.0], [1.0, 0.0], [0.5, np.sqrt(3) / 2]])


def _simplex(ax: Axes, x: NDArray[np.float64], y: NDArray[np.float64], kwargs: Dict[str, Any]) -> None:
    outline = np.vstack([_CORNERS, _CORNERS[:1]])
    ax.plot(outline[:, 0], outline[:, 1], color="0.4", lw=1)
    for k, (cx, cy) in enumerate(_CORNERS):
        ax.annotate(f"action {k + 1}", (cx, cy), ha="center", va="top" if cy == 0 else "bottom",
                    xytext=(0, -6 if cy == 0 else 6), textcoords="offset points")
    for path, name in ((x, "x (row player, minimises)"), (y, "y (column player, maximises)")):
        _path(ax, path @ _CORNERS, name, kwargs)
    ax.set_aspect("equal")
    ax.set_xlim(-0.08, 1.08)
    ax.set_ylim(-0.3, 0.95)
    ax.axis("off")
    _start_end_legend(ax, loc="lower center", ncol=2, frameon=False)


def _square(ax: Axes, x: NDArray[np.float64], y: NDArray[np.float64], kwargs: Dict[str, Any]) -> None:
    _path(ax, np.column_stack([x[:, 0], y[:, 0]]), "(x_1, y_1)", kwargs)
    ax.set_xlim(0, 1)
    ax.set_ylim(0, 1)
    ax.set_aspect("equal")
    ax.set_xlabel("x_1: row player's probability of action 1")
    ax.set_ylabel("y_1: column player's probability of action 1")
    ax.grid(True, alpha=0.3)
    _start_end_legend(ax, loc="upper right")


def _path(ax: Axes, points: NDArray[np.float64], name: str, kwargs: Dict[str, Any]) -> None:
    (line,) = ax.plot(points[:, 0], points[:, 1], **{"lw": 1.2, "label": name, **kwargs})
    ax.plot(*points[0], "o", mfc="white", color=line.get_color(), ms=6)
    ax.plot(*points[-1], "*", color=line.get_color(), ms=11)


def _start_end_legend(ax: Axes, **where: Any) -> None:
    ax.plot([], [], "o", mfc="white", color="0.3", ls="", label="start (x0, y0)")
    ax.plot([], [], "*", color="0.3", ls="", ms=9, label="where the run stopped")
    _legend(ax, **where)


def _over_steps(ax: Axes, steps: NDArray[np.intp], x: NDArray[np.float64], y: NDArray[np.float64],
                kwargs: Dict[str, Any]) -> None:
    greyed = False
    for history, player, style in ((x, "x", "-"), (y, "y", "--")):
        actions = history.shape[1]
        coloured = (np.argsort(-history[-1], kind="stable")[:_COLOURED_ACTIONS] if actions > MOST_ACTIONS
                    else np.arange(actions))
        for k in range(actions):
            if k in coloured:
                ax.plot(steps, history[:, k], **{"lw": 1.2, "ls": style, "label": f"{player}_{k + 1}", **kwargs})
            else:
                greyed = True
                ax.plot(steps, history[:, k], color="0.75", lw=0.5, ls=style, zorder=1)
    if greyed:
        ax.plot([], [], color="0.75", lw=0.8, label=f"other actions (beyond the {_COLOURED_ACTIONS} largest by "
                "final weight)")
    ax.set_ylim(0, 1)
    ax.set_xlabel("step")
    ax.set_ylabel("probability of the action (x solid, y dashed)")
    ax.grid(True, alpha=0.3)
    _legend(ax, loc="upper right", ncol=2)


def phase(grid: Grid, metric: str = "converged", ax: Optional[Axes] = None, label: Optional[str] = None,
          **kwargs: Any) -> Axes:
    """A heatmap of a grid: one row per rule (per rule and slice band when sliced), one column per
    step size, coloured by the share of trials converged or the median of a column.

    Parameters
    ----------
    grid : Grid
        A grid of sweeps.
    metric : str
        "converged" (the share of trials whose gap fell below 1e-8 within the budget) or a
        column of the cells, such as "steps", "max_last", "rate" or "min_prob" (its median,
        over the trials where it is not NaN: the colour bar says how many were left out).
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new figure when omitted.
    label : str, optional
        The colour bar's label; by default what the colour shows.
    **kwargs
        Passed on to ``Axes.imshow``.

    Returns
    -------
    matplotlib.axes.Axes
    """
    first = grid.sweep(grid.rules[0], grid.etas[0])
    if metric != "converged":
        try:
            _column(first, metric, "metric")
        except ValueError as error:
            raise ValueError(f"{error} or \"converged\"") from None
    sliced = first.kind == "concentric"
    bands = np.asarray(first.slice_boundaries) if sliced else np.array([[first.config["inner"],
                                                                           first.config["outer"]]])
    rows, names, left_out = [], [], 0
    for rule in grid.rules:
        for band_index, (low, high) in enumerate(bands):
            row = []
            for eta in grid.etas:
                cell = grid.sweep(rule, eta)
                chosen = np.asarray(cell["slice"]) == band_index if sliced else np.ones(len(cell), dtype=bool)
                value, missing = _phase_value(cell, metric, chosen)
                row.append(value)
                left_out += missing
            rows.append(row)
            names.append(f"{rule}, [{low:.3g}, {high:.3g})" if sliced else rule)
    table = np.array(rows, dtype=np.float64)
    ax = _new_axes(ax, (1.6 + 1.1 * len(grid.etas), 1.4 + 0.55 * len(rows)))
    logarithmic = (metric != "converged" and _column(first, metric, "metric").log
                   and np.nanmin(table, initial=np.inf) > 0)
    options: Dict[str, Any] = {"aspect": "auto", "cmap": "viridis", "origin": "upper"}
    if metric == "converged":
        options.update(vmin=0.0, vmax=1.0)
    elif logarithmic:
        from matplotlib.colors import LogNorm

        options["norm"] = LogNorm()
    image = ax.imshow(table, **{**options, **kwargs})
    what = "share of trials converged" if metric == "converged" else f"median {metric}"
    note = f" ({left_out} trials with NaN left out)" if left_out else ""
    ax.figure.colorbar(image, ax=ax, label=label if label is not None else what + note)
    # The colours' places on the colour bar: dark cells (below 0.6 of it) get white text.
    shades = np.asarray(np.ma.filled(image.norm(np.ma.masked_invalid(table)), 1.0), dtype=np.float64)
    for (i, j), value in np.ndenumerate(table):
        text = "-" if not np.isfinite(value) else f"{value:.0%}" if metric == "converged" else f"{value:.3g}"
        ax.text(j, i, text, ha="center", va="center", fontsize="small",
                color="white" if shades[i, j] < 0.6 else "black")
    ax.set_xticks(range(len(grid.etas)), [f"{eta:g}" for eta in grid.etas])
    ax.set_yticks(range(len(names)), names)
    ax.set_xlabel("step size eta")
    config = first.config
    ax.set_title(f"{what}: {first.kind} grid of {_subject(first)}, {_band(config)}, budget {config['steps']:,} "
                 f"steps, {len(first)} trials a cell, seed {grid.seed}", fontsize="medium", wrap=True)
    return ax


def _phase_value(cell: Sweep, metric: str, chosen: NDArray[np.bool_]) -> Tuple[float, int]:
    """The colour of a cell's trials `chosen`, and how many of them were left out as NaN."""
    if metric == "converged":
        return float(np.mean(np.asarray(cell["last_gap"])[chosen] < TOLERANCE)) if np.any(chosen) else np.nan, 0
    values = np.asarray(cell[metric], dtype=np.float64)[chosen]
    known = values[~np.isnan(values)]
    return float(np.median(known)) if known.size else np.nan, len(values) - len(known)


# ----------------------------------------------------------------------------- whole figures
# The pictures the command line writes: figures made without pyplot (no backend is chosen, no
# window opens, nothing is kept alive after the figure is saved).


def _figure(size: tuple[float, float], panels: int = 1) -> Figure:
    from matplotlib.figure import Figure

    figure = Figure(figsize=size, layout="constrained")
    figure.subplots(1, panels)
    return figure


def draw(result: Union[Result, Sequence[Result]], metric: Optional[str] = None, norm: Optional[str] = None,
         names: Optional[Sequence[str]] = None, against: Optional[str] = None) -> Figure:
    """The picture of a result in a figure of its own, as ``quarnel plot`` draws it.

    A run: its gaps and its strategies side by side. A sweep: `metric` ("max_last" unless
    given) against `norm` or the column `against` (:func:`sweep`). A grid: its phase picture
    (:func:`phase`; "converged" unless `metric` names a column). Several runs, or several
    sweeps: drawn together (:func:`overlay`).

    Parameters
    ----------
    result : Trajectory, Sweep or Grid, or a sequence of them
        What to draw.
    metric, norm, against : str, optional
        As in :func:`sweep`.
    names : sequence of str, optional
        For several results: the legend's name of each.

    Returns
    -------
    matplotlib.figure.Figure
        A figure not managed by pyplot: save it with ``figure.savefig(path)``.

    Raises
    ------
    ValueError
        As :func:`sweep`, :func:`phase` and :func:`overlay` do, or `against` for a grid.
    """
    from quarnel_lab.results import Grid, Trajectory

    if isinstance(result, Sequence):
        figure = _figure((7.2, 4.8))
        overlay(result, names, metric=metric or "max_last", norm=norm, against=against, ax=figure.axes[0])
    elif isinstance(result, Trajectory):
        figure = _figure((11.5, 4.6), panels=2)
        gaps(result, ax=figure.axes[0])
        strategies(result, ax=figure.axes[1])
    elif isinstance(result, Grid):
        figure = _figure((2.2 + 1.3 * len(result.etas), 2.2 + 0.6 * len(result.rules)))
        if against is not None:
            raise ValueError("against is for sweeps: a grid is drawn as its phase picture, coloured by metric")
        phase(result, metric=metric or "converged", ax=figure.axes[0])
    else:
        figure = _figure((7.2, 4.8))
        sweep(result, metric=metric or "max_last", norm=norm, against=against, ax=figure.axes[0])
    return figure


def overlay(results: Sequence[Result], names: Optional[Sequence[str]] = None, metric: str = "max_last",
            norm: Optional[str] = None, ax: Optional[Axes] = None, *, against: Optional[str] = None,
            **kwargs: Any) -> Axes:
    """Results of one kind in one Axes: runs' gaps together, or sweeps' clouds or boxes together.

    Parameters
    ----------
    results : sequence of Trajectory, or of Sweep
        Runs, or sweeps (not both; grids are drawn alone).
    names : sequence of str, optional
        Each result's name, put before its rule and step size in the legend.
    metric, norm, against : str, optional
        For sweeps, as in :func:`sweep`.
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new figure when omitted.
    **kwargs
        Passed on to :func:`gaps` or :func:`sweep`.

    Returns
    -------
    matplotlib.axes.Axes

    Raises
    ------
    ValueError
        Runs and sweeps mixed, a grid among them, or not one name per result.
    """
    from quarnel_lab.results import Grid, Trajectory

    kinds = {type(result).__name__ for result in results}
    if len(kinds) > 1 or Grid.__name__ in kinds:
        raise ValueError(f"plot overlays runs with runs or sweeps with sweeps, got {' and '.join(sorted(kinds))}; "
                         "draw a grid alone")
    if names is not None and len(names) != len(results):
        raise ValueError(f"{len(names)} names for {len(results)} results")
    runs = [result for result in results if isinstance(result, Trajectory)]
    if runs:
        labels = None if names is None else [f"{name}: {run_label(run)}" for name, run in zip(names, runs)]
        return gaps(runs, ax=ax, label=labels, **kwargs)
    ax = _new_axes(ax)
    for number, s in enumerate(results):
        assert not isinstance(s, (Trajectory, Grid))
        config = s.config
        label = None if names is None else f"{names[number]}: {config['rule']}, eta={config['eta']:g}"
        sweep(s, metric=metric, norm=norm, ax=ax, label=label, against=against, **kwargs)
    return ax


def strategy_panels(runs: Sequence[Trajectory]) -> Figure:
    """Each run's strategies (:func:`strategies`) in a panel of its own, side by side.

    Returns
    -------
    matplotlib.figure.Figure
        A figure not managed by pyplot: save it with ``figure.savefig(path)``.
    """
    figure = _figure((15, 6), panels=len(runs))
    for trajectory, ax in zip(runs, figure.axes):
        strategies(trajectory, ax=ax)
    return figure
