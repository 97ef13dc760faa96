"""Convergence runs driven from Python: continuation, shared objects, empty and early-stopping
runs, and the state a failing run leaves behind."""
import numpy as np
import pytest

import quarnel
from quarnel import Experiment, GameState, Optimizer
from test_learning_rules import RULES, raises_panic, reference_run

SKEWED = np.array([[3.0, -1.0, 0.5], [-2.0, 1.5, 0.0], [0.25, -0.5, 1.0]]) / 2
X0 = np.array([0.6, 0.3, 0.1])
Y0 = np.array([0.2, 0.2, 0.6])


def run(state, optimizer, num_steps):
    result = Experiment(state, optimizer, num_steps).run_experiment_until_convergence_in_place()
    return result.x_history, result.y_history, result.gaps_history


def first_rows(state, num_steps=1):
    """The strategies a GameState holds now, read through a short OGDA run on it."""
    xs, ys, _ = run(state, Optimizer.ogda(0.0, 1), num_steps)
    return xs[0], ys[0]


@pytest.mark.parametrize("rule_name", list(RULES))
def test_second_run_continues_where_the_first_stopped(rule_name):
    state, optimizer = GameState(X0, Y0, SKEWED), getattr(Optimizer, rule_name)(0.2, 3)
    first = run(state, optimizer, 40)
    second = run(state, optimizer, 40)
    whole = run(GameState(X0, Y0, SKEWED), getattr(Optimizer, rule_name)(0.2, 3), 80)
    for part_one, part_two, joined in zip(first, second, whole):
        np.testing.assert_array_equal(np.concatenate([part_one, part_two]), joined)


def test_two_experiments_share_one_state():
    state = GameState(X0, Y0, SKEWED)
    one = Experiment(state, Optimizer.ogda(0.2, 3), 10)
    two = Experiment(state, Optimizer.omwuoomd(0.2, 3), 10)
    first = one.run_experiment_until_convergence_in_place()
    second = two.run_experiment_until_convergence_in_place()
    (_, (x_after, y_after)) = reference_run(RULES["ogda"](0.2, 3), SKEWED, X0, Y0, 10)
    np.testing.assert_allclose(second.x_history[0], x_after, atol=1e-14)
    np.testing.assert_allclose(second.y_history[0], y_after, atol=1e-14)
    assert not np.array_equal(first.x_history[0], second.x_history[0])


def test_no_steps_gives_empty_histories_and_changes_nothing():
    a = np.arange(6.0).reshape(2, 3)
    state = GameState(np.array([2.0, 0.0]), np.zeros(3), a)
    xs, ys, gaps = run(state, Optimizer.omwuoftrl(0.1, 1), 0)
    assert xs.shape == (0, 2) and ys.shape == (0, 3) and gaps.shape == (0,)
    x, y = first_rows(state)
    assert np.array_equal(x, [1.0, 0.0])
    assert np.array_equal(y, np.full(3, 1 / 3))


def test_early_convergence_fills_the_tail():
    # A pure saddle point at (row 0, column 1): OGDA lands on it exactly after a few steps.
    a = np.array([[1.0, 2.0], [3.0, 4.0]])
    xs, ys, gaps = run(GameState(np.array([0.5, 0.5]), np.array([0.5, 0.5]), a), Optimizer.ogda(0.5, 2), 30)
    stop = int(np.argmax(gaps < 1e-8))
    assert 0 < stop < 29
    assert (xs[stop:] == xs[stop]).all() and (ys[stop:] == ys[stop]).all()
    assert (gaps[stop:] == gaps[stop]).all()
    assert gaps[stop - 1] >= 1e-8


def test_length_mismatch_fails_before_the_state_changes():
    state = GameState(X0, Y0, SKEWED)
    assert "cannot be broadcast" in raises_panic(lambda: run(state, Optimizer.ogda(0.1, 2), 5))
    for now, fresh in zip(first_rows(state), first_rows(GameState(X0, Y0, SKEWED))):
        np.testing.assert_array_equal(now, fresh)


def test_failing_run_keeps_the_completed_steps():
    # With eta = 1e308 the first step plays the pure strategies x = (1, 0), y = (0, 1); the
    # second step's exponent overflows and its check fails before anything is installed.
    a = np.array([[-0.8, -0.4], [-0.4, -0.8]])
    state = GameState(np.array([1.0, 0.0]), np.array([1.0, 0.0]), a)
    message = raises_panic(lambda: run(state, Optimizer.omwuoftrl(1e308, 2), 5))
    assert message.startswith('x doesn\'t lie on the simplex: "v does not belong on the simplex.')
    x, y = first_rows(state)
    assert np.array_equal(x, [1.0, 0.0]) and np.array_equal(y, [0.0, 1.0])


def test_failed_mismatch_leaves_the_optimizer_untouched():
    optimizer = Optimizer.omwuoftrl(0.3, 2)
    non_square = GameState(np.ones(2), np.ones(3), np.arange(6.0).reshape(2, 3))
    raises_panic(lambda: run(non_square, optimizer, 3))
    square = np.array([[0.5, -1.0], [-0.25, 0.75]])
    after_failure = run(GameState(X0[:2], Y0[:2], square), optimizer, 20)
    fresh = run(GameState(X0[:2], Y0[:2], square), Optimizer.omwuoftrl(0.3, 2), 20)
    for got, expected in zip(after_failure, fresh):
        np.testing.assert_array_equal(got, expected)


def test_failure_inside_a_step_keeps_what_it_installed():
    # grad_x = (inf, 0) only zeroes an exponential, grad_y = (-inf, -0) turns y' into NaN: x'
    # is installed before y' fails. x = (0, 1) then makes the next gradient NaN; the old x
    # would have given an infinite one instead.
    state = GameState(np.array([0.5, 0.5]), np.array([0.5, 0.5]), np.array([[np.inf, 0.0], [0.0, 0.0]]))
    assert raises_panic(lambda: run(state, Optimizer.omwuoomd(0.5, 2), 3)).startswith("y doesn't lie on the simplex")
    assert raises_panic(lambda: run(state, Optimizer.ogda(0.5, 2), 3)) == "NaN encountered"
    untouched = GameState(np.array([0.5, 0.5]), np.array([0.5, 0.5]), np.array([[np.inf, 0.0], [0.0, 0.0]]))
    assert raises_panic(lambda: run(untouched, Optimizer.ogda(0.5, 2), 3)) == "Issue computing theta"


def test_explorations_reset_each_vector_to_its_own_length():
    # A length-1 optimizer grows to 2 and 3 entries on a 2 x 3 game; every trial after the first
    # on a worker starts from a reset copy, which must keep both lengths.
    base = np.array([[0.5, -1.0, 0.25], [-0.5, 1.0, 0.0]])
    for rule_name in RULES:
        output = quarnel.scattered_exploration(base, getattr(Optimizer, rule_name)(0.1, 1), 40, 20, 0.1, 0.2,
                                               "max", "max_last")
        assert output.metrics.shape == (40,)
        assert np.isfinite(output.norms).all()
