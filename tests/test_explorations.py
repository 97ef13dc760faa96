"""The scattered, concentric and neighborhood explorations, as seen from Python."""
import numpy as np
import pytest

import quarnel
from quarnel import GameState, Optimizer
from support import PanicException, assert_same_histories, run, run_script

BASE = np.array([[0.5, -0.25], [-0.75, 1.0]])
NEIGHBORS = np.array([[[1.0, 0.0], [0.0, 2.0]], [[0.0, 1.0], [1.0, 0.0]], [[3.0, -1.0], [-2.0, 4.0]]])
NORM_MESSAGE = "Unknown norm type. Use 'max', 'infinity', or 'frobenius'"


def scattered(a=BASE, optimizer=None, num_exploration=4, num_steps=100, inner=0.5, outer=1.0, norm="max",
              metric="max_last", **kwargs):
    return quarnel.scattered_exploration(a, optimizer or Optimizer.ogda(0.1, 2), num_exploration, num_steps, inner,
                                         outer, norm, metric, **kwargs)


def concentric(num_exploration=10, inner=0.0, outer=1.0, num_slices=3, metric="total_var", optimizer=None):
    return quarnel.concentric_exploration(BASE, optimizer or Optimizer.ogda(0.1, 2), num_exploration, 50, inner, outer,
                                          num_slices, metric)


def neighborhood(stack, num_steps=20, normalize=False, optimizer=None):
    return quarnel.neighborhood_exploration(stack, optimizer or Optimizer.ogda(0.1, 2), num_steps, normalize)


def single_run(matrix, optimizer, num_steps):
    return run(GameState(np.array([0.5, 0.5]), np.array([0.5, 0.5]), matrix), optimizer, num_steps)


def stepped_optimizer():
    """An optimizer whose vectors have moved away from their starting values."""
    optimizer = Optimizer.omwuoomd(0.3, 2)
    single_run(np.array([[2.0, -1.0], [0.0, 1.0]]), optimizer, 3)
    return optimizer


@pytest.mark.parametrize("num_exploration", [0, 4])
@pytest.mark.parametrize("args, kwargs", [((), {}), ((0.2,), {}), ((), {"cutoff": 0.2})],
                         ids=["default", "positional", "keyword"])
def test_scattered_gives_one_norm_and_metric_per_trial(num_exploration, args, kwargs):
    out = quarnel.scattered_exploration(BASE, Optimizer.ogda(0.1, 2), num_exploration, 100, 0.5, 1.0, "Max",
                                        "Max_Last_10", *args, **kwargs)  # names in any case
    for array in (out.norms, out.metrics):
        assert array.shape == (num_exploration,) and array.dtype == np.float64
    assert np.all((out.norms >= 0.5) & (out.norms <= 1.0)) and np.all(np.isfinite(out.metrics))


@pytest.mark.parametrize("norm, low, high", [
    ("max", 1.0, 2.0),
    ("infinity", 2.0, 4.0),  # two entries per row, each of magnitude in [1, 2)
    ("frobenius", 2.0, 4.0),  # sqrt of four squares in [1, 4)
    ("FROBENIUS", 2.0, 4.0),
])
def test_scattered_norms_lie_within_the_bounds_of_each_norm(norm, low, high):
    norms = scattered(num_exploration=200, num_steps=5, inner=1.0, outer=2.0, norm=norm).norms
    assert np.all((norms >= low) & (norms <= high))


@pytest.mark.parametrize("explore", [scattered, concentric])
@pytest.mark.parametrize("metric", ["bogus", "Max_Lst", "max", " max_last", "", "bo\0gus"])
def test_unknown_metric_is_a_value_error_quoting_the_argument(explore, metric):
    with pytest.raises(ValueError) as caught:
        explore(metric=metric)
    assert str(caught.value) == "Unknown metric method: " + metric


@pytest.mark.parametrize("norm, metric, message", [("bogus", "bogus", "Unknown metric method: bogus")] + [
    (norm, "MAX_LAST", NORM_MESSAGE) for norm in ["l2", " max", "", "Maximum"]])
def test_unknown_norm_is_a_value_error_after_the_metric(norm, metric, message):
    with pytest.raises(ValueError) as caught:
        scattered(norm=norm, metric=metric)
    assert str(caught.value) == message


@pytest.mark.parametrize("inner, outer, scattered_error, concentric_error", [
    (1.0, 1.0, "EmptyRange", "EmptyRange"),
    (2.0, 1.0, "EmptyRange", "EmptyRange"),
    (float("nan"), 1.0, "EmptyRange", "EmptyRange"),
    (-1e308, 1e308, "NonFinite", "EmptyRange"),
])
def test_bad_radii_panic(inner, outer, scattered_error, concentric_error):
    with pytest.raises(PanicException, match=scattered_error):
        scattered(inner=inner, outer=outer)
    with pytest.raises(PanicException, match=concentric_error):
        concentric(inner=inner, outer=outer)


# Every trial after the first on a worker resets a copy of an optimizer whose length-1 vectors
# grew to 2 and 3 entries: each must keep its own length.
@pytest.mark.parametrize("factory", [Optimizer.ogda, Optimizer.omwuoomd, Optimizer.omwuoftrl])
def test_scattered_on_non_square_base_with_dim_one_runs_every_trial(factory):
    a = np.array([[1.0, -1.0, 0.5], [-0.5, 0.25, 1.0]])
    out = scattered(a=a, optimizer=factory(0.05, 1), num_exploration=3000, num_steps=20, metric="var_last")
    assert out.metrics.shape == (3000,) and np.all(np.isfinite(out.metrics))


def test_scattered_base_without_rows_fails():
    with pytest.raises(PanicException, match="unable to build x"):
        scattered(a=np.zeros((0, 2)))


def test_perturbation_signs_are_fair():
    # On a 2x1 game from the uniform start the first gap is |p0 - p1| / 2: below 0.25 when both
    # entries have the same sign, at least 0.5 when they have opposite signs.
    metrics = scattered(a=np.zeros((2, 1)), optimizer=Optimizer.ogda(0.1, 1), num_exploration=20_000, num_steps=1,
                        cutoff=1.0).metrics
    assert np.all((metrics < 0.25) | (metrics >= 0.5))
    opposite = np.count_nonzero(metrics >= 0.5)
    assert abs(opposite - 10_000) < 1_000, opposite  # 14 standard deviations


@pytest.mark.parametrize("inner, outer, num_slices", [(0.0, 1.0, 4), (0.1, 0.7, 7)])
def test_concentric_boundaries_are_computed_from_the_inner_radius(inner, outer, num_slices):
    width = (outer - inner) / num_slices
    expected = [[inner + width * i, inner + width * (i + 1.0)] for i in range(num_slices)]
    np.testing.assert_array_equal(concentric(0, inner, outer, num_slices).slice_boundaries, expected)


@pytest.mark.parametrize("num_exploration, num_slices, shape", [(10, 3, (3, 3)), (2, 5, (5, 0)), (9, 1, (1, 9))])
def test_concentric_runs_whole_trials_per_slice(num_exploration, num_slices, shape):
    out = concentric(num_exploration=num_exploration, num_slices=num_slices)
    assert out.slice_boundaries.shape == (num_slices, 2) and out.metrics.shape == shape


def test_concentric_with_no_slices_divides_by_zero():
    with pytest.raises(PanicException) as caught:
        concentric(num_slices=0)
    assert caught.value.args == ("attempt to divide by zero",)


@pytest.mark.parametrize("make_optimizer", [
    lambda: Optimizer.ogda(0.1, 2),
    lambda: Optimizer.omwuoftrl(0.2, 2),
    stepped_optimizer,  # the runs start from the caller's state, not a reset one
])
@pytest.mark.parametrize("layout", [lambda s: s, lambda s: np.asfortranarray(s)[::-1], lambda s: s[:0]],
                         ids=["contiguous", "strided", "empty"])
def test_neighborhood_results_are_single_runs_in_stack_order(make_optimizer, layout):
    stack = layout(NEIGHBORS)
    results = neighborhood(stack, 25, optimizer=make_optimizer())
    assert type(results) is list and len(results) == len(stack)
    for matrix, result in zip(stack, results):
        assert_same_histories(result, single_run(np.ascontiguousarray(matrix), make_optimizer(), 25))


def test_neighborhood_normalises_to_the_unit_range():
    normalised = neighborhood(np.array([[[1.0, 3.0], [5.0, 9.0]]]), 15, normalize=True)[0]
    assert_same_histories(normalised, single_run(np.array([[0.0, 0.25], [0.5, 1.0]]), Optimizer.ogda(0.1, 2), 15))


def test_neighborhood_runs_a_normalised_constant_matrix_as_all_nan():
    with pytest.raises(PanicException) as from_constant:
        neighborhood(np.full((1, 2, 2), 3.0), 3, normalize=True)
    with pytest.raises(PanicException) as from_nan:
        neighborhood(np.full((1, 2, 2), np.nan), 3)
    assert from_constant.value.args == from_nan.value.args


def test_neighborhood_of_larger_matrices_fails_only_when_a_step_is_taken():
    results = neighborhood(np.ones((2, 3, 3)), 0)
    assert [r.gaps_history.shape for r in results] == [(0,), (0,)] and results[0].x_history.shape == (0, 2)
    with pytest.raises(PanicException):
        neighborhood(np.ones((2, 3, 3)), 1)


@pytest.mark.parametrize("explore", [
    lambda opt: scattered(optimizer=opt, num_exploration=20),
    lambda opt: concentric(num_exploration=20, num_slices=2, metric="var_last", optimizer=opt),
    lambda opt: neighborhood(NEIGHBORS, normalize=True, optimizer=opt),
])
def test_explorations_leave_the_callers_optimizer_unchanged(explore):
    used, untouched = stepped_optimizer(), stepped_optimizer()
    explore(used)
    assert_same_histories(single_run(NEIGHBORS[2], used, 30), single_run(NEIGHBORS[2], untouched, 30))


def test_neighborhood_results_do_not_depend_on_the_number_of_workers():
    code = """
        import numpy as np, quarnel
        stack = np.random.default_rng(3).uniform(-1, 1, size=(40, 2, 2))
        results = quarnel.neighborhood_exploration(stack, quarnel.Optimizer.omwuoomd(0.2, 2), 200, True)
        rows = [r.gaps_history for r in results] + [r.x_history.ravel() for r in results]
        print(np.concatenate(rows).tobytes().hex())
    """
    outputs = {workers: run_script(code, RAYON_NUM_THREADS=workers) for workers in ("1", "2", "3")}
    assert outputs["1"] == outputs["2"] == outputs["3"]


def test_peak_memory_does_not_grow_with_the_number_of_trials():
    # Kept whole, 1,000 histories of 20,000 steps would take 160 MB of gaps alone.
    code = """
        import resource, numpy as np, quarnel
        a, opt = np.array([[0.5, -0.25], [-0.75, 1.0]]), quarnel.Optimizer.ogda(1e-4, 2)
        quarnel.scattered_exploration(a, opt, 4, 20_000, 0.5, 1.0, "max", "var_last")
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        quarnel.scattered_exploration(a, opt, 1_000, 20_000, 0.5, 1.0, "max", "var_last")
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
    """
    growth_kib = int(run_script(code, RAYON_NUM_THREADS="2"))
    assert growth_kib < 20 * 1024, growth_kib
