"""The three learning rules against plain NumPy renderings of them, and their edge cases.

The renderings are written from the rules' definitions, independently of the module."""
import numpy as np
import pytest

import quarnel
from support import panic_message, run

EPS = 2.0 ** -52
TOLERANCE = 1e-8


def project(v):
    """Euclidean projection onto the probability simplex (sort-based)."""
    u = np.sort(v)[::-1]
    t = (np.cumsum(u) - 1.0) / np.arange(1, len(v) + 1)
    return np.maximum(v - t[np.nonzero(u > t)[0][-1]], 0.0)


def gradients(a, x, y):
    return a @ y, -(a.T @ x)


def softmax(z):
    p = np.exp(z - z.max())
    return p / p.sum()


class Ogda:
    def __init__(self, eta, dim):
        self.eta, self.x_hat, self.y_hat = eta, np.full(dim, 1.0 / dim), np.full(dim, 1.0 / dim)

    def step(self, gx, gy):
        self.x_hat = project(self.x_hat - self.eta * gx)
        self.y_hat = project(self.y_hat - self.eta * gy)
        return project(self.x_hat - self.eta * gx), project(self.y_hat - self.eta * gy)


class OmwuOomd(Ogda):
    def _tilt(self, hat, g):
        a = -self.eta * g
        e = np.exp(a - a.max())
        new_hat = hat * e + EPS
        new_hat /= new_hat.sum()
        played = new_hat * e
        return played / played.sum(), new_hat

    def step(self, gx, gy):
        x, self.x_hat = self._tilt(self.x_hat, gx)
        y, self.y_hat = self._tilt(self.y_hat, gy)
        return x, y


class OmwuOftrl:
    def __init__(self, eta, dim):
        self.eta, self.sum_x, self.sum_y = eta, np.zeros(dim), np.zeros(dim)

    def step(self, gx, gy):
        self.sum_x = self.sum_x + gx
        self.sum_y = self.sum_y + gy
        return softmax(-self.eta * (self.sum_x + gx)), softmax(-self.eta * (self.sum_y + gy))


RULES = {"ogda": Ogda, "omwuoomd": OmwuOomd, "omwuoftrl": OmwuOftrl}


def reference_run(rule, a, x, y, num_steps):
    """Histories of the strategies held before each step and of the gaps, padded with the
    converging row after an early stop; and the final strategies."""
    xs, ys, gaps = [], [], []
    for _ in range(num_steps):
        xs.append(x)
        ys.append(y)
        gx, gy = gradients(a, x, y)
        gaps.append(-gy.min() - gx.min())
        x, y = rule.step(gx, gy)
        if gaps[-1] < TOLERANCE:
            break
    missing = num_steps - len(gaps)
    return tuple(np.array(h + h[-1:] * missing) for h in (xs, ys, gaps)), (x, y)


def module_run(rule_name, eta, dim, a, x, y, num_steps):
    optimizer = getattr(quarnel.Optimizer, rule_name)(eta, dim)
    result = run(quarnel.GameState(x, y, a), optimizer, num_steps)
    return result.x_history, result.y_history, result.gaps_history


@pytest.mark.parametrize("rule_name", RULES)
@pytest.mark.parametrize("rows, cols, dim", [(2, 2, 2), (3, 3, 3), (5, 5, 5), (20, 20, 20), (2, 3, 1), (4, 2, 1),
                                             (1, 3, 1)])  # with dim = 1 the vectors stretch to the game
@pytest.mark.parametrize("eta", [0.05, 0.4])
def test_run_follows_the_numpy_rendering(rule_name, rows, cols, dim, eta):
    rng = np.random.default_rng(rows * 100 + cols * 10 + dim + int(eta * 100))
    # Operator norm near 1: larger steps make the dynamics chaotic and rounding differences grow.
    a = rng.uniform(-1.0, 1.0, size=(rows, cols)) / np.sqrt(max(rows, cols))
    x, y = project(rng.uniform(-1, 1, rows)), project(rng.uniform(-1, 1, cols))
    got = module_run(rule_name, eta, dim, a, x, y, 300)
    expected, _ = reference_run(RULES[rule_name](eta, dim), a, x, y, 300)
    for got_history, expected_history in zip(got, expected):
        assert got_history.shape == expected_history.shape
        np.testing.assert_allclose(got_history, expected_history, rtol=0, atol=1e-12)


@pytest.mark.parametrize("rule_name", RULES)
def test_zero_gradients_keep_matching_pennies_still(rule_name):
    half = np.array([0.5, 0.5])
    xs, ys, gaps = module_run(rule_name, 0.7, 2, np.array([[1.0, -1.0], [-1.0, 1.0]]), half, half, 4)
    assert np.array_equal(xs, np.full((4, 2), 0.5)) and np.array_equal(ys, np.full((4, 2), 0.5))
    assert np.array_equal(gaps, np.zeros(4))


GAME_3X3 = np.array([[1.0, 2.0, 3.0], [-4.0, 5.0, 6.0], [7.0, -8.0, 9.0]])
START_X = np.array([1.0, 0.0, 0.0])
START_Y = np.array([0.0, 0.2, 0.8])


# OGDA returns to its uniform hats, FTRL plays exactly uniform, OMWU its hats plus the floor.
@pytest.mark.parametrize("rule_name, atol", [("ogda", 0.0), ("omwuoftrl", 0.0), ("omwuoomd", 1e-15)])
def test_zero_step_size_plays_the_uniform_point(rule_name, atol):
    xs, ys, _ = module_run(rule_name, 0.0, 3, GAME_3X3, START_X, START_Y, 4)
    assert np.array_equal(xs[0], START_X)
    for history in (xs[1:], ys[1:]):
        np.testing.assert_allclose(history, np.full((3, 3), 1 / 3), rtol=0, atol=atol)


@pytest.mark.parametrize("rule_name", RULES)
@pytest.mark.parametrize("dim", [2, 4])
def test_mismatched_dimension_panics_naming_both_shapes(rule_name, dim):
    message = panic_message(lambda: module_run(rule_name, 0.1, dim, GAME_3X3, START_X, START_Y, 3))
    assert "[3]" in message and f"[{dim}]" in message


@pytest.mark.parametrize("rule_name, eta", [("ogda", 1e6), ("ogda", 1e300), ("omwuoomd", 1e3), ("omwuoftrl", 1e3)])
def test_huge_step_sizes_stay_on_the_simplex(rule_name, eta):
    a = np.array([[0.3, -1.2, 2.0], [1.1, 0.4, -0.7]])
    for history in module_run(rule_name, eta, 1, a, np.ones(2), np.ones(3), 30)[:2]:
        assert (history >= 0).all()
        np.testing.assert_allclose(history.sum(axis=1), 1.0, atol=1e-9)


def test_omwu_underflow_gives_exact_zeros_in_play():
    half = np.array([0.5, 0.5])
    xs, _, _ = module_run("omwuoomd", 1000.0, 2, np.array([[0.0, 0.0], [1.0, 1.0]]), half, half, 3)
    assert np.array_equal(xs[1:], [[1.0, 0.0], [1.0, 0.0]])


def test_ftrl_counts_the_first_gradient_twice():
    a, x, y = np.array([[1.0, -2.0], [3.0, 0.5]]), np.array([0.3, 0.7]), np.array([0.6, 0.4])
    xs, ys, _ = module_run("omwuoftrl", 0.4, 2, a, x, y, 2)
    for played, g in zip((xs[1], ys[1]), gradients(a, x, y)):
        np.testing.assert_allclose(played, softmax(-2 * 0.4 * g), rtol=0, atol=1e-15)
