"""A sweep's finished chunks on disk, so that running the sweep again does only the rest.

A checkpoint directory holds manifest.json, {"identity": digest, "config": configuration} of the
sweep it belongs to, created once (by exactly one of several sweeps starting together), and one
file per finished chunk, trials-<first>-<count>.npz: the chunk's columns and its own
configuration, which names the sweep's digest, the trial range and what computed it. Every file is
written atomically (see :mod:`quarnel_lab.files`), so a file under its final name is complete
whenever the process was stopped. A chunk file that is damaged, or not this sweep's, is reported
with a :class:`CheckpointWarning` and never used: its trials are run again.
"""
from __future__ import annotations

import json
import os
import re
import warnings
from typing import Any, Dict, List, Optional

import numpy as np

from quarnel_lab.chunking import Plan
from quarnel_lab.files import PathLike, read_npz, save_npz, write_atomically
from quarnel_lab.native import Columns

MANIFEST = "manifest.json"
CHUNK_FILE = re.compile(r"trials-(\d+)-(\d+)\.npz")


class CheckpointWarning(UserWarning):
    """A file of a checkpoint directory was not used: damaged, or of another sweep."""


def _differences(stored: Dict[str, Any], wanted: Dict[str, Any]) -> str:
    names = sorted(name for name in stored.keys() | wanted.keys() if stored.get(name) != wanted.get(name))
    return "; ".join(f"{name} {stored.get(name)!r} there, {wanted.get(name)!r} here" for name in names) or \
        "another game or another build of quarnel"


def _read_manifest(path: str) -> Dict[str, Any]:
    try:
        with open(path, "rb") as file:
            stored = json.loads(file.read().decode("utf-8"))
        if not isinstance(stored, dict) or not isinstance(stored.get("config"), dict):
            raise ValueError("not a checkpoint manifest")
    except (ValueError, UnicodeDecodeError) as error:
        raise ValueError(f"{path} is damaged ({error}): delete it to start the checkpoint afresh (the chunk "
                         "files name their sweep, so none of another sweep will be used)") from None
    return stored


def recorded_seed(directory: PathLike) -> Optional[int]:
    """The seed of the sweep whose checkpoint `directory` holds; None if it holds none (or no seed)."""
    path = os.path.join(os.fspath(directory), MANIFEST)
    if not os.path.isfile(path):
        return None
    seed = _read_manifest(path)["config"].get("seed")
    return seed if isinstance(seed, int) and not isinstance(seed, bool) and seed >= 0 else None


class Checkpoint:
    """The checkpoint of one sweep in `directory`, created empty if need be.

    Raises
    ------
    ValueError
        If the directory holds the checkpoint of another sweep, or a damaged manifest.
    OSError
        If the directory cannot be made or written.
    """

    def __init__(self, directory: PathLike, plan: Plan) -> None:
        self.directory = os.fspath(directory)
        self.plan = plan
        self.identity = plan.identity()
        os.makedirs(self.directory, exist_ok=True)
        manifest = os.path.join(self.directory, MANIFEST)
        text = json.dumps({"identity": self.identity, "config": plan.config}).encode()
        try:
            write_atomically(manifest, lambda file: file.write(text), exclusive=True)
            return
        except FileExistsError:
            stored = _read_manifest(manifest)
        if stored.get("identity") != self.identity:
            raise ValueError(f"{self.directory} holds the checkpoint of another sweep "
                             f"({_differences(stored['config'], plan.config)}): "
                             "use another directory, or the configuration and seed it was made with")

    def restore(self, columns: Columns) -> List[range]:
        """Fill `columns` with the finished chunks that are this sweep's own; returns their trial ranges."""
        done = []
        for name in sorted(os.listdir(self.directory)):
            match = CHUNK_FILE.fullmatch(name)
            if not match:
                continue
            path = os.path.join(self.directory, name)
            first, count = int(match[1]), int(match[2])
            try:
                part = self._read(path, first, count)
            except ValueError as problem:
                warnings.warn(CheckpointWarning(f"{problem}; not used: its trials are run again"), stacklevel=2)
                continue
            for column_name, column in columns.items():
                column[first:first + count] = part[column_name]
            done.append(range(first, first + count))
        return done

    def _read(self, path: str, first: int, count: int) -> Columns:
        config, arrays = read_npz(path)
        if config.get("sweep") != self.identity:
            raise ValueError(f"{path} belongs to another sweep")
        if (config.get("first"), config.get("count")) != (first, count) or first + count > self.plan.total:
            raise ValueError(f"{path} is damaged: it holds trials [{config.get('first')}, ...) of "
                             f"{config.get('count')}, not what its name says within {self.plan.total} trials")
        for name, dtype in self.plan.dynamics.column_types.items():
            column = arrays.get(name)
            if column is None or column.dtype != np.dtype(dtype) or column.shape != (count,):
                got = "none" if column is None else f"{column.dtype} of shape {column.shape}"
                raise ValueError(f"{path} is damaged: column {name!r} is {got}, not {count} {np.dtype(dtype)} values")
        return arrays

    def save(self, first: int, part: Columns) -> None:
        """Keep a finished chunk."""
        count = len(part["steps"])
        path = os.path.join(self.directory, f"trials-{first}-{count}.npz")
        config = {"kind": "chunk", "sweep": self.identity, "first": first, "count": count,
                  "version": self.plan.made_by.version, "build": self.plan.made_by.build}
        save_npz(path, config, dict(part))
