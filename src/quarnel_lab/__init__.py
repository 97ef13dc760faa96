"""Reproducible studies of optimistic learning dynamics on zero-sum matrix games.

Seeded, chunked sweeps over perturbed games (:func:`scattered`, :func:`concentric`), runs over a
given stack of games (:func:`neighborhood`), grids of sweeps over rules and step sizes
(:func:`grid`), single runs with full histories (:func:`run`), their results (:class:`Sweep`,
:class:`Grid`, :class:`Trajectory`), saved and loaded as .npz files (:func:`load`), and their
pictures (:mod:`quarnel_lab.plot`, which imports matplotlib only when it draws).
A chunk computed by another version or build is refused (:class:`MixedVersionsError`); a checkpoint
file that is damaged or another sweep's is reported (:class:`CheckpointWarning`) and run again.
"""
from quarnel_lab import plot
from quarnel_lab.checkpoint import CheckpointWarning
from quarnel_lab.chunking import MixedVersionsError
from quarnel_lab.grids import grid
from quarnel_lab.native import DynamicsError
from quarnel_lab.results import PACKAGE_VERSION as __version__
from quarnel_lab.results import Grid, Sweep, Trajectory, load
from quarnel_lab.runs import run
from quarnel_lab.sweeps import concentric, neighborhood, scattered

__all__ = ["CheckpointWarning", "DynamicsError", "Grid", "MixedVersionsError", "Sweep", "Trajectory", "__version__",
           "concentric", "grid", "load", "neighborhood", "plot", "run", "scattered"]
