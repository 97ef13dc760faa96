"""A sweep's finished chunks on disk, so that running the sweep again does only the rest.

A checkpoint directory holds manifest.json, {"identity": digest, "config": configuration} of the
sweep it belongs to, and one file per finished chunk, trials-<first>-<count>.npz, with one array
per column. Every file is written under a temporary name, flushed to disk and then renamed, so
a file under its final name is complete, whenever the process was stopped.
"""
from __future__ import annotations

import json
import os
import re
from typing import Any, Callable, Dict, List

import numpy as np

from quarnel_lab.chunking import Plan
from quarnel_lab.native import Columns
from quarnel_lab.results import PathLike

MANIFEST = "manifest.json"
CHUNK_FILE = re.compile(r"trials-(\d+)-(\d+)\.npz")


def _write_atomically(path: str, write: Callable[[Any], None]) -> None:
    temporary = f"{path}.{os.getpid()}.partial"
    with open(temporary, "wb") as file:
        write(file)
        file.flush()
        os.fsync(file.fileno())
    os.replace(temporary, path)


def _differences(stored: Dict[str, Any], wanted: Dict[str, Any]) -> str:
    names = sorted(name for name in stored.keys() | wanted.keys() if stored.get(name) != wanted.get(name))
    shown = [f"{name} {stored.get(name)!r} there, {wanted.get(name)!r} here" for name in names if name != "game"]
    return "; ".join(shown + (["another game"] if "game" in names else [])) or "other matrices"


class Checkpoint:
    """The checkpoint of one sweep in `directory`, created empty if need be.

    Raises
    ------
    ValueError
        If the directory holds the checkpoint of another sweep.
    """

    def __init__(self, directory: PathLike, plan: Plan) -> None:
        self.directory = os.fspath(directory)
        os.makedirs(self.directory, exist_ok=True)
        manifest = os.path.join(self.directory, MANIFEST)
        identity = plan.identity()
        if not os.path.exists(manifest):
            text = json.dumps({"identity": identity, "config": plan.config}).encode()
            _write_atomically(manifest, lambda file: file.write(text))
            return
        with open(manifest, encoding="utf-8") as file:
            stored = json.load(file)
        if stored.get("identity") != identity:
            raise ValueError(f"{self.directory} holds the checkpoint of another sweep "
                             f"({_differences(stored.get('config', {}), plan.config)}): "
                             "use another directory, or the configuration and seed it was made with")

    def restore(self, columns: Columns) -> List[range]:
        """Fill `columns` with the finished chunks; returns their trial ranges."""
        done = []
        for name in os.listdir(self.directory):
            match = CHUNK_FILE.fullmatch(name)
            if match:
                first, count = int(match[1]), int(match[2])
                with np.load(os.path.join(self.directory, name), allow_pickle=False) as part:
                    for column_name, column in columns.items():
                        column[first:first + count] = part[column_name]
                done.append(range(first, first + count))
        return done

    def save(self, first: int, part: Columns) -> None:
        """Keep a finished chunk."""
        path = os.path.join(self.directory, f"trials-{first}-{len(part['steps'])}.npz")
        arrays: Dict[str, Any] = dict(part)
        _write_atomically(path, lambda file: np.savez(file, **arrays))
