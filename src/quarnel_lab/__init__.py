"""Reproducible studies of optimistic learning dynamics on zero-sum matrix games.

Seeded, chunked sweeps over perturbed games (:func:`scattered`, :func:`concentric`), runs over a
given stack of games (:func:`neighborhood`), single runs with full histories (:func:`run`), and
their results (:class:`Sweep`, :class:`Trajectory`), saved and loaded as .npz files (:func:`load`).
"""
from quarnel_lab.native import DynamicsError
from quarnel_lab.results import PACKAGE_VERSION as __version__
from quarnel_lab.results import Sweep, Trajectory, load
from quarnel_lab.runs import run
from quarnel_lab.sweeps import concentric, neighborhood, scattered

__all__ = ["DynamicsError", "Sweep", "Trajectory", "__version__", "concentric", "load", "neighborhood", "run",
           "scattered"]
