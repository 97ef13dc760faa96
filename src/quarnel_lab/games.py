"""Built-in games and the loading of payoff matrices and stacks from files.

Payoffs follow the module's orientation: the row player (``x``) minimises ``x @ a @ y``,
the column player (``y``) maximises it.
"""

from __future__ import annotations

from pathlib import Path
from typing import NamedTuple

import numpy as np
from numpy.typing import NDArray

__all__ = ["Game", "BUILTIN_GAMES", "game", "load_matrix", "load_stack"]


class Game(NamedTuple):
    """A named payoff matrix with a one-line description."""

    matrix: NDArray[np.float64]
    description: str


def _matrix(rows: list[list[float]]) -> NDArray[np.float64]:
    out = np.array(rows, dtype=np.float64)
    out.flags.writeable = False
    return out


BUILTIN_GAMES: dict[str, Game] = {
    "matching-pennies": Game(
        _matrix([[1, -1], [-1, 1]]), "2x2, unique equilibrium (1/2, 1/2), value 0"
    ),
    "rps": Game(
        _matrix([[0, 1, -1], [-1, 0, 1], [1, -1, 0]]),
        "rock-paper-scissors, 3x3, uniform equilibrium",
    ),
    "biased-rps": Game(
        _matrix([[0, 2, -1], [-1, 0, 1], [1, -1, 0]]),
        "rock-paper-scissors with one doubled payoff, 3x3, equilibrium x = (1/4, 1/3, 5/12)",
    ),
    "rpsls": Game(
        _matrix([[0, 1, -1, -1, 1], [-1, 0, 1, 1, -1], [1, -1, 0, -1, 1],
                 [1, -1, 1, 0, -1], [-1, 1, -1, 1, 0]]),
        "rock-paper-scissors-lizard-spock, 5x5, uniform equilibrium",
    ),
    "saddle": Game(
        _matrix([[2, 3], [1, 4]]), "2x2 with a pure equilibrium (row 1, column 2), value 3"
    ),
    "two-by-three": Game(
        _matrix([[3, -1, 0], [-2, 1, 2]]), "2x3, non-square (the optimizer's dim is 1)"
    ),
}

_FORMATS = ".npy, .csv or whitespace-separated .txt"


def game(name_or_path: str) -> NDArray[np.float64]:
    """Return the payoff matrix of a built-in game or of a matrix file.

    Parameters
    ----------
    name_or_path : str
        A key of ``BUILTIN_GAMES`` or a path to a ``.npy``, ``.csv`` or ``.txt`` matrix.

    Returns
    -------
    NDArray[np.float64]
        A new 2-D float64 array.

    Raises
    ------
    ValueError
        Neither a built-in name nor a readable matrix file; the message says which.
    """
    builtin = BUILTIN_GAMES.get(name_or_path)
    if builtin is not None:
        return builtin.matrix.copy()
    if Path(name_or_path).suffix.lower() not in (".npy", ".csv", ".txt"):
        raise ValueError(
            f"unknown game {name_or_path!r}: use one of {', '.join(BUILTIN_GAMES)} "
            f"or a path to a {_FORMATS} matrix"
        )
    return load_matrix(name_or_path)


def load_matrix(path: str | Path) -> NDArray[np.float64]:
    """Read a 2-D payoff matrix from a ``.npy``, ``.csv`` or whitespace-separated ``.txt`` file.

    Raises
    ------
    ValueError
        The file is missing or unreadable, holds non-numeric entries, or is not 2-D.
    """
    matrix = _read(Path(path))
    if matrix.ndim != 2:
        raise ValueError(f"{path}: holds an array of shape {matrix.shape}; a game is a 2-D matrix")
    return matrix


def load_stack(path: str | Path) -> NDArray[np.float64]:
    """Read a stack of payoff matrices, shape (K, rows, cols), from a ``.npy`` file.

    Raises
    ------
    ValueError
        The file is missing, unreadable or not ``.npy``, or the array is not 3-D.
    """
    path = Path(path)
    if path.suffix.lower() != ".npy":
        raise ValueError(f"{path}: a stack is a .npy file of shape (K, rows, cols)")
    stack = _read(path)
    if stack.ndim != 3:
        raise ValueError(
            f"{path}: holds an array of shape {stack.shape}; a stack has shape (K, rows, cols)"
        )
    return stack


def _read(path: Path) -> NDArray[np.float64]:
    try:
        if path.suffix.lower() == ".npy":
            raw = np.load(path, allow_pickle=False)
        else:
            delimiter = "," if path.suffix.lower() == ".csv" else None
            try:
                raw = np.loadtxt(path, delimiter=delimiter, ndmin=2, comments="#")
            except ValueError:  # a header row of column names, as spreadsheets write
                raw = np.loadtxt(path, delimiter=delimiter, ndmin=2, comments="#", skiprows=1)
        return np.asarray(raw, dtype=np.float64)
    except FileNotFoundError:
        raise ValueError(f"{path}: no such file (check the path)") from None
    except (OSError, ValueError, TypeError) as error:
        raise ValueError(f"{path}: not a numeric {_FORMATS} matrix ({error})") from None
