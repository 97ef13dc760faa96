"""quarnel_lab, the Python API: reproducible sweeps, replays, files and the errors a user meets."""
import json
import re
import threading
import time

import numpy as np
import pytest

import quarnel
import quarnel_lab as ql
from quarnel_lab.seeding import recorded_seed
from support import gap_summary, matrix_norms, run, run_script

RPS = np.array([[0.0, -1.0, 1.0], [1.0, 0.0, -1.0], [-1.0, 1.0, 0.0]])
WIDE = np.array([[0.5, -0.25, 1.0], [-0.75, 1.0, 0.0]])
STACK = np.array([[[1.0, 3.0], [5.0, 9.0]], [[0.0, 1.0], [1.0, 0.0]], [[3.0, -1.0], [-2.0, 4.0]]])
SWEEP_ARGS = {
    "scattered": dict(rule="omwuoomd", eta=0.1, steps=300, trials=40, inner=0.05, outer=0.4, cutoff=0.2),
    "concentric": dict(rule="ogda", eta=0.1, steps=300, trials=41, inner=0.1, outer=0.7, slices=3),
}


def sweep(kind, game=RPS, **kwargs):
    return getattr(ql, kind)(game, progress=False, **SWEEP_ARGS[kind], **kwargs)


def assert_same_columns(first, second):
    assert first.columns == second.columns and len(first) == len(second)
    for name in first.columns:
        np.testing.assert_array_equal(first[name], second[name], err_msg=name)


@pytest.mark.parametrize("kind", SWEEP_ARGS)
def test_a_seed_fixes_every_column_whatever_the_workers_chunks_and_process(kind):
    reference = sweep(kind, seed=12345, workers=1)
    for variant in (dict(workers=2, chunk=7), dict(chunk=1), dict(workers=2, chunk=10**6)):
        assert_same_columns(reference, sweep(kind, seed=12345, **variant))
    child = run_script(f"""
        import json, numpy as np, quarnel_lab as ql
        s = ql.{kind}(np.array({RPS.tolist()}), progress=False, seed=12345, **json.loads('{json.dumps(SWEEP_ARGS[kind])}'))
        print(json.dumps({{name: s[name].tobytes().hex() for name in s.columns}}))
    """)
    assert json.loads(child) == {name: reference[name].tobytes().hex() for name in reference.columns}
    assert not np.array_equal(reference["norm_max"], sweep(kind, seed=12346)["norm_max"])


def test_an_unseeded_sweep_records_the_seed_that_reproduces_it():
    first = sweep("scattered")
    assert isinstance(first.seed, int) and first.seed != sweep("scattered").seed
    assert_same_columns(first, sweep("scattered", seed=first.seed))
    assert_same_columns(first, sweep("scattered", seed=np.random.SeedSequence(first.seed)))
    children = np.random.SeedSequence(7).spawn(2)
    assert len({recorded_seed(7), *map(recorded_seed, children)}) == 3
    assert recorded_seed(np.random.SeedSequence(7)) == 7


@pytest.mark.parametrize("sweep", [
    lambda: sweep("scattered", seed=3),
    lambda: sweep("scattered", game=WIDE, seed=3),
    lambda: sweep("concentric", seed=3),
    lambda: ql.neighborhood(STACK, "omwuoftrl", eta=0.2, steps=200, normalize=True, cutoff=0.3, progress=False),
], ids=["scattered", "non-square", "concentric", "neighborhood"])
def test_a_replay_is_the_experiment_of_its_trial_and_reduces_to_its_row(sweep):
    s = sweep()
    config = s.config
    base = np.zeros((2, 2)) if s.game is None else s.game
    for trial in (0, len(s) - 1):
        replay = s.replay(trial)
        rows, cols = replay.a.shape
        optimizer = getattr(quarnel.Optimizer, config["rule"])(config["eta"], rows if rows == cols else 1)
        state = quarnel.GameState(np.full(rows, 1.0 / rows), np.full(cols, 1.0 / cols), replay.a)
        expected = run(state, optimizer, config["steps"])
        for got, want in zip((replay.x, replay.y, replay.gaps),
                             (expected.x_history, expected.y_history, expected.gaps_history)):
            np.testing.assert_array_equal(got, want)
        for name, value in gap_summary(replay.gaps, config["cutoff"]).items():
            assert s[name][trial] == value or np.isnan(value) and np.isnan(s[name][trial]), name
        perturbation = replay.a if s.kind == "neighborhood" else replay.a - base
        for name, value in matrix_norms(perturbation).items():
            assert s[name][trial] == pytest.approx(value, rel=1e-12), name


def test_concentric_slices_are_the_modules():
    s = ql.concentric(RPS, "ogda", eta=0.1, steps=20, trials=10, inner=0.1, outer=0.7, slices=3, progress=False)
    module = quarnel.concentric_exploration(RPS, quarnel.Optimizer.ogda(0.1, 3), 10, 20, 0.1, 0.7, 3, "total_var")
    np.testing.assert_array_equal(s.slice_boundaries, module.slice_boundaries)
    np.testing.assert_array_equal(s["slice"], np.repeat([0, 1, 2], 3))
    for band, (low, high) in enumerate(s.slice_boundaries):
        assert np.all((s["norm_max"][s["slice"] == band] >= low) & (s["norm_max"][s["slice"] == band] <= high))


@pytest.mark.parametrize("normalize", [False, True])
def test_neighborhood_reduces_the_modules_runs(normalize):
    s = ql.neighborhood(STACK, "ogda", eta=0.1, steps=100, normalize=normalize, progress=False)
    module = quarnel.neighborhood_exploration(STACK, quarnel.Optimizer.ogda(0.1, 2), 100, normalize)
    for trial, result in enumerate(module):
        for name, value in gap_summary(result.gaps_history, 0.1).items():
            assert s[name][trial] == value, name


@pytest.mark.quick
def test_sweeps_and_trajectories_come_back_from_their_files(tmp_path):
    saved = [sweep("concentric", seed=5), ql.neighborhood(STACK, "ogda", eta=0.1, steps=50, progress=False),
             ql.run(WIDE, "omwuoftrl", eta=0.3, steps=40, x0=[0.2, 0.8])]
    saved.append(saved[0].replay(4))
    for number, original in enumerate(saved):
        path = tmp_path / f"result{number}"  # no suffix added
        original.save(path)
        loaded = ql.load(path)
        assert type(loaded) is type(original) and loaded.config == original.config
        if isinstance(original, ql.Sweep):
            assert_same_columns(loaded, original)
            loaded, original = loaded.replay(1), original.replay(1)
        for name in ("a", "x", "y", "gaps"):
            np.testing.assert_array_equal(getattr(loaded, name), getattr(original, name))
    assert saved[0].config["version"] == ql.__version__
    np.savez(tmp_path / "other.npz", a=np.zeros(2))
    with pytest.raises(ValueError, match="not saved by quarnel_lab"):
        ql.load(tmp_path / "other.npz")


@pytest.mark.quick
def test_run_starts_where_asked_and_uniform_otherwise():
    t = ql.run("rps", "ogda", eta=0.1, steps=30)
    np.testing.assert_array_equal(t.x[0], np.full(3, 1 / 3))
    x0, y0 = np.array([0.9, 0.1]), np.array([1.0, 0.0, 0.0])
    asked = ql.run(WIDE, "ogda", eta=0.1, steps=30, x0=x0, y0=y0)
    # The learner's auxiliary points start there too, on a non-square game as on any.
    learner = quarnel._with_vectors(quarnel.Optimizer.ogda(0.1, 1), x0, y0)
    expected = run(quarnel.GameState(x0, y0, WIDE), learner, 30)
    np.testing.assert_array_equal(asked.gaps, expected.gaps_history[:asked.steps])
    np.testing.assert_array_equal(asked.x[0], x0)
    np.testing.assert_array_equal(asked.a, WIDE)


GOOD = dict(eta=0.1, steps=10, trials=4, inner=0.1, outer=0.5, progress=False)


@pytest.mark.parametrize("call, error, message", [
    (lambda: ql.scattered(RPS, "gd", **GOOD), ValueError, "'ogda', 'omwuoomd', 'omwuoftrl'"),
    (lambda: ql.scattered(RPS, 3, **GOOD), TypeError, "rule must be a str"),
    (lambda: ql.scattered(RPS, "ogda", norm="l2", **GOOD), ValueError, "'max', 'infinity', 'frobenius'"),
    (lambda: ql.scattered(RPS, "ogda", **{**GOOD, "inner": 0.5}), ValueError, "inner must be smaller than outer"),
    (lambda: ql.scattered(RPS, "ogda", **{**GOOD, "inner": np.nan}), ValueError, "must be finite"),
    (lambda: ql.scattered(RPS, "ogda", **{**GOOD, "trials": 0}), ValueError, "trials must be an integer of at least 1"),
    (lambda: ql.scattered(RPS, "ogda", **{**GOOD, "steps": 0}), ValueError, "steps must be an integer of at least 1"),
    (lambda: ql.scattered(RPS, "ogda", **{**GOOD, "steps": 10**23}), ValueError, "steps must be at most"),
    (lambda: ql.scattered(RPS, "ogda", **{**GOOD, "eta": np.nan}), ValueError, "eta must be a positive finite"),
    (lambda: ql.scattered(RPS, "ogda", **{**GOOD, "eta": np.inf}), ValueError, "eta must be a positive finite"),
    (lambda: ql.run(RPS, "ogda", eta=0.0, steps=10), ValueError, "eta must be a positive finite number, got 0.0"),
    (lambda: ql.run(RPS, "ogda", eta=0.1, steps=0), ValueError, "steps must be an integer of at least 1"),
    (lambda: ql.scattered(RPS, "ogda", **{**GOOD, "steps": 2.5}), TypeError, "steps must be an integer"),
    (lambda: ql.scattered(RPS, "ogda", cutoff=1.5, **GOOD), ValueError, "cutoff must be a fraction"),
    (lambda: ql.scattered(RPS, "ogda", seed=-1, **GOOD), ValueError, "seed must be a non-negative int"),
    (lambda: ql.scattered(RPS, "ogda", seed=1.0, **GOOD), TypeError, "seed must be an int"),
    (lambda: ql.scattered(RPS, "ogda", workers=0, **GOOD), ValueError, "workers must be an integer of at least 1"),
    (lambda: ql.scattered([1.0, 2.0], "ogda", **GOOD), ValueError, "game must be a 2-D array"),
    (lambda: ql.scattered([[1.0, np.inf]], "ogda", **GOOD), ValueError, "game must hold finite numbers"),
    (lambda: ql.scattered(np.zeros((0, 2)), "ogda", **GOOD), ValueError, "at least one row and one column"),
    (lambda: ql.scattered("gamee", "ogda", **GOOD), ValueError, "unknown game 'gamee': use one of matching-pennies"),
    (lambda: ql.scattered({"a": 1}, "ogda", **GOOD), TypeError, "game must be a 2-D array of numbers"),
    (lambda: ql.concentric(RPS, "ogda", slices=0, **GOOD), ValueError, "slices must be an integer of at least 1"),
    (lambda: ql.concentric(RPS, "ogda", slices=10**8, **GOOD), ValueError, "slices must be at most trials"),
    (lambda: ql.concentric(RPS, "ogda", slices=3, **{**GOOD, "inner": 1.0, "outer": 1.0 + 2e-16}), ValueError,
     "too narrow for 3 slices"),
    (lambda: ql.neighborhood(RPS, "ogda", eta=0.1, steps=10), ValueError, "matrices must be a 3-D array"),
    (lambda: ql.neighborhood(np.zeros((0, 2, 2)), "ogda", eta=0.1, steps=10), ValueError, "at least one matrix"),
    (lambda: ql.scattered(RPS, "ogda", checkpoint="", **GOOD), ValueError, "checkpoint must name a directory"),
    (lambda: ql.neighborhood(STACK, "ogda", eta=0.1, steps=10, normalize=1), TypeError, "normalize must be True or"),
    (lambda: ql.run(RPS, "ogda", eta="0.1", steps=10), TypeError, "eta must be a real number"),
    (lambda: ql.run(RPS, "ogda", eta=0.1, steps=10, x0=[0.5, 0.5]), ValueError, "x0 must have 3 entries"),
    (lambda: ql.run(RPS, "ogda", eta=0.1, steps=10, x0=[0.5, 0.5, 0.1]), ValueError, "x0 must be a probability "
     "vector: its entries sum to 1.1, which is not within 1e-09 of 1"),
    (lambda: ql.scattered(RPS, "ogda", **GOOD, y0=[1.5, -0.5, 0]), ValueError, "y0 must be a probability vector: "
     "entry 1 is -0.5"),
    (lambda: ql.run(RPS, "omwuoftrl", eta=0.1, steps=10, x0=[1, 0, 0]), ValueError, "entry 1 is 0.0, and every "
     "entry must be positive"),
    (lambda: ql.run(RPS, "ogda", eta=0.1, steps=1.5), TypeError, "steps must be an integer, got float"),
])
def test_user_errors_say_what_to_do_before_anything_runs(call, error, message):
    with pytest.raises(error, match=re.escape(message)):
        call()


# Payoffs at the edge of the doubles: a huge step overflows the gradient step to infinities.
HUGE = np.array([[1e308, 1e308], [-1e308, 1e308]])


@pytest.mark.parametrize("call", [
    lambda: ql.run(HUGE, "ogda", eta=1e300, steps=10),
    lambda: ql.scattered(HUGE, "ogda", eta=1e300, steps=10, trials=4, inner=0.1, outer=0.5, progress=False),
    lambda: ql.neighborhood(np.stack([HUGE] * 3), "ogda", eta=1e300, steps=10, progress=False),
], ids=["run", "scattered", "neighborhood"])
def test_a_failure_inside_the_dynamics_is_an_ordinary_exception(call):
    with pytest.raises(Exception) as caught:
        call()
    assert isinstance(caught.value, ql.DynamicsError) and caught.value.message == "Issue computing theta"
    assert str(caught.value) == ("Issue computing theta" if caught.value.trials is None
                                 else f"trials [0, {caught.value.trials.stop}): Issue computing theta")


def test_another_thread_runs_while_a_sweep_is_in_the_engine():
    ticks, done = [], threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.005)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        started = time.monotonic()
        ql.scattered(RPS, "ogda", eta=1e-300, steps=50000, trials=2000, inner=0.1, outer=0.2, chunk=2000, progress=False)
        ended = time.monotonic()
    finally:
        done.set()
        ticker.join()
    assert ended - started > 0.2, "the sweep was too short to tell"
    inside = [t for t in ticks if started + 0.05 < t < ended - 0.05]
    assert len(inside) > (ended - started - 0.1) / 0.005 / 4


def test_automatic_chunks_keep_every_workers_lanes_full(monkeypatch):
    from quarnel_lab import chunking, native

    run, counts = chunking.run_chunk, []
    monkeypatch.setattr(chunking, "run_chunk", lambda chunk: counts.append(chunk.count) or run(chunk))
    together = native.trials_together((3, 3), "ogda", 0.1, 3000, 0.1)
    assert together > 1  # 3 x 3 OGDA runs in lanes with every build
    ql.scattered(RPS, "ogda", eta=0.1, steps=3000, trials=1000, inner=0.1, outer=0.5, workers=2, seed=1,
                 progress=False)
    assert sum(counts) == 1000 and all(count % (2 * together) == 0 for count in counts[:-1])
    assert native.trials_together((2, 3), "ogda", 0.1, 3000, 0.1) == 1  # non-square: one at a time


def test_a_sweep_draws_any_column_against_another_and_counts_what_it_leaves_out():
    import matplotlib

    matplotlib.use("Agg")
    s = sweep("scattered", seed=3)
    columns = {name: s[name].copy() for name in s.columns}
    columns["max_last"][:4] = [np.nan, 0.0, -1.0, 1e-9]
    columns["total_var"][4:6] = [np.inf, 1e-3]  # both span decades: log axes
    ax = ql.plot.sweep(ql.Sweep(columns, s.config, game=s.game), metric="max_last", against="total_var")
    assert len(ax.collections[0].get_offsets()) == len(s) - 4
    assert (ax.get_xscale(), ax.get_yscale()) == ("log", "log")
    legend = [text.get_text() for text in ax.get_legend().get_texts()]
    assert legend[-1].endswith(f"4 of {len(s)} trials not drawn:\ntotal_var infinite 1; max_last NaN 1, "
                               "<= 0 (log axis) 2")
    ax = ql.plot.sweep(s, metric="steps", against="norm_frobenius")
    assert (ax.get_xscale(), ax.get_yscale(), len(ax.collections[0].get_offsets())) == ("linear", "linear", len(s))
    with pytest.raises(ValueError, match="metric 'nope' is not a column of this sweep: use one of norm_max"):
        ql.plot.sweep(s, metric="nope")
