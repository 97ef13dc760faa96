"""Ctrl-C during long calls: SIGINT sent to a child process stops the call promptly with
KeyboardInterrupt, returns nothing, and leaves the module usable."""
import json
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from support import child_env

# Largest delay from the signal to KeyboardInterrupt seen in Python.
MAX_LATENCY = 0.2

# The child builds its inputs, says "ready", runs the long call and reports as JSON what it saw.
CHILD_PRELUDE = textwrap.dedent(
    """
    import json, sys, time
    import numpy as np
    import quarnel
    from quarnel import Optimizer

    # Stays at the uniform strategies (zero step size), which are no equilibrium: never converges.
    STUCK = np.array([[2.0, -1.0], [-1.0, 1.0]])

    report = {}

    def interrupted(call):
        print("ready", flush=True)
        try:
            call()
        except KeyboardInterrupt:
            return time.monotonic()
        return None

    def pool_still_works():
        out = quarnel.scattered_exploration(STUCK, Optimizer.ogda(0.1, 2), 50, 20, 0.1, 0.2, "max", "max_last")
        return out.norms.shape == (50,) and bool(np.all((out.norms >= 0.1) & (out.norms <= 0.2)))
    """
)

LONG_CALLS = {
    "scattered": """
        seen = interrupted(lambda: quarnel.scattered_exploration(
            STUCK, Optimizer.ogda(0.0, 2), 640, 10**6, 0.1, 0.2, "max", "max_last"))
    """,
    # One trial per slice runs on the calling thread: only the checks between loops see Ctrl-C.
    "concentric": """
        seen = interrupted(lambda: quarnel.concentric_exploration(
            STUCK, Optimizer.ogda(0.0, 2), 2 * 10**6, 10, 0.1, 0.2, 2 * 10**6, "max_last"))
    """,
    "neighborhood": """
        seen = interrupted(lambda: quarnel.neighborhood_exploration(
            np.tile(STUCK, (480, 1, 1)), Optimizer.omwuoftrl(0.0, 2), 2 * 10**5, False))
    """,
    # One trial on a huge base: its setup (blank matrix, perturbation, norm, addition) polls.
    "huge base": """
        huge = np.ones((8000, 8000))
        seen = interrupted(lambda: quarnel.scattered_exploration(
            huge, Optimizer.ogda(0.1, 1), 1, 1, 0.1, 0.2, "max", "max_last"))
    """,
    "quarnel_lab sweep": """
        import quarnel_lab
        seen = interrupted(lambda: quarnel_lab.scattered(STUCK, "ogda", eta=1e-300, steps=10**6, trials=640, inner=0.1,
                                                         outer=0.2, progress=False))
    """,
    # The steps that completed stay in both objects (checked exactly by the unit tests), which
    # remain usable.
    "single run": """
        n = 2000
        payoff = np.random.default_rng(7).standard_normal((n, n))
        def run(state, optimizer, steps):
            return quarnel.Experiment(state, optimizer, steps).run_experiment_until_convergence_in_place()
        def held(state):
            return run(state, Optimizer.ogda(0.0, 1), 1).x_history[0]
        state, optimizer = quarnel.GameState(np.ones(n), np.ones(n), payoff), Optimizer.ogda(0.01, n)
        seen = interrupted(lambda: run(state, optimizer, 2500))
        report["moved"] = not np.array_equal(held(state), held(quarnel.GameState(np.ones(n), np.ones(n), payoff)))
    """,
}


def signalled_child(body, delay):
    """Runs the prelude and `body` in a child, sends SIGINT `delay` seconds after it is ready and
    returns the time it was sent and the report the child printed."""
    script = CHILD_PRELUDE + textwrap.dedent(body) + "\nprint(json.dumps(report), flush=True)\n"
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True, env=child_env())
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(delay)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=120)
    finally:
        child.kill()
    assert child.returncode == 0, out
    return sent, json.loads(out.splitlines()[-1])


@pytest.mark.parametrize("kind", LONG_CALLS)
def test_ctrl_c_stops_the_call_promptly_and_the_module_stays_usable(kind):
    # A machine busy with other work may deschedule the child at the wrong moment: the latency
    # bound must hold in one of three attempts, everything else in all of them.
    latencies = []
    while len(latencies) < 3 and min(latencies, default=MAX_LATENCY) >= MAX_LATENCY:
        body = textwrap.dedent(LONG_CALLS[kind]) + "report.update(seen=seen, pool_works=pool_still_works())\n"
        sent, report = signalled_child(body, delay=0.15)
        assert report["seen"] is not None, "the call finished before the signal"
        latencies.append(report["seen"] - sent)
        assert report["pool_works"]
        assert report.get("moved", True), "the interrupted run kept none of its steps"
    assert min(latencies) < MAX_LATENCY, latencies


def test_a_handler_that_does_not_raise_lets_the_call_finish_and_may_itself_explore():
    body = """
        import signal
        inner = []
        signal.signal(signal.SIGINT, lambda *_: inner.append(pool_still_works()))
        print("ready", flush=True)
        out = quarnel.scattered_exploration(STUCK, Optimizer.ogda(0.0, 2), 8, 10**6, 0.1, 0.2, "max", "max_last")
        report = {"finished": out.metrics.shape == (8,), "inner": inner}
    """
    assert signalled_child(body, delay=0.05)[1] == {"finished": True, "inner": [True]}
