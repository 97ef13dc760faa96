"""A sweep's per-trial measures are those of the trial's replay (its full histories)."""
import math

import numpy as np
import pytest

import quarnel_lab as ql
from quarnel_lab import native

TOLERANCES = (1e-2, 1e-6, 0.3, 1e-12)


def measures_of(run, budget):
    """best_gap, best_step, avg_gap, rate and the hitting times of TOLERANCES, from the histories."""
    gaps, rows = run.gaps, run.steps
    finite = gaps[~np.isnan(gaps)]
    best_gap = finite.min() if len(finite) else math.nan
    best_step = int(np.flatnonzero(gaps == best_gap)[0]) if len(finite) else -1
    x_bar, y_bar = run.x.mean(axis=0), run.y.mean(axis=0)
    avg_gap = (run.a.T @ x_bar).max() - (run.a @ y_bar).min() if rows else math.nan
    ks = [k for k in range(rows // 2, rows) if 0.0 < gaps[k] < math.inf]
    rate = math.nan
    if len(ks) >= 2:
        logs = [math.log(gaps[k]) for k in ks]
        k_mean, l_mean = math.fsum(ks) / len(ks), math.fsum(logs) / len(ks)
        rate = -math.fsum((k - k_mean) * (l - l_mean) for k, l in zip(ks, logs)) / math.fsum(
            (k - k_mean) ** 2 for k in ks)
    hitting = [next((k + 1 for k in range(rows) if gaps[k] < tol), budget) for tol in TOLERANCES]
    return best_gap, best_step, avg_gap, rate, hitting


CASES = [  # game, rule, eta, steps: in lanes and alone, converging and not
    (np.array([[1.0, -1.0], [-1.0, 1.0]]), "ogda", 0.1, 400),
    (np.array([[0.0, 1, -1], [-1, 0, 1], [1, -1, 0]]), "omwuoomd", 0.2, 300),
    (np.array([[3.0, -1, 0], [-2, 1, 2]]), "omwuoftrl", 0.1, 300),
    (np.array([[3.0, 4, 5], [1, 2, 6], [0, -1, 4]]), "ogda", 0.5, 500),  # a saddle point: converges
    (np.random.default_rng(5).uniform(-1, 1, (66, 65)), "omwuoftrl", 0.1, 40),  # too large for lanes
]


def test_sweep_measures_equal_their_replays():
    in_lanes, converging = set(), set()
    for a, rule, eta, steps in CASES:
        in_lanes.add(native.trials_together(a.shape, rule, eta, steps, 0.1) > 1)
        sweep = ql.scattered(a, rule, eta=eta, steps=steps, trials=12, inner=0.0, outer=0.3, seed=3, progress=False,
                             tolerances=TOLERANCES)
        for trial in range(12):
            best_gap, best_step, avg_gap, rate, hitting = measures_of(sweep.replay(trial), steps)
            label = f"{rule} {a.shape} trial {trial}"
            assert (sweep["best_gap"][trial], sweep["best_step"][trial]) == (best_gap, best_step), label
            assert sweep["avg_gap"][trial] == pytest.approx(avg_gap, rel=1e-9, abs=0), label
            assert sweep["rate"][trial] == pytest.approx(rate, rel=1e-9, abs=0, nan_ok=True), label
            assert [sweep[native.tolerance_column(tol)][trial] for tol in TOLERANCES] == hitting, label
        converging.add(bool(np.any(sweep["steps"] < steps)))
    assert in_lanes == converging == {True, False}


def test_tolerances_are_checked_recorded_and_kept(tmp_path):
    rps = np.array([[0.0, 1, -1], [-1, 0, 1], [1, -1, 0]])
    run = dict(eta=0.1, steps=200, progress=False)
    for tolerances, error, message in [(0.01, TypeError, "sequence"), ("0.1", TypeError, "sequence"),
                                       ([0.1, 1.0], ValueError, "between 0 and 1"),
                                       ([math.nan], ValueError, "between 0 and 1"),
                                       ([1e-6, 1.0000001e-6], ValueError, "1e-06 and 1.0000001e-06")]:
        with pytest.raises(error, match=message):
            ql.neighborhood(rps[None], "ogda", tolerances=tolerances, **run)
    grid = ql.grid(rps, ["ogda"], [0.1, 0.5], steps=200, trials=6, inner=0.0, outer=0.2, seed=1, progress=False,
                   tolerances=np.array([1e-2, 1e-4]))
    grid.save(tmp_path / "grid.npz")
    loaded = ql.load(tmp_path / "grid.npz")
    for rule, eta, cell in grid.cells():
        assert cell.config["tolerances"] == [1e-2, 1e-4]
        assert cell.columns[-2:] == ("steps_below_0.01", "steps_below_0.0001")
        for name in cell.columns:
            np.testing.assert_array_equal(loaded.sweep(rule, eta)[name], cell[name])
    # A checkpoint of other tolerances belongs to another sweep.
    ql.scattered(rps, "ogda", trials=4, inner=0.0, outer=0.2, seed=1, checkpoint=tmp_path / "kept", **run)
    with pytest.raises(ValueError, match="another sweep"):
        ql.scattered(rps, "ogda", trials=4, inner=0.0, outer=0.2, seed=1, checkpoint=tmp_path / "kept",
                     tolerances=[0.5], **run)
