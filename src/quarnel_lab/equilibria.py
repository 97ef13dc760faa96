"""Each trial's game solved beside the dynamics: its value, an equilibrium, and how far the run ended from it.

The row player ``x`` minimises ``x @ a @ y`` and the column player ``y`` maximises it, so the
value is min over x of max_j (a.T @ x)_j, and x* solves the linear program

    minimise v  subject to  a.T @ x <= v,  sum(x) = 1,  x >= 0,

whose dual solution (the multipliers of the n inequalities, negated) is a y* that maximises
min_i (a @ y)_i. One HiGHS solve (:func:`scipy.optimize.linprog`) gives both. Two kinds of games
need no solver, their equilibrium being exact in closed form: games with a pure saddle point (of
any shape), and 2 x 2 games without one, whose equilibrium is unique and fully mixed.

Each call of the solver costs far more than a small game's program, so the games go to it in
groups, one program of independent blocks. The groups are fixed by the trials' indices alone
(trials [k * size, (k + 1) * size) for :func:`group_size`), never by how a sweep is cut into
chunks: the last bits of a solution, and which equilibrium is found where there are several,
depend on the whole program, so a trial's results stay the same whatever the chunks.

Every game is first scaled by a power of two (exactly), so that its largest payoff magnitude lies
in [0.5, 1): the solver's absolute tolerances then mean the same for every game.
"""
from __future__ import annotations

from typing import Dict, NamedTuple, Tuple

import numpy as np
import numpy.typing as npt

from quarnel_lab.native import Columns, FloatArray

COLUMN_TYPES: Dict[str, type] = {
    "value": np.float64,
    "support_x": np.int64,
    "support_y": np.int64,
    "min_prob": np.float64,
    "dist": np.float64,
}
"""The columns that ``equilibrium=True`` adds to a sweep, in order."""

SUPPORT = 1e-9
"""A probability above this counts as part of a support."""

GROUP_PAYOFFS = 1 << 14
"""About how many payoffs one program holds (measured best): 64 games up to 16 x 16, 16 of 32 x 32, 4 of 64 x 64."""


def group_size(shape: Tuple[int, ...]) -> int:
    """The number of trials whose games are solved as one program: a power of two, from 1 to 64."""
    rows, cols = shape
    return int(min(64, 2 ** max(0, (GROUP_PAYOFFS // (rows * cols)).bit_length() - 1)))


class Solutions(NamedTuple):
    """The value and one equilibrium (x*, y*) of every game of a stack; NaN rows where a game has none to give."""

    value: FloatArray  # (count,)
    x: FloatArray  # (count, rows)
    y: FloatArray  # (count, cols)


def _exponents(games: FloatArray) -> npt.NDArray[np.int64]:
    """Per game, the power of two that brings its largest magnitude into [0.5, 1) (0 for a game of zeros)."""
    exponents: npt.NDArray[np.int64] = np.frexp(np.abs(games).max(axis=(1, 2)))[1].astype(np.int64)
    return exponents


def _pure(games: FloatArray, solutions: Solutions) -> npt.NDArray[np.bool_]:
    """Fill in the games with a pure saddle point; returns which games have one.

    The smallest row maximum is never below the largest column minimum; when they are equal, the
    row of the one and the column of the other meet at an entry equal to both: a saddle point.
    """
    row_max, col_min = games.max(axis=2), games.min(axis=1)
    upper, lower = row_max.min(axis=1), col_min.max(axis=1)
    pure: npt.NDArray[np.bool_] = upper == lower
    where = np.flatnonzero(pure)
    solutions.value[where] = upper[where]
    solutions.x[where, row_max[where].argmin(axis=1)] = 1.0
    solutions.y[where, col_min[where].argmax(axis=1)] = 1.0
    return pure


def _two_by_two(games: FloatArray, solutions: Solutions, where: npt.NDArray[np.intp]) -> None:
    """The 2 x 2 games `where`, none with a saddle point: each player makes the other indifferent.

    Without a saddle point, a11 - a12 and a22 - a21 have one strict sign, and so do a11 - a21 and
    a22 - a12: the denominators are never 0 and every probability lies in [0, 1].
    """
    a11, a12, a21, a22 = (games[where, i, j] for i, j in ((0, 0), (0, 1), (1, 0), (1, 1)))
    rows_apart, cols_apart = a11 - a12, a22 - a21  # x equalises the columns' payoffs
    across = rows_apart + cols_apart
    solutions.x[where, 0], solutions.x[where, 1] = cols_apart / across, rows_apart / across
    first, second = a11 - a21, a22 - a12  # y equalises the rows' payoffs
    down = first + second
    solutions.y[where, 0], solutions.y[where, 1] = second / down, first / down
    solutions.value[where] = (a11 * cols_apart + a21 * rows_apart) / across


def _programs(games: FloatArray, solutions: Solutions, where: npt.NDArray[np.intp]) -> None:
    """The games `where`, one program of independent blocks: minimise the sum of their values."""
    from scipy.optimize import linprog
    from scipy.sparse import csr_matrix

    count, (rows, cols) = len(where), games.shape[1:]
    if not count:
        return
    width = rows + 1  # a block's variables: x, then v
    block, column = np.arange(count)[:, None, None], np.arange(rows)[None, None, :]
    # Block k: a.T @ x_k - v_k <= 0 in rows [k * cols, (k + 1) * cols), and sum(x_k) = 1 in row k.
    inequality = np.arange(cols)[None, :, None] + block * cols
    payoffs = np.broadcast_arrays(games[where].transpose(0, 2, 1), inequality, column + block * width)
    values = np.broadcast_arrays(-1.0, inequality, block * width + rows)
    data, row, col = (np.concatenate((first.ravel(), second.ravel())) for first, second in zip(payoffs, values))
    bounds = np.tile([(0.0, np.inf)] * rows + [(-np.inf, np.inf)], (count, 1))
    objective = np.tile(np.r_[np.zeros(rows), 1.0], count)
    totals = csr_matrix((np.ones(count * rows), (np.repeat(np.arange(count), rows), (column + block * width).ravel())),
                        shape=(count, count * width))
    result = linprog(objective, A_ub=csr_matrix((data, (row, col)), shape=(count * cols, count * width)),
                     b_ub=np.zeros(count * cols), A_eq=totals, b_eq=np.ones(count), bounds=bounds, method="highs")
    if result.status != 0:  # never seen for finite games: each alone, and a row stays NaN if it fails again
        if count > 1:
            for single in range(count):
                _programs(games, solutions, where[single:single + 1])
        return
    found = result.x.reshape(count, width)
    x, y = np.maximum(found[:, :-1], 0.0), np.maximum(-result.ineqlin.marginals.reshape(count, cols), 0.0)
    solutions.x[where], solutions.y[where] = x / x.sum(axis=1, keepdims=True), y / y.sum(axis=1, keepdims=True)
    solutions.value[where] = found[:, -1]


def solve(games: FloatArray) -> Solutions:
    """The value and an equilibrium of every game of the stack `games` (count x rows x cols).

    The stack starts a group: its games go to the solver in groups of :func:`group_size`.
    Where a game has several equilibria, the one returned is a pure saddle point if there is one
    (the first row whose largest payoff is the value, against the first column whose smallest
    payoff is), else the linear program's solution. A game with a non-finite payoff gets NaN.
    """
    games = np.asarray(games, dtype=np.float64)
    count, rows, cols = games.shape
    solutions = Solutions(np.full(count, np.nan), np.zeros((count, rows)), np.zeros((count, cols)))
    finite = np.asarray(np.isfinite(games).all(axis=(1, 2)))
    games = np.where(finite[:, None, None], games, 0.0)  # solved as a game of zeros, then made NaN
    exponents = _exponents(games)
    scaled = np.ldexp(games, -exponents[:, None, None])
    mixed = np.flatnonzero(~_pure(scaled, solutions))
    if (rows, cols) == (2, 2):
        _two_by_two(scaled, solutions, mixed)
    else:
        size = group_size((rows, cols))
        for group in np.split(mixed, np.flatnonzero(np.diff(mixed // size)) + 1):
            _programs(scaled, solutions, group)
    unsolved = ~finite | np.isnan(solutions.value)
    solutions.value[unsolved], solutions.x[unsolved], solutions.y[unsolved] = np.nan, np.nan, np.nan
    solutions.value[:] = np.ldexp(solutions.value, exponents)
    return solutions


def columns(solutions: Solutions, last_x: FloatArray, last_y: FloatArray) -> Columns:
    """The equilibrium columns of a stack's solutions; "dist" from the last rows run, `last_x` and `last_y`."""
    both = np.concatenate((solutions.x, solutions.y), axis=1)
    positive = np.where(both > SUPPORT, both, np.inf)
    unsolved = np.isnan(solutions.value)
    dist = np.abs(last_x - solutions.x).sum(axis=1) + np.abs(last_y - solutions.y).sum(axis=1)
    found: Columns = {
        "value": solutions.value,
        "support_x": (solutions.x > SUPPORT).sum(axis=1),
        "support_y": (solutions.y > SUPPORT).sum(axis=1),
        "min_prob": np.where(unsolved, np.nan, positive.min(axis=1, initial=np.inf)),
        "dist": dist,
    }
    return {name: np.asarray(found[name], dtype=dtype) for name, dtype in COLUMN_TYPES.items()}
