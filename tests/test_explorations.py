"""The scattered, concentric and neighborhood explorations, as seen from Python."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quarnel
from quarnel import Experiment, GameState, Optimizer

def panic_type():
    try:
        Optimizer.ogda(0.1, 0)
    except BaseException as failure:  # noqa: B036 - the panic type derives from BaseException
        return type(failure)
    raise AssertionError("no panic")


@pytest.fixture(scope="module")
def panic():
    return panic_type()


def base():
    return np.array([[0.5, -0.25], [-0.75, 1.0]])


def scattered(a=None, optimizer=None, num_exploration=4, num_steps=100, inner=0.5, outer=1.0, norm="max",
              metric="max_last", **kwargs):
    a = base() if a is None else a
    optimizer = Optimizer.ogda(0.1, 2) if optimizer is None else optimizer
    return quarnel.scattered_exploration(a, optimizer, num_exploration, num_steps, inner, outer, norm, metric,
                                         **kwargs)


def concentric(num_exploration=10, inner=0.0, outer=1.0, num_slices=3, metric="total_var", num_steps=50):
    return quarnel.concentric_exploration(base(), Optimizer.ogda(0.1, 2), num_exploration, num_steps, inner, outer,
                                          num_slices, metric)


def single_run(matrix, optimizer, num_steps):
    state = GameState(np.array([0.5, 0.5]), np.array([0.5, 0.5]), matrix)
    return Experiment(state, optimizer, num_steps).run_experiment_until_convergence_in_place()


def stepped_optimizer(steps=3):
    """An optimizer whose vectors have moved away from their starting values."""
    optimizer = Optimizer.omwuoomd(0.3, 2)
    single_run(np.array([[2.0, -1.0], [0.0, 1.0]]), optimizer, steps)
    return optimizer


def same_histories(first, second):
    for name in ("x_history", "y_history", "gaps_history"):
        np.testing.assert_array_equal(getattr(first, name), getattr(second, name))


def run_script(code, **env_overrides):
    """Runs `code` in a fresh interpreter that imports this same module; returns its stdout."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(os.path.abspath(quarnel.__file__)), env.get("PYTHONPATH", "")])
    env.update(env_overrides)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


# Scattered exploration


def test_scattered_gives_one_norm_and_metric_per_trial():
    out = scattered()
    assert out.norms.shape == (4,) and out.metrics.shape == (4,)
    assert out.norms.dtype == np.float64 and out.metrics.dtype == np.float64
    assert np.all((out.norms >= 0.5) & (out.norms <= 1.0))
    assert np.all(np.isfinite(out.metrics))


def test_scattered_accepts_cutoff_by_keyword_and_position():
    assert scattered(cutoff=0.2).metrics.shape == (4,)
    out = quarnel.scattered_exploration(base(), Optimizer.ogda(0.1, 2), 4, 100, 0.5, 1.0, "max", "max_last", 0.2)
    assert out.metrics.shape == (4,)


@pytest.mark.parametrize("norm, low, high", [
    ("max", 1.0, 2.0),
    ("infinity", 2.0, 4.0),       # two entries per row, each of magnitude in [1, 2)
    ("frobenius", 2.0, 4.0),      # sqrt of four squares in [1, 4)
    ("FROBENIUS", 2.0, 4.0),
])
def test_scattered_norms_lie_within_the_bounds_of_each_norm(norm, low, high):
    norms = scattered(num_exploration=200, num_steps=5, inner=1.0, outer=2.0, norm=norm).norms
    assert np.all((norms >= low) & (norms <= high))


def test_scattered_with_no_trials_is_empty():
    out = scattered(num_exploration=0)
    assert out.norms.shape == (0,) and out.metrics.shape == (0,)


@pytest.mark.parametrize("metric", ["Max_Last_10", "MAX_LAST", "var_last", "Var_Last_10", "TOTAL_VAR"])
def test_metric_names_ignore_case(metric):
    assert scattered(metric=metric).metrics.shape == (4,)


@pytest.mark.parametrize("metric", ["bogus", "Max_Lst", "max", " max_last", ""])
def test_unknown_metric_is_a_value_error_quoting_the_argument(metric):
    with pytest.raises(ValueError) as caught:
        scattered(metric=metric)
    assert str(caught.value) == "Unknown metric method: " + metric
    with pytest.raises(ValueError) as caught:
        concentric(metric=metric)
    assert str(caught.value) == "Unknown metric method: " + metric


@pytest.mark.parametrize("norm", ["l2", " max", "", "Maximum"])
def test_unknown_norm_is_a_value_error(norm):
    with pytest.raises(ValueError) as caught:
        scattered(norm=norm)
    assert str(caught.value) == "Unknown norm type. Use 'max', 'infinity', or 'frobenius'"


def test_metric_is_checked_before_the_norm():
    with pytest.raises(ValueError) as caught:
        scattered(norm="bogus", metric="bogus")
    assert str(caught.value) == "Unknown metric method: bogus"


@pytest.mark.parametrize("inner, outer, error", [
    (1.0, 1.0, "EmptyRange"),
    (2.0, 1.0, "EmptyRange"),
    (float("nan"), 1.0, "EmptyRange"),
    (-1e308, 1e308, "NonFinite"),
])
def test_scattered_rejects_bad_radii(panic, inner, outer, error):
    with pytest.raises(panic, match=error):
        scattered(inner=inner, outer=outer)


def test_scattered_on_non_square_base_with_dim_one_runs_every_trial():
    a = np.array([[1.0, -1.0, 0.5], [-0.5, 0.25, 1.0]])
    out = scattered(a=a, optimizer=Optimizer.ogda(0.05, 1), num_exploration=3000, num_steps=20, metric="var_last")
    assert out.metrics.shape == (3000,)
    assert np.all(np.isfinite(out.metrics))


def test_scattered_base_without_rows_fails(panic):
    with pytest.raises(panic, match="unable to build x"):
        scattered(a=np.zeros((0, 2)))


# Every trial's 1x1 game is the perturbation's huge base, which overflows to infinity (and makes
# the step fail) only for positive signs with magnitudes in the last 0.3 % of the range: about one
# trial in 700. Among 20,000 trials some fail, while most succeed.
def test_a_failing_trial_fails_the_whole_batch_and_the_module_stays_usable(panic):
    with pytest.raises(panic):
        scattered(a=np.array([[1e308]]), optimizer=Optimizer.ogda(0.1, 1), num_exploration=20_000, num_steps=1,
                  inner=0.0, outer=8e307)
    assert scattered().metrics.shape == (4,)


def test_perturbation_magnitudes_are_uniform():
    norms = scattered(a=np.zeros((1, 1)), optimizer=Optimizer.ogda(0.1, 1), num_exploration=20_000, num_steps=1,
                      inner=0.5, outer=1.0).norms
    assert np.all((norms >= 0.5) & (norms < 1.0))
    # Each quarter of the range holds 5000 +- 61 (one standard deviation) draws.
    counts, _ = np.histogram(norms, bins=4, range=(0.5, 1.0))
    assert np.all(np.abs(counts - 5000) < 600), counts


def test_perturbation_signs_are_fair():
    # On a 2x1 game from the uniform start the first gap is |p0 - p1| / 2: below 0.25 when both
    # entries have the same sign, at least 0.5 when they have opposite signs.
    metrics = scattered(a=np.zeros((2, 1)), optimizer=Optimizer.ogda(0.1, 1), num_exploration=20_000, num_steps=1,
                        inner=0.5, outer=1.0, metric="max_last", cutoff=1.0).metrics
    assert np.all((metrics < 0.25) | (metrics >= 0.5))
    opposite = np.count_nonzero(metrics >= 0.5)
    assert abs(opposite - 10_000) < 1_000, opposite  # 14 standard deviations


# Concentric exploration


def test_concentric_slice_boundaries_are_exact():
    out = concentric(num_exploration=8, num_slices=4)
    np.testing.assert_array_equal(out.slice_boundaries, [[0.0, 0.25], [0.25, 0.5], [0.5, 0.75], [0.75, 1.0]])
    assert out.metrics.shape == (4, 2)


def test_concentric_boundaries_are_computed_from_the_inner_radius():
    out = concentric(num_exploration=0, inner=0.1, outer=0.7, num_slices=7)
    width = (0.7 - 0.1) / 7
    expected = [[0.1 + width * i, 0.1 + width * (i + 1.0)] for i in range(7)]
    np.testing.assert_array_equal(out.slice_boundaries, expected)


@pytest.mark.parametrize("num_exploration, num_slices, shape", [(10, 3, (3, 3)), (2, 5, (5, 0)), (9, 1, (1, 9))])
def test_concentric_runs_whole_trials_per_slice(num_exploration, num_slices, shape):
    out = concentric(num_exploration=num_exploration, num_slices=num_slices)
    assert out.slice_boundaries.shape == (num_slices, 2)
    assert out.metrics.shape == shape


def test_concentric_with_no_slices_divides_by_zero(panic):
    with pytest.raises(panic) as caught:
        concentric(num_slices=0)
    assert caught.value.args == ("attempt to divide by zero",)


@pytest.mark.parametrize("inner, outer", [(1.0, 1.0), (2.0, 1.0), (float("nan"), 1.0), (-1e308, 1e308)])
def test_concentric_rejects_bad_radii_as_empty(panic, inner, outer):
    with pytest.raises(panic, match="EmptyRange"):
        concentric(inner=inner, outer=outer)


# Neighborhood exploration


def neighbors():
    return np.array([[[1.0, 0.0], [0.0, 2.0]], [[0.0, 1.0], [1.0, 0.0]], [[3.0, -1.0], [-2.0, 4.0]]])


def test_neighborhood_of_an_empty_stack_is_an_empty_list():
    assert quarnel.neighborhood_exploration(np.zeros((0, 2, 2)), Optimizer.ogda(0.1, 2), 10, False) == []


@pytest.mark.parametrize("make_optimizer", [
    lambda: Optimizer.ogda(0.1, 2),
    lambda: Optimizer.omwuoftrl(0.2, 2),
    stepped_optimizer,  # the runs start from the caller's state, not a reset one
])
def test_neighborhood_results_are_single_runs_in_stack_order(make_optimizer):
    results = quarnel.neighborhood_exploration(neighbors(), make_optimizer(), 25, False)
    assert len(results) == 3
    for matrix, result in zip(neighbors(), results):
        same_histories(result, single_run(matrix, make_optimizer(), 25))


def test_neighborhood_reads_strided_stacks():
    stack = np.asfortranarray(neighbors())[::-1]
    results = quarnel.neighborhood_exploration(stack, Optimizer.ogda(0.1, 2), 10, False)
    for matrix, result in zip(stack, results):
        same_histories(result, single_run(np.ascontiguousarray(matrix), Optimizer.ogda(0.1, 2), 10))


def test_neighborhood_normalises_to_the_unit_range():
    stack = np.array([[[1.0, 3.0], [5.0, 9.0]]])
    normalised = quarnel.neighborhood_exploration(stack, Optimizer.ogda(0.1, 2), 15, True)[0]
    same_histories(normalised, single_run(np.array([[0.0, 0.25], [0.5, 1.0]]), Optimizer.ogda(0.1, 2), 15))


def test_neighborhood_runs_a_normalised_constant_matrix_as_all_nan(panic):
    constant, all_nan = np.full((1, 2, 2), 3.0), np.full((1, 2, 2), np.nan)
    with pytest.raises(panic) as from_constant:
        quarnel.neighborhood_exploration(constant, Optimizer.ogda(0.1, 2), 3, True)
    with pytest.raises(panic) as from_nan:
        quarnel.neighborhood_exploration(all_nan, Optimizer.ogda(0.1, 2), 3, False)
    assert from_constant.value.args == from_nan.value.args


def test_neighborhood_of_larger_matrices_fails_only_when_a_step_is_taken(panic):
    stack = np.ones((2, 3, 3))
    results = quarnel.neighborhood_exploration(stack, Optimizer.ogda(0.1, 2), 0, False)
    assert [r.gaps_history.shape for r in results] == [(0,), (0,)]
    assert results[0].x_history.shape == (0, 2)
    with pytest.raises(panic):
        quarnel.neighborhood_exploration(stack, Optimizer.ogda(0.1, 2), 1, False)


# The caller's optimizer


@pytest.mark.parametrize("explore", [
    lambda opt: scattered(optimizer=opt, num_exploration=20),
    lambda opt: quarnel.concentric_exploration(base(), opt, 20, 50, 0.0, 1.0, 2, "var_last"),
    lambda opt: quarnel.neighborhood_exploration(neighbors(), opt, 20, True),
])
def test_explorations_leave_the_callers_optimizer_unchanged(explore):
    used, untouched = stepped_optimizer(), stepped_optimizer()
    explore(used)
    same_histories(single_run(neighbors()[2], used, 30), single_run(neighbors()[2], untouched, 30))


# Worker pool behaviour, each in a fresh process


def test_neighborhood_results_do_not_depend_on_the_number_of_workers():
    code = """
        import numpy as np, quarnel
        rng = np.random.default_rng(3)
        stack = rng.uniform(-1, 1, size=(40, 2, 2))
        results = quarnel.neighborhood_exploration(stack, quarnel.Optimizer.omwuoomd(0.2, 2), 200, True)
        print(np.concatenate([r.gaps_history for r in results] + [r.x_history.ravel() for r in results]).tobytes().hex())
    """
    outputs = {workers: run_script(code, RAYON_NUM_THREADS=workers) for workers in ("1", "2", "3")}
    assert outputs["1"] == outputs["2"] == outputs["3"]


def test_peak_memory_does_not_grow_with_the_number_of_trials():
    # Kept whole, 1,000 histories of 20,000 steps would take 160 MB of gaps alone.
    code = """
        import resource, numpy as np, quarnel
        a = np.array([[0.5, -0.25], [-0.75, 1.0]])
        opt = quarnel.Optimizer.ogda(1e-4, 2)
        quarnel.scattered_exploration(a, opt, 4, 20_000, 0.5, 1.0, "max", "var_last")
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        out = quarnel.scattered_exploration(a, opt, 1_000, 20_000, 0.5, 1.0, "max", "var_last")
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(after - before)
    """
    growth_kib = int(run_script(code, RAYON_NUM_THREADS="2"))
    assert growth_kib < 20 * 1024, growth_kib


def test_a_child_forked_after_the_pool_exists_can_explore():
    code = """
        import multiprocessing, numpy as np, quarnel

        def explore(queue):
            out = quarnel.scattered_exploration(np.eye(2), quarnel.Optimizer.ogda(0.1, 2), 50, 20, 0.5, 1.0,
                                                "max", "max_last")
            queue.put(out.norms.shape[0])

        explore(multiprocessing.SimpleQueue())  # starts the pool in the parent
        context = multiprocessing.get_context("fork")
        queue = context.SimpleQueue()
        child = context.Process(target=explore, args=(queue,))
        child.start()
        child.join(60)
        if child.is_alive():
            child.kill()
            raise SystemExit("forked child hung")
        print(child.exitcode, queue.get())
    """
    assert run_script(code, RAYON_NUM_THREADS="2").split() == ["0", "50"]
