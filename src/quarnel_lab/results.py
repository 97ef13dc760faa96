"""The result types, Sweep and Trajectory, and their .npz files.

File layout: a "config" entry holds the configuration as JSON text (a 0-d string array, so the
file loads with ``allow_pickle=False``); a sweep adds one array per column (and "matrices" for a
neighborhood sweep), a trajectory the arrays "a", "x", "y" and "gaps".
"""
from __future__ import annotations

import copy
import json
import os
from importlib import metadata
from typing import Any, Dict, Mapping, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from quarnel_lab import native
from quarnel_lab.native import COLUMN_TYPES, FloatArray
from quarnel_lab.seeding import sweep_key

PACKAGE_VERSION = metadata.version("quarnel")

PathLike = Union[str, "os.PathLike[str]"]
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


def _frozen(array: npt.NDArray[Any]) -> npt.NDArray[Any]:
    array.flags.writeable = False
    return array


def _write(path: PathLike, config: Config, arrays: Mapping[str, npt.NDArray[Any]]) -> None:
    # Through a file object, so that numpy writes to `path` exactly instead of adding ".npz".
    entries: Dict[str, Any] = {"config": np.array(json.dumps(config)), **arrays}
    with open(path, "wb") as file:
        np.savez(file, **entries)


class Trajectory:
    """One full convergence run: the payoff matrix and the strategy and gap histories.

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
    """

    def __init__(self, a: FloatArray, x: FloatArray, y: FloatArray, gaps: FloatArray, config: Config) -> None:
        self.a, self.x, self.y, self.gaps = (_frozen(array) for array in (a, x, y, gaps))
        self.config = config

    def save(self, path: PathLike) -> None:
        """Write the trajectory to the .npz file `path`; :func:`quarnel_lab.load` reads it back."""
        _write(path, self.config, dict(zip(TRAJECTORY_ARRAYS, (self.a, self.x, self.y, self.gaps))))

    def __repr__(self) -> str:
        return f"Trajectory({self.config['kind']}, {self.a.shape[0]}x{self.a.shape[1]} game, {len(self.gaps)} steps)"


class Sweep:
    """The per-trial results of a scattered, concentric or neighborhood sweep.

    ``s[name]`` is a 1-D array with one entry per trial, for each name in ``s.columns``:
    "norm_max", "norm_infinity", "norm_frobenius" (norms of the perturbation alone; of the matrix
    run for a neighborhood sweep), "max_last", "var_last", "total_var" (convergence metrics of
    the gap history), "last_gap", "steps" (steps to a gap below 1e-8, else the step budget) and,
    for a concentric sweep, "slice".
    """

    def __init__(self, columns: Mapping[str, npt.NDArray[Any]], config: Config,
                 matrices: Optional[FloatArray] = None) -> None:
        self._columns = {name: _frozen(array) for name, array in columns.items()}
        self._config = config
        self._matrices = matrices

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

    def save(self, path: PathLike) -> None:
        """Write the sweep to the .npz file `path`; :func:`quarnel_lab.load` reads it back."""
        arrays = dict(self._columns)
        if self._matrices is not None:
            arrays["matrices"] = self._matrices
        _write(path, self._config, arrays)

    def replay(self, trial: int) -> Trajectory:
        """The full run of one trial, with its histories.

        It is a convergence run of the trial's matrix from the uniform start with a fresh
        optimizer, the run the sweep reduced to row `trial` of its columns.

        Parameters
        ----------
        trial : int
            The trial's index, 0 <= trial < len(self) (negative indices count from the end).
        """
        index = self._index(trial)
        matrix = self._matrix(index)
        config = self._config
        x, y, gaps = native.experiment(matrix, config["rule"], config["eta"], config["steps"])
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
            matrix: FloatArray = self._matrices[index].copy()
            if config["normalize"]:  # the engine's min-max rescaling, operation for operation
                matrix = (matrix - matrix.min()) / (matrix.max() - matrix.min())
            return matrix
        base = np.asarray(config["game"], dtype=np.float64)
        low, high = config["inner"], config["outer"]
        if self.kind == "concentric":
            low, high = self.slice_boundaries[index // (config["trials"] // config["slices"])]
        return native.perturbation(sweep_key(config["seed"]), index, base.shape, low, high) + base


def load(path: PathLike) -> Union[Sweep, Trajectory]:
    """Read a sweep or trajectory saved with ``save``.

    Parameters
    ----------
    path : str or os.PathLike
        The .npz file.

    Raises
    ------
    ValueError
        If the file was not written by quarnel_lab.
    """
    with np.load(path, allow_pickle=False) as data:
        if "config" not in data.files:
            raise ValueError(f"{os.fspath(path)} was not saved by quarnel_lab: it has no configuration")
        config = json.loads(str(data["config"][()]))
        kind = config.get("kind")
        if kind in TRAJECTORY_KINDS:
            return Trajectory(data["a"], data["x"], data["y"], data["gaps"], config)
        if kind not in SWEEP_KINDS:
            raise ValueError(f"{os.fspath(path)} was not saved by quarnel_lab: unknown kind {kind!r}")
        names = list(COLUMN_TYPES) + (["slice"] if kind == "concentric" else [])
        matrices = data["matrices"] if kind == "neighborhood" else None
        return Sweep({name: data[name] for name in names}, config, matrices)
