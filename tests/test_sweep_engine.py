"""The private entry points of the sweep layer: keyed, reproducible trials run without the
interpreter lock, reduced to one column per output."""
import json
import math
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import quarnel
from quarnel import GameState, Optimizer
from support import child_env, gap_summary, matrix_norms, run, run_script

KEY = bytes(range(16))
BASE = np.array([[0.5, -0.25], [-0.75, 1.0]])
RPS = np.array([[0.0, -1.0, 1.0], [1.0, 0.0, -1.0], [-1.0, 1.0, 0.0]])
# With tolerances and last rows: every output, in the engine's order, and its type.
COLUMNS = {name: np.float64 for name in ["norm_max", "norm_infinity", "norm_frobenius", "max_last", "var_last",
                                         "total_var", "last_gap", "best_gap", "avg_gap", "rate"]}
COLUMNS.update(steps=np.int64, best_step=np.int64, steps_below=np.int64, last_x=np.float64, last_y=np.float64)
# Stays at the uniform strategies (zero step size), no equilibrium: never converges.
STUCK = np.array([[2.0, -1.0], [-1.0, 1.0]])
CASES = {"ogda_2x2": (BASE, lambda: Optimizer.ogda(0.1, 2)), "omwu_3x3": (RPS, lambda: Optimizer.omwuoftrl(0.2, 3))}


def sweep(a, optimizer, first, count, workers=0, num_steps=150, low=0.1, high=0.5, cutoff=0.1, key=KEY):
    return quarnel._sweep(a, optimizer, key, first, count, num_steps, low, high, cutoff, workers,
                          tolerances=np.array([0.05, 1e-3]), last=True)


def assert_same_columns(first, second):
    assert list(first) == list(COLUMNS) and list(second) == list(COLUMNS)
    for name in COLUMNS:
        np.testing.assert_array_equal(first[name], second[name], err_msg=name)


@pytest.mark.parametrize("case", CASES)
def test_a_key_gives_the_same_trials_whatever_the_workers_and_the_cutting(case):
    a, optimizer = CASES[case]
    whole = sweep(a, optimizer(), 0, 40)
    assert {name: whole[name].dtype for name in COLUMNS} == COLUMNS
    assert [whole[name].shape for name in ("steps_below", "last_x", "last_y")] == [(40, 2), (40, len(a)), (40, len(a))]
    assert_same_columns(whole, sweep(a, optimizer(), 0, 40, workers=1))
    assert_same_columns(whole, sweep(a, optimizer(), 0, 40, workers=2))
    for cuts in ([0, 13, 14, 40], [0, 7, 21, 33, 40]):
        pieces = [sweep(a, optimizer(), lo, hi - lo) for lo, hi in zip(cuts, cuts[1:])]
        assert_same_columns(whole, {name: np.concatenate([p[name] for p in pieces]) for name in COLUMNS})
    assert not np.array_equal(whole["norm_max"], sweep(a, optimizer(), 0, 40, key=bytes(16))["norm_max"])


def philox_perturbation(key, index, rows, cols, low, high):
    """Trial `index`'s perturbation from NumPy's own Philox4x64-10: key words little-endian,
    counters (block, index, 0, 0); per entry a magnitude low + scale * (top 53 bits of a word)
    and a sign (top bit of the next word), the scale narrowed so that no magnitude reaches high."""
    counter = np.array([2**64 - 1, index - 1, 0, 0], dtype=np.uint64)  # the generator steps before it draws
    words = np.random.Philox(key=np.frombuffer(key, "<u8"), counter=counter).random_raw(2 * rows * cols)
    scale = high - low
    while low + scale * (1 - 2.0**-53) >= high:
        scale = math.nextafter(scale, 0.0)
    magnitudes = low + scale * ((words[0::2] >> np.uint64(11)).astype(float) * 2.0**-53)
    return np.where(words[1::2] >> np.uint64(63) == 1, -magnitudes, magnitudes).reshape(rows, cols)


def test_a_trial_perturbation_is_what_the_trial_drew_and_numpy_can_redraw_it():
    columns = sweep(RPS, Optimizer.ogda(0.1, 3), 5, 4, low=0.5, high=1.0)
    for k, index in enumerate(range(5, 9)):
        drawn = quarnel._perturbation(KEY, index, 3, 3, 0.5, 1.0)
        np.testing.assert_array_equal(drawn, philox_perturbation(KEY, index, 3, 3, 0.5, 1.0))
        for name, value in matrix_norms(drawn).items():
            assert columns[name][k] == value, (index, name)


@pytest.mark.parametrize("normalize", [False, True])
def test_a_stack_of_2x2_matrices_runs_as_the_neighborhood_exploration(normalize):
    stack = np.random.default_rng(3).uniform(-1, 1, (9, 2, 2))
    stack[4] = [[1.0, 2.0], [0.0, 3.0]]  # a pure equilibrium: converges
    optimizer = Optimizer.ogda(0.3, 2)
    run(GameState(np.array([0.5, 0.5]), np.array([0.5, 0.5]), stack[0]), optimizer, 3)  # runs start from its state
    columns = quarnel._run_stack(stack[:, ::-1, :], optimizer, 60, normalize, 0.25, 0)  # any layout
    runs = quarnel.neighborhood_exploration(stack[:, ::-1, :].copy(), optimizer, 60, normalize)
    for k, result in enumerate(runs):
        for name, value in gap_summary(result.gaps_history, 0.25).items():
            assert columns[name][k] == value, (k, name)
    assert columns["steps"].min() < 60


def test_the_interpreter_lock_is_free_while_a_sweep_runs():
    ticks, done = [0], threading.Event()

    def count():
        while not done.is_set():
            ticks[0] += 1

    counter = threading.Thread(target=count)
    counter.start()
    try:
        before = ticks[0]
        sweep(STUCK, Optimizer.ogda(0.0, 2), 0, 8, num_steps=2 * 10**6)
        during = ticks[0] - before
    finally:
        done.set()
        counter.join()
    assert during > 10_000


@pytest.mark.parametrize("workers", [0, 1])
def test_ctrl_c_stops_a_long_sweep_promptly(workers):
    child = f"""
        import json, os, signal, threading, time
        import numpy as np, quarnel
        sent = []
        def interrupt():
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)
        threading.Timer(0.3, interrupt).start()
        stuck = np.array([[2.0, -1.0], [-1.0, 1.0]])
        try:
            quarnel._sweep(stuck, quarnel.Optimizer.ogda(0.0, 2), bytes(16), 0, 64, 10**7, 0.1, 0.2, 0.1, {workers})
        except KeyboardInterrupt:
            print(json.dumps(time.monotonic() - sent[0]))
    """
    latencies = [json.loads(run_script(child)) for _ in range(3)]  # the least of three: a busy machine
    assert min(latencies) < 0.2, latencies


@pytest.mark.parametrize("call, error", [
    (lambda: sweep(BASE, Optimizer.ogda(0.1, 2), 0, 2, key=b"short"), ValueError),
    (lambda: sweep(BASE, Optimizer.ogda(0.1, 2), 0, 2, key="0" * 16), TypeError),
    (lambda: sweep(BASE, Optimizer.ogda(0.1, 2), -1, 2), OverflowError),
    (lambda: sweep(BASE, Optimizer.ogda(0.1, 2), 2**64 - 1, 2), OverflowError),
    (lambda: sweep(BASE, Optimizer.ogda(0.1, 2), 0, 2**60), MemoryError),
    (lambda: sweep(BASE, Optimizer.ogda(0.1, 2), 0, 2, num_steps=2**60), MemoryError),
    (lambda: quarnel._perturbation(KEY, 0, 2**40, 2**40, 0.1, 0.2), MemoryError),
    (lambda: quarnel._run_stack(np.zeros((2, 2)), Optimizer.ogda(0.1, 2), 5, False, 0.1, 0), TypeError),
])
def test_refusals(call, error):
    with pytest.raises(error):
        call()


def test_the_pool_reports_its_size_its_source_and_the_kernel():
    info = json.loads(run_script("import json, quarnel; print(json.dumps(quarnel._pool_info()))",
                                 RAYON_NUM_THREADS="3"))
    assert info["workers"] == 3 and info["source"] == "RAYON_NUM_THREADS"
    # The best build the processor runs, unless one is forced.
    assert info["instruction_set"] == (os.environ.get("QUARNEL_INSTRUCTION_SET") or info["instruction_sets"][0])
    assert [name for name in vars(quarnel) if not name.startswith("_")] == quarnel.__all__


def test_any_build_the_processor_runs_can_be_forced_and_no_other():
    runnable = quarnel._pool_info()["instruction_sets"]
    for name in runnable:
        assert run_script("import quarnel; print(quarnel._pool_info()['instruction_set'])",
                          QUARNEL_INSTRUCTION_SET=name).strip() == name
    for name in ("avx1024", "neon" if "avx2" in runnable or "baseline" in runnable else "avx2"):
        failed = subprocess.run([sys.executable, "-c", "import quarnel"], capture_output=True, text=True,
                                env=child_env(QUARNEL_INSTRUCTION_SET=name))
        assert failed.returncode == 1 and "ImportError" in failed.stderr
        assert f"QUARNEL_INSTRUCTION_SET={name}" in failed.stderr and ", ".join(runnable) in failed.stderr


def test_engine_norms_follow_the_distribution_of_the_module_exploration():
    stats = pytest.importorskip("scipy.stats")
    engine = sweep(RPS, Optimizer.ogda(0.1, 3), 0, 3000, num_steps=1)["norm_frobenius"]
    module = quarnel.scattered_exploration(RPS, Optimizer.ogda(0.1, 3), 3000, 1, 0.1, 0.5, "frobenius",
                                           "total_var").norms
    assert stats.ks_2samp(engine, module).pvalue > 1e-4
