"""The three learning rules against plain NumPy renderings of them, and their edge cases.

The renderings below are written from the mathematical definitions of the rules, independently
of the module; the module's run histories must follow them to within rounding.
"""
import numpy as np
import pytest

import quarnel

EPS = 2.0 ** -52
TOLERANCE = 1e-8


def project(v):
    """Euclidean projection onto the probability simplex (sort-based)."""
    u = np.sort(v)[::-1]
    t = (np.cumsum(u) - 1.0) / np.arange(1, len(v) + 1)
    theta = t[np.nonzero(u > t)[0][-1]]
    return np.maximum(v - theta, 0.0)


def gradients(a, x, y):
    return a @ y, -(a.T @ x)


def duality_gap(gx, gy):
    return -gy.min() - gx.min()


class Ogda:
    def __init__(self, eta, dim):
        self.eta = eta
        self.x_hat = np.full(dim, 1.0 / dim)
        self.y_hat = np.full(dim, 1.0 / dim)

    def step(self, a, x, y):
        gx, gy = gradients(a, x, y)
        self.x_hat = project(self.x_hat - self.eta * gx)
        self.y_hat = project(self.y_hat - self.eta * gy)
        return project(self.x_hat - self.eta * gx), project(self.y_hat - self.eta * gy), duality_gap(gx, gy)


class OmwuOomd:
    def __init__(self, eta, dim):
        self.eta = eta
        self.x_hat = np.full(dim, 1.0 / dim)
        self.y_hat = np.full(dim, 1.0 / dim)

    def _tilt(self, hat, g):
        a = -self.eta * g
        e = np.exp(a - a.max())
        new_hat = hat * e + EPS
        new_hat /= new_hat.sum()
        played = new_hat * e
        return played / played.sum(), new_hat

    def step(self, a, x, y):
        gx, gy = gradients(a, x, y)
        x, self.x_hat = self._tilt(self.x_hat, gx)
        y, self.y_hat = self._tilt(self.y_hat, gy)
        return x, y, duality_gap(gx, gy)


class OmwuOftrl:
    def __init__(self, eta, dim):
        self.eta = eta
        self.sum_x = np.zeros(dim)
        self.sum_y = np.zeros(dim)

    def _softmax(self, total, g):
        z = -self.eta * (total + g)
        p = np.exp(z - z.max())
        return p / p.sum()

    def step(self, a, x, y):
        gx, gy = gradients(a, x, y)
        self.sum_x = self.sum_x + gx
        self.sum_y = self.sum_y + gy
        return self._softmax(self.sum_x, gx), self._softmax(self.sum_y, gy), duality_gap(gx, gy)


RULES = {"ogda": Ogda, "omwuoomd": OmwuOomd, "omwuoftrl": OmwuOftrl}


def reference_run(rule, a, x, y, num_steps):
    """The convergence run: histories of the strategies held before each step and of the gaps,
    padded with the converging row after an early stop. Returns them and the final strategies."""
    xs, ys, gaps = [], [], []
    for _ in range(num_steps):
        xs.append(x)
        ys.append(y)
        x, y, gap = rule.step(a, x, y)
        gaps.append(gap)
        if gap < TOLERANCE:
            break
    missing = num_steps - len(gaps)
    histories = (np.array(xs + xs[-1:] * missing), np.array(ys + ys[-1:] * missing), np.array(gaps + gaps[-1:] * missing))
    return histories, (x, y)


# ---------------------------------------------------------------------------------------------
# Tests


def module_run(rule_name, eta, dim, a, x, y, num_steps):
    state = quarnel.GameState(x, y, a)
    optimizer = getattr(quarnel.Optimizer, rule_name)(eta, dim)
    result = quarnel.Experiment(state, optimizer, num_steps).run_experiment_until_convergence_in_place()
    return result.x_history, result.y_history, result.gaps_history


def raises_panic(call):
    try:
        call()
    except BaseException as error:  # the module's panic type derives from BaseException
        assert type(error).__name__ == "PanicException"
        return str(error)
    raise AssertionError("no panic raised")


RULE_NAMES = list(RULES)
# (rows, cols, dim); with dim = 1 the optimizer's vectors stretch to the game's lengths.
SHAPES = [(2, 2, 2), (3, 3, 3), (5, 5, 5), (20, 20, 20), (2, 3, 1), (4, 2, 1), (1, 3, 1)]


@pytest.mark.parametrize("rule_name", RULE_NAMES)
@pytest.mark.parametrize("rows,cols,dim", SHAPES)
@pytest.mark.parametrize("eta", [0.05, 0.4])
def test_run_follows_the_numpy_rendering(rule_name, rows, cols, dim, eta):
    rng = np.random.default_rng(rows * 100 + cols * 10 + dim + int(eta * 100))
    # Scaled so that the operator norm stays near 1: larger step sizes make the dynamics
    # chaotic, and rounding differences would then grow without bound.
    a = rng.uniform(-1.0, 1.0, size=(rows, cols)) / np.sqrt(max(rows, cols))
    x, y = project(rng.uniform(-1, 1, rows)), project(rng.uniform(-1, 1, cols))
    got = module_run(rule_name, eta, dim, a, x, y, 300)
    expected, _ = reference_run(RULES[rule_name](eta, dim), a, x, y, 300)
    for got_history, expected_history in zip(got, expected):
        assert got_history.shape == expected_history.shape
        np.testing.assert_allclose(got_history, expected_history, rtol=0, atol=1e-12)


PENNIES = np.array([[1.0, -1.0], [-1.0, 1.0]])
HALF = np.array([0.5, 0.5])


@pytest.mark.parametrize("rule_name", RULE_NAMES)
def test_zero_gradients_keep_matching_pennies_still(rule_name):
    xs, ys, gaps = module_run(rule_name, 0.7, 2, PENNIES, HALF, HALF, 4)
    assert np.array_equal(xs, np.full((4, 2), 0.5))
    assert np.array_equal(ys, np.full((4, 2), 0.5))
    assert np.array_equal(gaps, np.zeros(4))


GAME_3X3 = np.array([[1.0, 2.0, 3.0], [-4.0, 5.0, 6.0], [7.0, -8.0, 9.0]])
START_X = np.array([1.0, 0.0, 0.0])
START_Y = np.array([0.0, 0.2, 0.8])


def test_zero_step_ogda_returns_to_the_uniform_point():
    xs, ys, _ = module_run("ogda", 0.0, 3, GAME_3X3, START_X, START_Y, 3)
    assert np.array_equal(xs[0], START_X)
    assert np.array_equal(xs[1:], np.full((2, 3), 1 / 3))
    assert np.array_equal(ys[1:], np.full((2, 3), 1 / 3))


def test_zero_step_ftrl_plays_exactly_uniform():
    xs, ys, _ = module_run("omwuoftrl", 0.0, 3, GAME_3X3, START_X, START_Y, 5)
    assert np.array_equal(xs[1:], np.full((4, 3), 1 / 3))
    assert np.array_equal(ys[1:], np.full((4, 3), 1 / 3))


def test_zero_step_omwu_plays_its_hat():
    xs, _, _ = module_run("omwuoomd", 0.0, 3, GAME_3X3, START_X, START_Y, 3)
    np.testing.assert_allclose(xs[1:], np.full((2, 3), 1 / 3), rtol=0, atol=1e-15)


@pytest.mark.parametrize("rule_name,dim", [(name, d) for name in RULE_NAMES for d in (2, 4)])
def test_mismatched_dimension_panics(rule_name, dim):
    message = raises_panic(lambda: module_run(rule_name, 0.1, dim, GAME_3X3, START_X, START_Y, 3))
    assert "[3]" in message and f"[{dim}]" in message


@pytest.mark.parametrize("rule_name,eta", [("ogda", 1e6), ("ogda", 1e300), ("omwuoomd", 1e3), ("omwuoftrl", 1e3)])
def test_huge_step_sizes_stay_on_the_simplex(rule_name, eta):
    a = np.array([[0.3, -1.2, 2.0], [1.1, 0.4, -0.7]])
    xs, ys, _ = module_run(rule_name, eta, 1, a, np.ones(2), np.ones(3), 30)
    for history in (xs, ys):
        assert (history >= 0).all()
        np.testing.assert_allclose(history.sum(axis=1), 1.0, atol=1e-9)


def test_omwu_underflow_gives_exact_zeros_in_play():
    a = np.array([[0.0, 0.0], [1.0, 1.0]])
    xs, _, _ = module_run("omwuoomd", 1000.0, 2, a, HALF, HALF, 3)
    assert np.array_equal(xs[1], [1.0, 0.0])
    assert np.array_equal(xs[2], [1.0, 0.0])


def test_ftrl_counts_the_first_gradient_twice():
    a = np.array([[1.0, -2.0], [3.0, 0.5]])
    x, y = np.array([0.3, 0.7]), np.array([0.6, 0.4])
    xs, ys, _ = module_run("omwuoftrl", 0.4, 2, a, x, y, 2)
    gx, gy = gradients(a, x, y)
    for played, g in ((xs[1], gx), (ys[1], gy)):
        z = -2 * 0.4 * g
        np.testing.assert_allclose(played, np.exp(z - z.max()) / np.exp(z - z.max()).sum(), rtol=0, atol=1e-15)
