"""The result types, Sweep and Trajectory, and their .npz files.

File layout: a "config" entry holds the configuration as JSON text (a 0-d string array, so the
file loads with ``allow_pickle=False``); a sweep adds one array per column and its games ("game",
the base game of a scattered or concentric sweep; "matrices", the stack of a neighborhood
sweep), a trajectory the arrays "a", "x", "y" and "gaps". :func:`load` checks that they agree.
"""
from __future__ import annotations

import copy
import importlib
import os
from importlib import metadata
from typing import Any, Dict, Iterator, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from quarnel_lab import native
from quarnel_lab.chunking import column_types, trial_games
from quarnel_lab.files import PathLike, read_npz, save_npz
from quarnel_lab.native import MEASURES, FloatArray
from quarnel_lab.seeding import sweep_key

PACKAGE_VERSION = metadata.version("quarnel")

Config = Dict[str, Any]

SWEEP_KINDS = ("scattered", "concentric", "neighborhood")
TRAJECTORY_KINDS = ("run", "replay")
TRAJECTORY_ARRAYS = ("a", "x", "y", "gaps")


def new_config(kind: str, **fields: Any) -> Config:
    """A configuration of plain values, stamped with its kind and the package version."""
    return {"kind": kind, **fields, "version": PACKAGE_VERSION}


def slice_boundaries(inner: float, outer: float, slices: int) -> FloatArray:
    """Row i = (low, high) of slice i, both computed from `inner`, never by adding widths up."""
    width = (outer - inner) / slices
    index = np.arange(slices, dtype=np.float64)
    return np.column_stack((inner + width * index, inner + width * (index + 1.0)))


def start_of(config: Config) -> Optional[native.Start]:
    """The start a configuration records (None: the uniform start, and in files of earlier versions)."""
    if config.get("x0") is None and config.get("y0") is None:
        return None
    return native.Start(np.asarray(config["x0"], dtype=np.float64), np.asarray(config["y0"], dtype=np.float64))


def _frozen(array: npt.NDArray[Any]) -> npt.NDArray[Any]:
    array.flags.writeable = False
    return array


def run_length(gaps: FloatArray) -> int:
    """Rows a run ran: up to and including the first gap below 1e-8, else all of them."""
    below = np.flatnonzero(np.asarray(gaps) < native.TOLERANCE)
    return int(below[0]) + 1 if below.size else len(gaps)


class Trajectory:
    """One convergence run: the payoff matrix and the strategy and gap histories of the steps run.

    Attributes
    ----------
    a : numpy.ndarray
        The payoff matrix that was run, shape (m, n).
    x, y : numpy.ndarray
        Row k = the row (column) player's strategy before step k, shapes (steps, m) and (steps, n).
    gaps : numpy.ndarray
        Entry k = the duality gap of row k, shape (steps,).
    config : dict
        How the run was made: kind "run" (from :func:`quarnel_lab.run`) or "replay" (from
        :meth:`Sweep.replay`, with the trial index and the sweep's configuration).

    Histories padded to the step budget (files saved by earlier versions) are cut at the first
    gap below 1e-8, as a run now stops there.
    """

    def __init__(self, a: FloatArray, x: FloatArray, y: FloatArray, gaps: FloatArray, config: Config) -> None:
        rows = run_length(gaps)
        if rows < len(gaps):  # copies, so that the padding is not kept alive
            x, y, gaps = x[:rows].copy(), y[:rows].copy(), gaps[:rows].copy()
        self.a, self.x, self.y, self.gaps = (_frozen(array) for array in (a, x, y, gaps))
        self.config = config

    @property
    def steps(self) -> int:
        """The steps run: up to and including the first gap below 1e-8, else the step budget."""
        return len(self.gaps)

    @property
    def converged(self) -> bool:
        """Whether the run reached a duality gap below 1e-8 within its budget."""
        return bool(len(self.gaps)) and bool(self.gaps[-1] < native.TOLERANCE)

    def save(self, path: PathLike) -> None:
        """Write the trajectory to the .npz file `path`; :func:`quarnel_lab.load` reads it back."""
        save_npz(path, self.config, dict(zip(TRAJECTORY_ARRAYS, (self.a, self.x, self.y, self.gaps))))

    def __repr__(self) -> str:
        state = "converged" if self.converged else "not converged"
        return (f"Trajectory({self.config['kind']}, {self.a.shape[0]}x{self.a.shape[1]} game, {self.steps} steps, "
                f"{state})")


class Sweep:
    """The per-trial results of a scattered, concentric or neighborhood sweep.

    ``s[name]`` is a 1-D array with one entry per trial, for each name in ``s.columns``:
    "norm_max", "norm_infinity", "norm_frobenius" (norms of the perturbation alone; of the matrix
    run for a neighborhood sweep), "max_last", "var_last", "total_var" (convergence metrics of
    the gap history), "last_gap", "steps" (steps to a gap below 1e-8, else the step budget),
    "best_gap" (the smallest gap of the rows run) and "best_step" (its first row), "avg_gap" (the
    duality gap of the average of the rows run), "rate" (minus the least-squares slope of ln gap
    against the row over the second half of the rows run, those with a positive finite gap: a
    positive rate is a linear contraction; NaN with fewer than two such rows), one column of
    hitting times per tolerance of the sweep (``quarnel_lab.native.tolerance_column``), for a
    concentric sweep "slice", and for a sweep run with ``equilibrium=True`` "value",
    "support_x", "support_y", "min_prob" and "dist" (see :func:`quarnel_lab.scattered`).
    Sweeps saved by quarnel_lab before the measures lack "best_gap" to "rate".
    """

    def __init__(self, columns: Mapping[str, npt.NDArray[Any]], config: Config,
                 matrices: Optional[FloatArray] = None, *, game: Optional[FloatArray] = None) -> None:
        self._columns = {name: _frozen(array) for name, array in columns.items()}
        self._config = config
        self._matrices = None if matrices is None else _frozen(matrices)
        self._game = None if game is None else _frozen(game)

    def __len__(self) -> int:
        return len(self._columns["steps"])

    def __getitem__(self, name: str) -> npt.NDArray[Any]:
        if name not in self._columns:
            raise KeyError(f"no column {name!r}: the columns are {', '.join(self._columns)}")
        return self._columns[name]

    def __repr__(self) -> str:
        seed = "" if self.seed is None else f", seed={self.seed}"
        return f"Sweep({self.kind}, {len(self)} trials{seed})"

    @property
    def columns(self) -> Tuple[str, ...]:
        """The column names, in order."""
        return tuple(self._columns)

    @property
    def config(self) -> Config:
        """A copy of the configuration: plain values that describe the sweep, package version included."""
        return copy.deepcopy(self._config)

    @property
    def game(self) -> Optional[FloatArray]:
        """The base game that a scattered or concentric sweep perturbs (None for a neighborhood sweep)."""
        return self._game

    @property
    def kind(self) -> str:
        """The sweep's kind: "scattered", "concentric" or "neighborhood"."""
        return str(self._config["kind"])

    @property
    def seed(self) -> Optional[int]:
        """The seed that reproduces the sweep (None for a neighborhood sweep, which draws nothing)."""
        seed = self._config.get("seed")
        return None if seed is None else int(seed)

    @property
    def slice_boundaries(self) -> FloatArray:
        """Row i = (low, high) of slice i of a concentric sweep, as the module's concentric exploration has them."""
        if self.kind != "concentric":
            raise AttributeError(f"a {self.kind} sweep has no slices")
        return _frozen(slice_boundaries(self._config["inner"], self._config["outer"], self._config["slices"]))

    def to_pandas(self) -> Any:
        """The sweep as a pandas DataFrame: one row per trial, the columns in order.

        Needs pandas (``pip install 'quarnel[pandas]'``), imported only here.
        """
        return _pandas().DataFrame(dict(self._columns))

    def save(self, path: PathLike) -> None:
        """Write the sweep to the .npz file `path`; :func:`quarnel_lab.load` reads it back."""
        arrays = self._arrays()
        save_npz(path, self._config, arrays)

    def _arrays(self) -> Dict[str, npt.NDArray[Any]]:
        arrays = dict(self._columns)
        for name, games in (("matrices", self._matrices), ("game", self._game)):
            if games is not None:
                arrays[name] = games
        return arrays

    def replay(self, trial: int) -> Trajectory:
        """The full run of one trial, with its histories.

        It is a convergence run of the trial's matrix from the sweep's start (``x0``, ``y0``;
        uniform when it had none) with a fresh optimizer, the run the sweep reduced to row
        `trial` of its columns.

        Parameters
        ----------
        trial : int
            The trial's index, 0 <= trial < len(self) (negative indices count from the end).
        """
        index = self._index(trial)
        matrix = self._matrix(index)
        config = self._config
        x, y, gaps = native.experiment(matrix, config["rule"], config["eta"], config["steps"], start_of(config))
        return Trajectory(matrix, x, y, gaps, new_config("replay", trial=index, sweep=self.config))

    def _index(self, trial: int) -> int:
        if isinstance(trial, bool) or not isinstance(trial, (int, np.integer)):
            raise TypeError(f"trial must be an integer, got {type(trial).__name__}")
        if not -len(self) <= trial < len(self):
            raise IndexError(f"trial {trial} is out of range for a sweep of {len(self)} trials")
        return int(trial) % len(self)

    def _matrix(self, index: int) -> FloatArray:
        config = self._config
        if self._matrices is not None:
            games = trial_games(self._matrices[index:index + 1], None, index, 1, (0.0, 0.0), config["normalize"])
            matrix: FloatArray = games[0].copy()
            return matrix
        base = self._game
        assert base is not None
        low, high = config["inner"], config["outer"]
        if self.kind == "concentric":
            low, high = self.slice_boundaries[index // (config["trials"] // config["slices"])]
        drawn: FloatArray = trial_games(base, sweep_key(config["seed"]), index, 1, (float(low), float(high)), False)[0]
        return drawn


def _pandas() -> Any:
    try:
        pandas = importlib.import_module("pandas")
    except ImportError:
        raise ImportError("to_pandas() needs pandas: pip install 'quarnel[pandas]' (or pip install pandas)") from None
    return pandas


class Grid:
    """Sweeps of one game over learning rules and step sizes, all with the same seed.

    Cell (rule, eta) is the sweep :func:`quarnel_lab.grid` ran for that pair; every cell draws
    the same perturbations (common random numbers), so cells compare trial by trial.
    """

    def __init__(self, cells: Mapping[Tuple[str, float], Sweep], rules: Sequence[str], etas: Sequence[float],
                 seed: int) -> None:
        self._cells = dict(cells)
        self._rules, self._etas, self._seed = tuple(rules), tuple(float(eta) for eta in etas), int(seed)

    @property
    def rules(self) -> Tuple[str, ...]:
        """The learning rules, in order."""
        return self._rules

    @property
    def etas(self) -> Tuple[float, ...]:
        """The step sizes, in order."""
        return self._etas

    @property
    def seed(self) -> int:
        """The seed every cell ran with."""
        return self._seed

    @property
    def kind(self) -> str:
        """The cells' kind: "scattered" or "concentric"."""
        return self.sweep(self._rules[0], self._etas[0]).kind

    def sweep(self, rule: str, eta: float) -> Sweep:
        """The cell of `rule` and `eta`."""
        try:
            return self._cells[(rule, float(eta))]
        except (KeyError, TypeError, ValueError):
            raise KeyError(f"no cell ({rule!r}, {eta!r}): the rules are {', '.join(self._rules)} and the step "
                           f"sizes {', '.join(f'{e:g}' for e in self._etas)}") from None

    def cells(self) -> Iterator[Tuple[str, float, Sweep]]:
        """(rule, eta, sweep) for every cell, rule by rule."""
        for rule in self._rules:
            for eta in self._etas:
                yield rule, eta, self._cells[(rule, eta)]

    def to_pandas(self) -> Any:
        """One row per (rule, eta, trial): columns "rule", "eta", then every sweep column."""
        pandas = _pandas()
        frames = []
        for rule, eta, cell in self.cells():
            frame = cell.to_pandas()
            frame.insert(0, "eta", eta)
            frame.insert(0, "rule", rule)
            frames.append(frame)
        return pandas.concat(frames, ignore_index=True)

    def save(self, path: PathLike) -> None:
        """Write the grid to the .npz file `path`; :func:`quarnel_lab.load` reads it back."""
        arrays: Dict[str, npt.NDArray[Any]] = {}
        configs = []
        for number, (_, _, cell) in enumerate(self.cells()):
            configs.append(cell.config)
            arrays.update({f"cell{number}.{name}": array for name, array in cell._arrays().items()})
        config = new_config("grid", rules=list(self._rules), etas=list(self._etas), seed=self._seed, cells=configs)
        save_npz(path, config, arrays)

    def __repr__(self) -> str:
        return (f"Grid({self.kind}, rules {', '.join(self._rules)}, etas {', '.join(f'{e:g}' for e in self._etas)}, "
                f"seed={self._seed})")


def load(path: PathLike) -> Union[Sweep, Trajectory, Grid]:
    """Read a sweep or trajectory saved with ``save``, checking that its contents agree.

    Parameters
    ----------
    path : str or os.PathLike
        The .npz file.

    Raises
    ------
    ValueError
        If the file is damaged, was not written by quarnel_lab, or its configuration, arrays and
        lengths disagree; the message names the file and what is wrong.
    FileNotFoundError, PermissionError, IsADirectoryError
        If it cannot be opened.
    """
    config, arrays = read_npz(path)
    contents = _Contents(os.fspath(path), config, arrays)
    kind = config.get("kind")
    if kind in TRAJECTORY_KINDS:
        return contents.trajectory()
    if kind in SWEEP_KINDS:
        return contents.sweep()
    if kind == "grid":
        return contents.grid()
    raise ValueError(f"{os.fspath(path)} was not saved by quarnel_lab: unknown kind {kind!r}")


class _Contents:
    """The entries of a result file, each checked against the configuration as it is taken."""

    def __init__(self, name: str, config: Config, arrays: Dict[str, npt.NDArray[Any]]) -> None:
        self.name, self.config, self.arrays = name, config, arrays

    def fail(self, what: str) -> ValueError:
        return ValueError(f"{self.name} is damaged or inconsistent: {what}")

    def setting(self, key: str, kind: Union[type, Tuple[type, ...]], minimum: int = 1) -> Any:
        """The configuration's `key`, of type `kind` (an int: at least `minimum`)."""
        value = self.config.get(key)
        if (isinstance(value, bool) and kind is not bool) or not isinstance(value, kind) or \
                (kind is int and self.config[key] < minimum):
            raise self.fail(f"its configuration has {key} = {value!r}")
        return value

    def array(self, key: str, dtype: Any, shape: Tuple[Optional[int], ...]) -> npt.NDArray[Any]:
        """The entry `key`, of `dtype` and `shape` (None: any length there)."""
        if key not in self.arrays:
            raise self.fail(f"it has no {key!r} entry")
        array = self.arrays[key]
        if array.dtype != np.dtype(dtype):
            raise self.fail(f"{key!r} holds {array.dtype} values, not {np.dtype(dtype)}")
        if array.ndim != len(shape):
            raise self.fail(f"{key!r} is {array.ndim}-D, not {len(shape)}-D")
        for axis, (got, wanted) in enumerate(zip(array.shape, shape)):
            if wanted is not None and got != wanted:
                rows = "rows" if axis == 0 else f"entries along axis {axis}"
                raise self.fail(f"{key!r} has {got} {rows} where the rest of the file says {wanted}")
        return array

    def trajectory(self) -> Trajectory:
        a = self.array("a", np.float64, (None, None))
        gaps = self.array("gaps", np.float64, (None,))
        x = self.array("x", np.float64, (len(gaps), a.shape[0]))
        y = self.array("y", np.float64, (len(gaps), a.shape[1]))
        steps = self.setting("steps", int) if self.config["kind"] == "run" else len(gaps)
        if len(gaps) > steps:
            raise self.fail(f"{len(gaps)} steps recorded for a budget of {steps}")
        return Trajectory(a, x, y, gaps, self.config)

    def grid(self) -> Grid:
        rules, etas, cells = self.setting("rules", list), self.setting("etas", list), self.setting("cells", list)
        if len(cells) != len(rules) * len(etas) or not cells:
            raise self.fail(f"{len(cells)} cells for {len(rules)} rules and {len(etas)} step sizes")
        sweeps = {}
        for number, cell in enumerate(cells):
            prefix = f"cell{number}."
            arrays = {name[len(prefix):]: array for name, array in self.arrays.items() if name.startswith(prefix)}
            sweeps[(rules[number // len(etas)], float(etas[number % len(etas)]))] = _Contents(
                f"{self.name} (cell {number})", cell, arrays).sweep()
        return Grid(sweeps, rules, etas, self.setting("seed", int))

    def sweep(self) -> Sweep:
        kind, config = self.config["kind"], self.config
        for key, kinds in (("rule", str), ("eta", (int, float)), ("steps", int), ("cutoff", (int, float))):
            self.setting(key, kinds)
        trials = self.setting("trials", int)
        matrices = game = None
        if kind == "neighborhood":
            self.setting("normalize", bool)
            matrices = self.array("matrices", np.float64, (trials, None, None))
        elif "game" in self.arrays:
            game = self.array("game", np.float64, (None, None))
        else:  # files of quarnel_lab 0.1 kept the base game in the configuration
            config = {name: value for name, value in config.items() if name != "game"}
            try:
                game = np.array(self.config["game"], dtype=np.float64)
            except (KeyError, TypeError, ValueError):
                raise self.fail("it has no base game") from None
            if game.ndim != 2:
                raise self.fail(f"its base game has shape {game.shape}")
        if kind != "neighborhood":
            self.setting("seed", int, minimum=0)
            self.setting("inner", (int, float)), self.setting("outer", (int, float))
        if kind == "concentric":
            trials -= trials % self.setting("slices", int)
        if "equilibrium" in config:  # files saved before equilibria were solved have none
            self.setting("equilibrium", bool)
        tolerances = config.get("tolerances", [])  # files saved before hitting times have none
        if not isinstance(tolerances, list) or not all(
                isinstance(tol, (int, float)) and not isinstance(tol, bool) for tol in tolerances):
            raise self.fail(f"its configuration has tolerances = {tolerances!r}")
        types = {**column_types(tolerances=tolerances, equilibrium=config.get("equilibrium", False)),
                 **({"slice": np.int64} if kind == "concentric" else {})}
        if not any(name in self.arrays for name in MEASURES):  # saved before sweeps measured trials
            types = {name: dtype for name, dtype in types.items() if name not in MEASURES}
        columns = {name: self.array(name, dtype, (trials,)) for name, dtype in types.items()}
        return Sweep(columns, config, matrices, game=game)
