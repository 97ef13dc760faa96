"""The three learning rules written the way a researcher would write them in NumPy.

`build(jit)` returns the three run functions; with `jit=numba.njit` the very same code becomes
the Numba baseline, so both baselines do exactly the same work.
"""
import numpy as np

EPSILON = 2.0 ** -52
TOLERANCE = 1e-8


def build(jit=lambda f: f):
    @jit
    def project(v):
        u = np.sort(v)[::-1]
        cumsum = np.cumsum(u) - 1.0
        index = np.arange(1, v.shape[0] + 1)
        passing = u > cumsum / index
        rho = index[passing][-1]
        theta = cumsum[passing][-1] / rho
        return np.maximum(v - theta, 0.0)

    @jit
    def gradients(a, x, y):
        return a @ y, -(a.T @ x)

    @jit
    def record(x_hist, y_hist, gaps, k, x, y, gap):
        x_hist[k] = x
        y_hist[k] = y
        gaps[k] = gap

    @jit
    def fill_tail(x_hist, y_hist, gaps, k):
        for j in range(k + 1, gaps.shape[0]):
            x_hist[j] = x_hist[k]
            y_hist[j] = y_hist[k]
            gaps[j] = gaps[k]

    @jit
    def ogda_step(x, y, gx, gy, eta, x_hat, y_hat):
        sx, sy = eta * gx, eta * gy
        x_hat = project(x_hat - sx)
        y_hat = project(y_hat - sy)
        return project(x_hat - sx), project(y_hat - sy), x_hat, y_hat

    @jit
    def omwu_oomd_step(x, y, gx, gy, eta, x_hat, y_hat):
        ax, ay = -eta * gx, -eta * gy
        ex, ey = np.exp(ax - ax.max()), np.exp(ay - ay.max())
        x_hat = x_hat * ex + EPSILON
        x_hat = x_hat / x_hat.sum()
        y_hat = y_hat * ey + EPSILON
        y_hat = y_hat / y_hat.sum()
        x = x_hat * ex
        y = y_hat * ey
        return x / x.sum(), y / y.sum(), x_hat, y_hat

    @jit
    def omwu_oftrl_step(x, y, gx, gy, eta, sum_x, sum_y):
        sum_x = sum_x + gx
        sum_y = sum_y + gy
        zx, zy = -eta * (sum_x + gx), -eta * (sum_y + gy)
        x = np.exp(zx - zx.max())
        y = np.exp(zy - zy.max())
        return x / x.sum(), y / y.sum(), sum_x, sum_y

    def make_run(step, hats_start_uniform):
        @jit
        def run(a, eta, num_steps):
            m, n = a.shape
            x, y = np.full(m, 1.0 / m), np.full(n, 1.0 / n)
            if hats_start_uniform:
                u, v = x.copy(), y.copy()
            else:
                u, v = np.zeros(m), np.zeros(n)
            x_hist, y_hist, gaps = np.zeros((num_steps, m)), np.zeros((num_steps, n)), np.zeros(num_steps)
            for k in range(num_steps):
                gx, gy = gradients(a, x, y)
                gap = -gy.min() - gx.min()
                record(x_hist, y_hist, gaps, k, x, y, gap)
                x, y, u, v = step(x, y, gx, gy, eta, u, v)
                if gap < TOLERANCE:
                    fill_tail(x_hist, y_hist, gaps, k)
                    break
            return x_hist, y_hist, gaps

        return run

    return {
        "ogda": make_run(ogda_step, True),
        "omwuoomd": make_run(omwu_oomd_step, True),
        "omwuoftrl": make_run(omwu_oftrl_step, False),
    }
