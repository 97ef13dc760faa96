"""Stress: sizes beyond the machine's memory, failing trials among thousands, and explorations
in child processes created by fork and spawn."""
import json
import multiprocessing
import os

import numpy as np
import pytest

import quarnel
from quarnel import Optimizer
from support import PanicException, run_script

# No pure equilibrium: short runs on it keep stepping.
STUCK = np.array([[2.0, -1.0], [-1.0, 1.0]])


def small_exploration(_=None):
    out = quarnel.scattered_exploration(STUCK, Optimizer.ogda(0.1, 2), 40, 30, 0.1, 0.2, "max", "max_last")
    return out.norms.shape == (40,) and bool(np.all((out.norms >= 0.1) & (out.norms <= 0.2)))


# Sizes are fractions of the memory available when the child starts: together they exceed
# what the system can back, so only the up-front check stops the call from filling memory until
# the process is killed. As a safety net for the machine, the child's address space is capped:
# should the check fail, big allocations fail there too, and the neighborhood, whose runs each
# fill 1 GiB, shows it in the peak resident size.
OVERSIZED_CHILD = """
    import json, resource, sys, time
    import numpy as np
    import quarnel
    from quarnel import Optimizer

    def meminfo(key):
        for line in open("/proc/meminfo"):
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024

    def address_space():
        for line in open("/proc/self/status"):
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

    avail = meminfo("MemAvailable")
    limit = address_space() + (2 << 30)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    two_by_two = np.array([[2.0, -1.0], [-1.0, 1.0]])
    fraction = lambda f, item: int(f * avail / item)
    gib_of_steps = (1 << 30) // 40  # 2 x 2 histories take 40 bytes a step
    calls = {
        "run histories": lambda: quarnel.Experiment(
            quarnel.GameState(np.ones(2), np.ones(2), two_by_two), Optimizer.ogda(0.1, 2),
            fraction(1.5, 40)).run_experiment_until_convergence_in_place(),
        "projected dim": lambda: Optimizer.omwuoomd(0.1, fraction(0.4, 8)),
        "broadcast strategy": lambda: quarnel.GameState(
            np.broadcast_to(1.0, (fraction(0.4, 8),)), np.ones(2), two_by_two),
        "trials": lambda: quarnel.scattered_exploration(
            two_by_two, Optimizer.ogda(0.1, 2), fraction(1.5, 32), 1, 0.1, 0.2, "max", "max_last"),
        "slices": lambda: quarnel.concentric_exploration(
            two_by_two, Optimizer.ogda(0.1, 2), 0, 1, 0.1, 0.2, fraction(1.5, 56), "max_last"),
        "neighborhood histories": lambda: quarnel.neighborhood_exploration(
            np.ones((fraction(1.5, 1 << 30) + 1, 2, 2)), Optimizer.ogda(0.1, 2), gib_of_steps, False),
        "gap histories": lambda: quarnel.scattered_exploration(
            two_by_two, Optimizer.ogda(0.1, 2), 2, fraction(1.5, 16), 0.1, 0.2, "max", "max_last"),
    }
    peak = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    report, peak_before = {}, peak()
    for name, call in calls.items():
        start = time.monotonic()
        try:
            call()
            outcome = "returned"
        except BaseException as caught:
            outcome = type(caught).__name__
        report[name] = [outcome, time.monotonic() - start]
    report["peak_growth"] = peak() - peak_before
    report["still_works"] = quarnel.Optimizer.ogda(0.1, 3) is not None
    print(json.dumps(report))
"""


def test_sizes_beyond_available_memory_raise_memory_error_without_filling_it():
    report = json.loads(run_script(OVERSIZED_CHILD))
    assert report.pop("peak_growth") < 256 << 20
    assert report.pop("still_works")
    for name, (outcome, seconds) in report.items():
        assert outcome == "MemoryError", name
        assert seconds < 1.0, name


def test_failing_matrices_at_random_positions_always_fail_cleanly():
    rng = np.random.default_rng()
    optimizers = [Optimizer.omwuoomd(0.1, 2), Optimizer.omwuoftrl(0.1, 2)]
    stack = np.tile(STUCK, (3000, 1, 1))
    assert len(quarnel.neighborhood_exploration(stack, optimizers[0], 50, False)) == 3000
    for round_ in range(20):
        broken = stack.copy()
        broken[rng.choice(len(stack), size=rng.integers(1, 4), replace=False), 0, 1] = np.nan
        with pytest.raises(PanicException, match=r"^[xy] doesn't lie on the simplex"):
            quarnel.neighborhood_exploration(broken, optimizers[round_ % 2], 50, bool(round_ % 3))
        assert small_exploration()


def test_rare_overflowing_trials_fail_cleanly_or_not_at_all():
    # One entry so close to the largest float that a few perturbations push it to infinity,
    # where the projection gives up; every other trial runs normally.
    base = np.array([[1e308, 0.0], [0.0, 0.0]])
    outcomes = set()
    for _ in range(20):
        try:
            out = quarnel.scattered_exploration(base, Optimizer.ogda(0.1, 2), 2000, 20, 0.0, 0.8e308, "max", "max_last")
        except PanicException as caught:
            assert caught.args == ("Issue computing theta",)
            outcomes.add("failed")
        else:
            assert out.metrics.shape == (2000,)
            outcomes.add("succeeded")
        assert small_exploration()
    assert "failed" in outcomes


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_child_processes_run_explorations(method):
    assert small_exploration()  # the parent's pool exists, with its threads, before any fork
    context = multiprocessing.get_context(method)
    rounds = 3 if method == "spawn" else 10
    for _ in range(rounds):
        with context.Pool(2) as pool:
            assert pool.map(small_exploration, range(4)) == [True] * 4
    assert small_exploration()


def test_forked_children_and_grandchildren_get_working_pools():
    for _ in range(10):
        pid = os.fork()
        if pid == 0:
            works = small_exploration()
            grandchild = os.fork()
            if grandchild == 0:
                os._exit(0 if small_exploration() else 1)
            _, status = os.waitpid(grandchild, 0)
            os._exit(0 if works and os.waitstatus_to_exitcode(status) == 0 else 1)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
