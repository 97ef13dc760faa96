"""The three learning rules batched over trials, the way a researcher would run many of them at once.

`numpy_runs()` vectorises over the trial axis; `jax_runs()` writes one trial and lets
`jax.jit(jax.vmap(...))` batch it, the steps in `lax.scan`, in float64. Each run function takes
a stack of matrices (trials x m x n), a step size and a step count, starts every trial from the
uniform strategies and returns the gap histories (trials x steps). They take every step: the
benchmark picks a step size at which no trial converges.
"""
import numpy as np

EPSILON = 2.0 ** -52


def numpy_runs():
    def project(v):
        d = v.shape[1]
        u = -np.sort(-v, axis=1)
        cumsum = np.cumsum(u, axis=1) - 1.0
        passing = u > cumsum / np.arange(1, d + 1)
        rho = d - np.argmax(passing[:, ::-1], axis=1)  # the last passing index, plus one
        theta = np.take_along_axis(cumsum, (rho - 1)[:, None], axis=1) / rho[:, None]
        return np.maximum(v - theta, 0.0)

    def normalise(v):
        return v / v.sum(axis=1, keepdims=True)

    def softmax_of(z):
        return normalise(np.exp(z - z.max(axis=1, keepdims=True)))

    def ogda(x, y, gx, gy, eta, x_hat, y_hat):
        x_hat, y_hat = project(x_hat - eta * gx), project(y_hat - eta * gy)
        return project(x_hat - eta * gx), project(y_hat - eta * gy), x_hat, y_hat

    def omwu_oomd(x, y, gx, gy, eta, x_hat, y_hat):
        ax, ay = -eta * gx, -eta * gy
        ex, ey = np.exp(ax - ax.max(axis=1, keepdims=True)), np.exp(ay - ay.max(axis=1, keepdims=True))
        x_hat, y_hat = normalise(x_hat * ex + EPSILON), normalise(y_hat * ey + EPSILON)
        return normalise(x_hat * ex), normalise(y_hat * ey), x_hat, y_hat

    def omwu_oftrl(x, y, gx, gy, eta, sum_x, sum_y):
        sum_x, sum_y = sum_x + gx, sum_y + gy
        return softmax_of(-eta * (sum_x + gx)), softmax_of(-eta * (sum_y + gy)), sum_x, sum_y

    def make_run(step, hats_start_uniform):
        def run(a, eta, num_steps):
            trials, m, n = a.shape
            x, y = np.full((trials, m), 1.0 / m), np.full((trials, n), 1.0 / n)
            u, v = (x.copy(), y.copy()) if hats_start_uniform else (np.zeros_like(x), np.zeros_like(y))
            gaps = np.empty((trials, num_steps))
            for k in range(num_steps):
                gx = np.matmul(a, y[:, :, None])[:, :, 0]
                gy = -np.matmul(x[:, None, :], a)[:, 0, :]
                gaps[:, k] = -gy.min(axis=1) - gx.min(axis=1)
                x, y, u, v = step(x, y, gx, gy, eta, u, v)
            return gaps

        return run

    return {"ogda": make_run(ogda, True), "omwuoomd": make_run(omwu_oomd, True),
            "omwuoftrl": make_run(omwu_oftrl, False)}


def jax_runs():
    """Raises ImportError when JAX is not installed."""
    import jax
    import jax.numpy as jnp

    jax.config.update("jax_enable_x64", True)

    def project(v):
        d = v.shape[0]
        u = -jnp.sort(-v)
        cumsum = jnp.cumsum(u) - 1.0
        index = jnp.arange(1, d + 1)
        rho = jnp.max(jnp.where(u > cumsum / index, index, 0))
        return jnp.maximum(v - cumsum[rho - 1] / rho, 0.0)

    def softmax_of(z):
        e = jnp.exp(z - z.max())
        return e / e.sum()

    def ogda(x, y, gx, gy, eta, x_hat, y_hat):
        x_hat, y_hat = project(x_hat - eta * gx), project(y_hat - eta * gy)
        return project(x_hat - eta * gx), project(y_hat - eta * gy), x_hat, y_hat

    def omwu_oomd(x, y, gx, gy, eta, x_hat, y_hat):
        ax, ay = -eta * gx, -eta * gy
        ex, ey = jnp.exp(ax - ax.max()), jnp.exp(ay - ay.max())
        x_hat, y_hat = x_hat * ex + EPSILON, y_hat * ey + EPSILON
        x_hat, y_hat = x_hat / x_hat.sum(), y_hat / y_hat.sum()
        x, y = x_hat * ex, y_hat * ey
        return x / x.sum(), y / y.sum(), x_hat, y_hat

    def omwu_oftrl(x, y, gx, gy, eta, sum_x, sum_y):
        sum_x, sum_y = sum_x + gx, sum_y + gy
        return softmax_of(-eta * (sum_x + gx)), softmax_of(-eta * (sum_y + gy)), sum_x, sum_y

    def make_run(step, hats_start_uniform):
        def one_trial(a, eta, num_steps):
            m, n = a.shape
            x, y = jnp.full(m, 1.0 / m), jnp.full(n, 1.0 / n)
            u, v = (x, y) if hats_start_uniform else (jnp.zeros(m), jnp.zeros(n))

            def body(carry, _):
                x, y, u, v = carry
                gx, gy = a @ y, -(x @ a)
                gap = -gy.min() - gx.min()
                return step(x, y, gx, gy, eta, u, v), gap

            return jax.lax.scan(body, (x, y, u, v), None, length=num_steps)[1]

        batched = jax.jit(jax.vmap(one_trial, in_axes=(0, None, None)), static_argnums=2)

        def run(a, eta, num_steps):
            return np.asarray(batched(jnp.asarray(a), eta, num_steps).block_until_ready())

        return run

    return {"ogda": make_run(ogda, True), "omwuoomd": make_run(omwu_oomd, True),
            "omwuoftrl": make_run(omwu_oftrl, False)}
