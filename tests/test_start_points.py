"""Start points: a learner built with given vectors and runs and sweeps started at given
strategies, checked against a plain NumPy rendering of the first steps."""
import numpy as np
import pytest

import quarnel
from quarnel import Optimizer

BIASED_RPS = np.array([[0.0, -1.0, 3.0], [1.0, 0.0, -1.0], [-3.0, 1.0, 0.0]])
X0 = np.array([0.98, 0.01, 0.01])
Y0 = np.array([0.2, 0.5, 0.3])
ETA = 0.1
KEY = bytes(range(16))


def projection(v):
    u = np.sort(v)[::-1]
    css = np.cumsum(u) - 1.0
    k = np.nonzero(u - css / np.arange(1, len(v) + 1) > 0)[0][-1]
    return np.maximum(v - css[k] / (k + 1), 0.0)


def softmax(z):
    e = np.exp(z - z.max())
    return e / e.sum()


def first_steps(rule, a, x, y, steps):
    """Strategies played at steps 0 .. steps - 1 by the rule started at (x, y)."""
    hats = {"ogda": (x, y), "omwuoomd": (x, y), "omwuoftrl": (-np.log(x) / ETA, -np.log(y) / ETA)}[rule]
    px, py = hats
    played = [(x, y)]
    for _ in range(steps - 1):
        gx, gy = a @ y, -(a.T @ x)
        if rule == "ogda":
            px, py = projection(px - ETA * gx), projection(py - ETA * gy)
            x, y = projection(px - ETA * gx), projection(py - ETA * gy)
        elif rule == "omwuoomd":
            ex, ey = np.exp(-ETA * gx), np.exp(-ETA * gy)
            px = px * ex + 2.0**-52
            py = py * ey + 2.0**-52
            px, py = px / px.sum(), py / py.sum()
            x, y = px * ex / (px * ex).sum(), py * ey / (py * ey).sum()
        else:
            px, py = px + gx, py + gy
            x, y = softmax(-ETA * (px + gx)), softmax(-ETA * (py + gy))
        played.append((x, y))
    return np.array([p[0] for p in played]), np.array([p[1] for p in played])


def learner(rule, x, y):
    vectors = (-np.log(x) / ETA, -np.log(y) / ETA) if rule == "omwuoftrl" else (x, y)
    return quarnel._with_vectors(getattr(Optimizer, rule)(ETA, len(x)), *vectors)


# 2 x 2 games run on a path of their own.
STARTS = {"3x3": (BIASED_RPS, X0, Y0), "2x2": (np.array([[0.51, 0.5], [0.0, 1.0]]), X0[1:] / 0.02, Y0[1:] / 0.8)}


@pytest.mark.parametrize("rule", ["ogda", "omwuoomd", "omwuoftrl"])
@pytest.mark.parametrize("shape", STARTS)
def test_a_run_starts_where_its_learner_starts(rule, shape):
    a, x0, y0 = STARTS[shape]
    x_history, y_history, gaps = quarnel._run(a, learner(rule, x0, y0), 50, x0, y0)
    assert np.array_equal(x_history[0], x0) and np.array_equal(y_history[0], y0)
    x_expected, y_expected = first_steps(rule, a, x0, y0, 6)
    np.testing.assert_allclose(x_history[:6], x_expected, rtol=0, atol=1e-12)
    np.testing.assert_allclose(y_history[:6], y_expected, rtol=0, atol=1e-12)
    # The forms of multiplicative weights take the same first step from the same start.
    if rule != "ogda":
        x_oomd, _ = first_steps("omwuoomd", a, x0, y0, 2)
        np.testing.assert_allclose(x_history[1], x_oomd[1], atol=1e-12)
    assert len(gaps) == 50 == len(x_history)


def test_a_run_keeps_only_the_steps_it_ran():
    x_history, y_history, gaps = quarnel._run(BIASED_RPS, Optimizer.ogda(ETA, 3), 50_000_000)
    assert len(x_history) == len(y_history) == len(gaps) < 1000
    assert gaps[-1] < 1e-8 and np.all(gaps[:-1] >= 1e-8)
    padded = quarnel.Experiment(quarnel.GameState(np.zeros(3), np.zeros(3), BIASED_RPS), Optimizer.ogda(ETA, 3),
                                2000).run_experiment_until_convergence_in_place()
    np.testing.assert_array_equal(padded.x_history[:len(gaps)], x_history)
    np.testing.assert_array_equal(padded.gaps_history[:len(gaps)], gaps)
    with pytest.raises(ValueError, match="x0"):
        quarnel._run(BIASED_RPS, Optimizer.ogda(ETA, 3), 10, np.ones(2) / 2)


@pytest.mark.parametrize("rule", ["ogda", "omwuoftrl"])
def test_every_trial_of_a_sweep_starts_at_the_given_point(rule):
    count, steps = 40, 300
    columns = quarnel._sweep(BIASED_RPS, learner(rule, X0, Y0), KEY, 0, count, steps, 0.0, 0.3, 0.1, 0,
                             x0=X0, y0=Y0)
    uniform = quarnel._sweep(BIASED_RPS, getattr(Optimizer, rule)(ETA, 3), KEY, 0, count, steps, 0.0, 0.3, 0.1, 0)
    assert not np.array_equal(columns["total_var"], uniform["total_var"])
    for trial in (0, 17, 39):
        a = BIASED_RPS + quarnel._perturbation(KEY, trial, 3, 3, 0.0, 0.3)
        _, _, gaps = quarnel._run(a, learner(rule, X0, Y0), steps, X0, Y0)
        assert columns["last_gap"][trial] == gaps[-1]
    stack = np.stack([BIASED_RPS + quarnel._perturbation(KEY, t, 3, 3, 0.0, 0.3) for t in range(count)])
    stacked = quarnel._run_stack(stack, learner(rule, X0, Y0), steps, False, 0.1, 0, x0=X0, y0=Y0)
    np.testing.assert_array_equal(stacked["last_gap"], columns["last_gap"])


def test_studies_start_where_asked_and_keep_only_what_ran(tmp_path):
    import quarnel_lab as ql

    t = ql.run(BIASED_RPS, "omwuoftrl", eta=ETA, steps=10**9, x0=X0, y0=Y0)
    assert t.converged and t.steps == len(t.gaps) == len(t.x) < 10_000 and t.gaps[-1] < 1e-8
    x_expected, _ = first_steps("omwuoftrl", BIASED_RPS, X0, Y0, 3)
    np.testing.assert_allclose(t.x[:3], x_expected, atol=1e-12)
    s = ql.scattered("rps", "omwuoomd", eta=ETA, steps=400, trials=12, inner=0.0, outer=0.3, seed=5, x0=X0,
                     progress=False)
    replayed = s.replay(7)
    assert np.array_equal(replayed.x[0], X0) and replayed.gaps[-1] == s["last_gap"][7]
    assert replayed.steps == s["steps"][7] and not replayed.converged
    # A file of an earlier version, its histories padded to the budget, loads trimmed.
    padded = np.concatenate([t.gaps, np.full(500, t.gaps[-1])])
    t.save(tmp_path / "t.npz")
    with np.load(tmp_path / "t.npz") as data:
        entries = dict(data)
    entries.update(gaps=padded, x=np.vstack([t.x, np.repeat(t.x[-1:], 500, 0)]),
                   y=np.vstack([t.y, np.repeat(t.y[-1:], 500, 0)]))
    np.savez(tmp_path / "old.npz", **entries)
    old = ql.load(tmp_path / "old.npz")
    assert old.steps == t.steps and np.array_equal(old.x, t.x) and old.converged


def test_a_grid_is_its_cells_sweeps_with_one_seed_and_comes_back_from_its_file(tmp_path):
    import quarnel_lab as ql

    common = dict(steps=600, trials=24, inner=0.0, outer=0.1)
    g = ql.grid(BIASED_RPS, ["ogda", "omwuoomd"], [0.05, 0.2], slices=2, progress=False, **common)
    cell = ql.concentric(BIASED_RPS, "omwuoomd", eta=0.2, slices=2, seed=g.seed, progress=False, **common)
    for name in cell.columns:
        np.testing.assert_array_equal(g.sweep("omwuoomd", 0.2)[name], cell[name])
    g.save(tmp_path / "g.npz")
    back = ql.load(tmp_path / "g.npz")
    assert (back.rules, back.etas, back.seed) == (("ogda", "omwuoomd"), (0.05, 0.2), g.seed)
    frame = back.to_pandas()
    assert list(frame.columns) == ["rule", "eta", *cell.columns] and len(frame) == 4 * 24
    np.testing.assert_array_equal(frame[(frame.rule == "omwuoomd") & (frame.eta == 0.2)]["steps"], cell["steps"])
    ax = ql.plot.phase(back)
    assert [t.get_text() for t in ax.get_yticklabels()] == ["ogda, [0, 0.05)", "ogda, [0.05, 0.1)",
                                                             "omwuoomd, [0, 0.05)", "omwuoomd, [0.05, 0.1)"]
    with pytest.raises(TypeError, match="etas must be a non-empty list"):
        ql.grid(BIASED_RPS, ["ogda"], 0.1, **common)


def test_frictions_a_header_row_a_notebook_without_widgets(tmp_path, monkeypatch, capsys):
    import sys
    import warnings

    import quarnel_lab as ql
    from quarnel_lab import games

    (tmp_path / "g.csv").write_text("rock,paper,scissors\n0,-1,3\n1,0,-1\n-3,1,0\n")
    np.testing.assert_array_equal(games.game(str(tmp_path / "g.csv")), BIASED_RPS)
    monkeypatch.setitem(sys.modules, "ipykernel", sys)  # as in Jupyter
    monkeypatch.setattr("importlib.util.find_spec", lambda name, *args: None)  # no ipywidgets
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        ql.scattered("rps", "ogda", eta=ETA, steps=10, trials=3, inner=0.0, outer=0.1, seed=1)
    assert "3/3" in capsys.readouterr().err  # tqdm's text bar
