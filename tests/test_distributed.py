"""Sweeps on an executor or a Dask cluster: the local result, whatever runs the chunks or fails on the way."""
import multiprocessing
import os
import pickle
import signal
import sys
import threading
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import numpy as np
import pytest

import quarnel_lab as ql
from quarnel_lab import chunking
from quarnel_lab.checkpoint import Checkpoint
from quarnel_lab.cli import main

distributed = pytest.importorskip("distributed")
pytestmark = pytest.mark.timeout(60)

RPS = np.array([[0.0, -1.0, 1.0], [1.0, 0.0, -1.0], [-1.0, 1.0, 0.0]])
HUGE = np.array([[1e308, 1e308], [-1e308, 1e308]])  # a huge step overflows its gradient step
STACK = np.random.default_rng(5).normal(size=(300, 2, 3))
SWEEPS = {
    "scattered": lambda **kw: ql.scattered(RPS, "ogda", eta=0.1, steps=300, trials=700, inner=0.05, outer=0.4,
                                           seed=11, progress=False, **kw),
    "concentric": lambda **kw: ql.concentric(RPS, "omwuoomd", eta=0.1, steps=300, trials=601, inner=0.1, outer=0.7,
                                             slices=3, seed=11, progress=False, **kw),
    "neighborhood": lambda **kw: ql.neighborhood(STACK, "omwuoftrl", eta=0.1, steps=300, normalize=True,
                                                 progress=False, **kw),
    "equilibria": lambda **kw: ql.neighborhood(STACK[:60], "ogda", eta=0.1, steps=300, equilibrium=True,
                                               progress=False, **kw),
}


# Never converges (a vanishing step size stays at the uniform start): every trial runs all its steps.
def slow_sweep(**kw):
    return ql.scattered(RPS, "ogda", eta=1e-300, steps=20000, trials=1600, inner=0.05, outer=0.4, seed=3,
                        progress=False, **kw)


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0") as local:
        yield local


@pytest.fixture
def client(cluster):
    with distributed.Client(cluster, timeout=30) as connected:
        connected.wait_for_workers(2, timeout=30)
        yield connected


def assert_same_columns(first, second):
    assert first.columns == second.columns and len(first) == len(second)
    for name in first.columns:
        np.testing.assert_array_equal(first[name], second[name], err_msg=name)


@pytest.mark.parametrize("kind", SWEEPS)
def test_a_cluster_or_a_process_pool_gives_the_local_result(kind, client, cluster):
    local = SWEEPS[kind]()
    assert_same_columns(local, SWEEPS[kind](client=client))
    assert_same_columns(local, SWEEPS[kind](client=cluster.scheduler_address, chunk=37, retries=1))
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        assert_same_columns(local, SWEEPS[kind](executor=pool))


class RecordingExecutor(ThreadPoolExecutor):
    def __init__(self):
        super().__init__(max_workers=3)
        self.ranges = []

    def submit(self, function, chunk):
        self.ranges.append(range(chunk.first, chunk.first + chunk.count))
        return super().submit(function, chunk)


def test_chunks_tile_the_trials_several_per_worker_and_come_back_in_order():
    with RecordingExecutor() as executor:
        assert_same_columns(SWEEPS["scattered"](), SWEEPS["scattered"](executor=executor))
    ranges = executor.ranges
    assert ranges[0] == range(16) and len(ranges) - 1 >= max(8, 4 * 3)
    assert [trials.start for trials in ranges[1:]] == [trials.stop for trials in ranges[:-1]] and ranges[-1].stop == 700


# Two sweeps of 32 million trial-steps and a killed worker: about 40 s under AddressSanitizer on
# an idle machine.
@pytest.mark.timeout(180)
def test_a_worker_killed_mid_sweep_changes_nothing_and_the_cluster_stays_usable(client):
    pids = client.run(os.getpid)
    killed = []

    def kill_a_busy_worker():
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            busy = [address for address, keys in client.processing().items() if keys]
            if busy:
                time.sleep(0.3)
                os.kill(pids[busy[0]], signal.SIGKILL)
                killed.append(time.monotonic())
                return
            time.sleep(0.01)

    killer = threading.Thread(target=kill_a_busy_worker)
    killer.start()
    try:
        result = slow_sweep(client=client, chunk=50)
        ended = time.monotonic()
    finally:
        killer.join()
    assert killed and killed[0] < ended, "the sweep ended before a worker was killed"
    assert_same_columns(slow_sweep(), result)
    client.wait_for_workers(2, timeout=30)
    assert_same_columns(SWEEPS["scattered"](), SWEEPS["scattered"](client=client))


@pytest.mark.parametrize("where", ["client", "executor"])
def test_a_failing_trial_raises_an_ordinary_exception_naming_its_trials(where, client):
    with ThreadPoolExecutor(2) as pool:
        with pytest.raises(Exception) as caught:
            ql.scattered(HUGE, "ogda", eta=1e300, steps=10, trials=64, inner=0.1, outer=0.5, chunk=20,
                         progress=False, **{where: {"client": client, "executor": pool}[where]})
    failure = caught.value
    assert isinstance(failure, ql.DynamicsError) and failure.message == "Issue computing theta"
    assert failure.trials.stop - failure.trials.start in (20, 4) and str(failure).startswith(f"trials [{failure.trials.start}, ")
    assert str(pickle.loads(pickle.dumps(failure))) == str(failure)  # also with Dask's chained-exception pickling
    assert_same_columns(SWEEPS["scattered"](), SWEEPS["scattered"](client=client))


def test_an_interrupted_sweep_resumes_from_its_checkpoint_to_the_same_result(client, tmp_path, monkeypatch):
    reference = SWEEPS["concentric"]()
    saves = []
    save = Checkpoint.save

    def interrupted(self, first, part):
        if len(saves) == 4:
            raise KeyboardInterrupt
        saves.append(len(part["steps"]))
        save(self, first, part)

    with monkeypatch.context() as patched:
        patched.setattr(Checkpoint, "save", interrupted)
        with pytest.raises(KeyboardInterrupt):
            SWEEPS["concentric"](client=client, chunk=25, checkpoint=tmp_path)
    (tmp_path / "trials-0-25.npz.77.partial").write_bytes(b"cut short")

    run, counted = chunking.run_chunk, []
    monkeypatch.setattr(chunking, "run_chunk", lambda chunk: counted.append(chunk.count) or run(chunk))
    assert_same_columns(reference, SWEEPS["concentric"](checkpoint=tmp_path))
    assert sum(counted) == len(reference) - sum(saves)
    counted.clear()
    assert_same_columns(reference, SWEEPS["concentric"](checkpoint=tmp_path))
    assert not counted

    with pytest.raises(ValueError, match=r"another sweep \(seed 11 there, 12 here\)"):
        ql.concentric(RPS, "omwuoomd", eta=0.1, steps=300, trials=601, inner=0.1, outer=0.7, slices=3, seed=12,
                      checkpoint=tmp_path)


def test_the_command_on_a_cluster_writes_the_result_of_the_local_run(cluster, tmp_path, capsys):
    argv = ["scattered", "rps", "--rule", "ogda", "--eta", "0.1", "--steps", "300", "--trials", "500",
            "--inner", "0.05", "--outer", "0.5", "--seed", "7"]
    places = {"here": [], "scheduler": ["--scheduler", cluster.scheduler_address, "--checkpoint", tmp_path / "kept"],
              "local-cluster": ["--local-cluster", "2"]}
    for name, where in places.items():
        assert main([*argv, *map(str, where), "--out", str(tmp_path / f"{name}.npz")]) == 0, capsys.readouterr().err
    for name in places:
        assert_same_columns(ql.load(tmp_path / "here.npz"), ql.load(tmp_path / f"{name}.npz"))
    assert any((tmp_path / "kept").glob("trials-*.npz"))


def test_an_unreachable_scheduler_fails_within_seconds_in_one_line(capsys):
    started = time.monotonic()
    code = main(["scattered", "rps", "--rule", "ogda", "--eta", "0.1", "--steps", "10", "--trials", "10", "--inner",
                 "0", "--outer", "1", "--scheduler", "tcp://127.0.0.1:9"])
    stderr = capsys.readouterr().err
    assert code == 1 and time.monotonic() - started < 20
    assert stderr.strip().splitlines() == [stderr.strip()] and "cannot reach the Dask scheduler at tcp://127.0.0.1:9" in stderr


def _another_version():
    ql.__version__ = "9.9.9"


def _another_build():
    ql.native.build = lambda: "another-build"


@pytest.mark.parametrize("worker, named", [(_another_version, "quarnel_lab 9.9.9 (native build "),
                                           (_another_build, f"quarnel_lab {ql.__version__} (native build another-build)")])
def test_chunks_computed_by_another_version_or_build_are_refused_naming_both(worker, named):
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("fork"), initializer=worker) as pool:
        with pytest.raises(ql.MixedVersionsError) as caught:
            SWEEPS["scattered"](executor=pool)
    here = chunking.made_by()
    assert named in str(caught.value) and f"this sweep runs {here}" in str(caught.value)


def test_without_dask_a_client_says_how_to_install_it(monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)
    with pytest.raises(ImportError, match=r"pip install 'quarnel\[distributed\]'"):
        SWEEPS["scattered"](client="tcp://127.0.0.1:8786")
