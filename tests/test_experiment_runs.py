"""Convergence runs driven from Python: continuation, shared objects, empty and early-stopping
runs, and the state a failing run leaves behind."""
import numpy as np
import pytest

from quarnel import GameState, Optimizer
from support import HISTORIES, assert_same_histories, panic_message, run
from test_learning_rules import RULES, reference_run

SKEWED = np.array([[3.0, -1.0, 0.5], [-2.0, 1.5, 0.0], [0.25, -0.5, 1.0]]) / 2
X0 = np.array([0.6, 0.3, 0.1])
Y0 = np.array([0.2, 0.2, 0.6])


def held(state):
    """The strategies a GameState holds now, read through a one-step OGDA run on it."""
    result = run(state, Optimizer.ogda(0.0, 1), 1)
    return result.x_history[0], result.y_history[0]


@pytest.mark.parametrize("rule_name", RULES)
def test_second_run_continues_where_the_first_stopped(rule_name):
    state, optimizer = GameState(X0, Y0, SKEWED), getattr(Optimizer, rule_name)(0.2, 3)
    first, second = run(state, optimizer, 40), run(state, optimizer, 40)
    whole = run(GameState(X0, Y0, SKEWED), getattr(Optimizer, rule_name)(0.2, 3), 80)
    for name in HISTORIES:
        np.testing.assert_array_equal(np.concatenate([getattr(first, name), getattr(second, name)]),
                                      getattr(whole, name))


def test_two_experiments_share_one_state():
    state = GameState(X0, Y0, SKEWED)
    first = run(state, Optimizer.ogda(0.2, 3), 10)
    second = run(state, Optimizer.omwuoomd(0.2, 3), 10)
    _, (x_after, y_after) = reference_run(RULES["ogda"](0.2, 3), SKEWED, X0, Y0, 10)
    np.testing.assert_allclose(second.x_history[0], x_after, atol=1e-14)
    np.testing.assert_allclose(second.y_history[0], y_after, atol=1e-14)
    assert not np.array_equal(first.x_history[0], second.x_history[0])


def test_no_steps_gives_empty_histories_and_changes_nothing():
    state = GameState(np.array([2.0, 0.0]), np.zeros(3), np.arange(6.0).reshape(2, 3))
    result = run(state, Optimizer.omwuoftrl(0.1, 1), 0)
    assert result.x_history.shape == (0, 2) and result.y_history.shape == (0, 3) and result.gaps_history.shape == (0,)
    x, y = held(state)
    assert np.array_equal(x, [1.0, 0.0]) and np.array_equal(y, np.full(3, 1 / 3))


def test_early_convergence_fills_the_tail():
    # A pure saddle point at (row 0, column 1): OGDA lands on it exactly after a few steps.
    half = np.array([0.5, 0.5])
    result = run(GameState(half, half, np.array([[1.0, 2.0], [3.0, 4.0]])), Optimizer.ogda(0.5, 2), 30)
    gaps = result.gaps_history
    stop = int(np.argmax(gaps < 1e-8))
    assert 0 < stop < 29 and gaps[stop - 1] >= 1e-8
    for history in (result.x_history, result.y_history, gaps):
        assert (history[stop:] == history[stop]).all()


def test_length_mismatch_fails_before_the_state_or_the_optimizer_changes():
    state, optimizer = GameState(X0, Y0, SKEWED), Optimizer.omwuoftrl(0.3, 2)
    assert "cannot be broadcast" in panic_message(lambda: run(state, optimizer, 5))
    for now, fresh in zip(held(state), held(GameState(X0, Y0, SKEWED))):
        np.testing.assert_array_equal(now, fresh)
    square = np.array([[0.5, -1.0], [-0.25, 0.75]])
    assert_same_histories(run(GameState(X0[:2], Y0[:2], square), optimizer, 20),
                          run(GameState(X0[:2], Y0[:2], square), Optimizer.omwuoftrl(0.3, 2), 20))


def test_failing_run_keeps_the_completed_steps():
    # With eta = 1e308 the first step plays the pure strategies x = (1, 0), y = (0, 1); the
    # second step's exponent overflows and its check fails before anything is installed.
    state = GameState(np.array([1.0, 0.0]), np.array([1.0, 0.0]), np.array([[-0.8, -0.4], [-0.4, -0.8]]))
    message = panic_message(lambda: run(state, Optimizer.omwuoftrl(1e308, 2), 5))
    assert message.startswith('x doesn\'t lie on the simplex: "v does not belong on the simplex.')
    x, y = held(state)
    assert np.array_equal(x, [1.0, 0.0]) and np.array_equal(y, [0.0, 1.0])


def test_failure_inside_a_step_keeps_what_it_installed():
    # grad_x = (inf, 0) only zeroes an exponential, grad_y = (-inf, -0) turns y' into NaN: x'
    # is installed before y' fails. x = (0, 1) then makes the next gradient NaN; the old x
    # would have given an infinite one instead.
    def state():
        return GameState(np.array([0.5, 0.5]), np.array([0.5, 0.5]), np.array([[np.inf, 0.0], [0.0, 0.0]]))

    stepped = state()
    assert panic_message(lambda: run(stepped, Optimizer.omwuoomd(0.5, 2), 3)).startswith("y doesn't lie on the simplex")
    assert panic_message(lambda: run(stepped, Optimizer.ogda(0.5, 2), 3)) == "NaN encountered"
    assert panic_message(lambda: run(state(), Optimizer.ogda(0.5, 2), 3)) == "Issue computing theta"
