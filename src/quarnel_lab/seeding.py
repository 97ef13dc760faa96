"""From the user's seed to the recorded seed and the sweep's 128-bit key.

A sweep records one int, ``Sweep.seed``; its key is derived from that int alone, so passing it
back reproduces the sweep. Chunks of a sweep take ranges of trial indices under this one key,
never seeds of their own.
"""
from __future__ import annotations

from typing import Any, Union

import numpy as np

SeedLike = Union[int, "np.integer[Any]", np.random.SeedSequence, None]


def _state(sequence: np.random.SeedSequence) -> bytes:
    # Little-endian words, so the key is the same on every machine.
    return sequence.generate_state(4, np.uint32).astype("<u4").tobytes()


def _from_sequence(sequence: np.random.SeedSequence) -> int:
    # SeedSequence(n) stands for n itself (as numpy's generators have it); a spawned or
    # multi-word sequence is reduced to the 128-bit int of its own state.
    drawn = _state(sequence)
    entropy = sequence.entropy
    if isinstance(entropy, int) and _state(np.random.SeedSequence(entropy)) == drawn:
        return entropy
    return int.from_bytes(drawn, "little")


def recorded_seed(seed: object) -> int:
    """The int that reproduces a sweep given `seed`: fresh operating-system entropy for None.

    Raises
    ------
    TypeError
        If `seed` is not an int, a numpy.random.SeedSequence or None.
    ValueError
        If `seed` is a negative int.
    """
    if seed is None:
        return _from_sequence(np.random.SeedSequence())
    if isinstance(seed, np.random.SeedSequence):
        return _from_sequence(seed)
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)):
        raise TypeError(f"seed must be an int, a numpy.random.SeedSequence or None, got {type(seed).__name__}")
    if seed < 0:
        raise ValueError(f"seed must be a non-negative int, got {seed}")
    return int(seed)


def sweep_key(seed: int) -> bytes:
    """The 16-byte key of the sweep recorded with `seed`."""
    return _state(np.random.SeedSequence(seed))
