"""Reproducible studies of optimistic learning dynamics on zero-sum matrix games.

Seeded, chunked sweeps over perturbed games (:func:`scattered`, :func:`concentric`), runs over a
given stack of games (:func:`neighborhood`), single runs with full histories (:func:`run`), and
their results (:class:`Sweep`, :class:`Trajectory`), saved and loaded as .npz files (:func:`load`).
A chunk computed by another version or build is refused (:class:`MixedVersionsError`); a checkpoint
file that is damaged or another sweep's is reported (:class:`CheckpointWarning`) and run again.
"""
from quarnel_lab.checkpoint import CheckpointWarning
from quarnel_lab.chunking import MixedVersionsError
from quarnel_lab.native import DynamicsError
from quarnel_lab.results import PACKAGE_VERSION as __version__
from quarnel_lab.results import Sweep, Trajectory, load
from quarnel_lab.runs import run
from quarnel_lab.sweeps import concentric, neighborhood, scattered

__all__ = ["CheckpointWarning", "DynamicsError", "MixedVersionsError", "Sweep", "Trajectory", "__version__",
           "concentric", "load", "neighborhood", "run", "scattered"]
