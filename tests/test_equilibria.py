"""Equilibria beside the dynamics: each trial's game solved, checked against the other player's own program."""
import json

import numpy as np
import pytest
from scipy.optimize import linprog

import quarnel_lab as ql
from quarnel_lab import chunking, equilibria

RPS = np.array([[0.0, -1.0, 1.0], [1.0, 0.0, -1.0], [-1.0, 1.0, 0.0]])
GAMES = {
    "2 x 2, mixed": np.array([[3.0, -1.0], [-2.0, 4.0]]),
    "pure, with ties": np.array([[1.0, 2.0, 3.0, 4.0], [0.0, 5.0, 1.0, 2.0], [2.0, 2.0, 0.0, 1.0]]),
    # Rock, paper, scissors with rock twice for both players: a segment of equilibria for each.
    "several equilibria": RPS[[0, 1, 2, 0]][:, [0, 1, 2, 0]],
    "3 x 5": np.random.default_rng(5).standard_normal((3, 5)),
    "6 x 4, huge payoffs": np.random.default_rng(6).standard_normal((6, 4)) * 1e12,
}


def column_players_value(a):
    """max over y of min_i (a @ y)_i, as the column player's own linear program."""
    rows, cols = a.shape
    result = linprog(np.r_[np.zeros(cols), -1.0], A_ub=np.c_[-a, np.ones(rows)], b_ub=np.zeros(rows),
                     A_eq=np.r_[np.ones(cols), 0.0][None], b_eq=[1.0], bounds=[(0, None)] * cols + [(None, None)],
                     method="highs")
    assert result.status == 0
    return -result.fun


@pytest.mark.parametrize("name", GAMES)
def test_the_equilibrium_found_is_one_and_its_value_the_other_players(name):
    # Solved alone, and in one program with other games of its shape.
    others = np.random.default_rng(7).uniform(-1, 1, (5, *GAMES[name].shape)) * np.abs(GAMES[name]).max()
    stack = np.concatenate((GAMES[name][None], others))
    solved = equilibria.solve(stack)
    for a, value, x, y in zip(stack, *solved):
        tolerance = 1e-12 * np.abs(a).max()
        assert value == pytest.approx(column_players_value(a), abs=tolerance)
        for strategy in (x, y):
            assert np.all(strategy >= 0) and strategy.sum() == pytest.approx(1.0, abs=1e-15)
        # Neither player gains by leaving it: the row player's x holds every column to the value,
        # the column player's y forces it on every row.
        assert (a.T @ x).max() <= value + tolerance and (a @ y).min() >= value - tolerance
    value, x, y = (part[0] for part in solved)
    alone = equilibria.solve(stack[:1])
    assert alone.value[0] == pytest.approx(value, abs=1e-12 * np.abs(stack[0]).max())
    columns = equilibria.columns(solved, solved.x, solved.y)
    assert columns["dist"][0] == 0.0
    assert columns["support_x"][0] == np.count_nonzero(x > 1e-9)
    assert columns["min_prob"][0] == min(x[x > 1e-9].min(), y[y > 1e-9].min())
    if name == "2 x 2, mixed":  # in closed form, exactly
        assert (value, *x, *y) == (1.0, 0.6, 0.4, 0.5, 0.5)
    if name == "pure, with ties":
        assert (value, columns["support_x"][0], columns["support_y"][0], columns["min_prob"][0]) == (2.0, 1, 1, 1.0)


def test_a_game_with_a_non_finite_payoff_has_no_equilibrium():
    games = np.array([GAMES["2 x 2, mixed"], [[1.0, np.inf], [0.0, 2.0]]])
    columns = equilibria.columns(equilibria.solve(games), np.full((2, 2), 0.5), np.full((2, 2), 0.5))
    assert columns["value"][0] == 1.0 and np.isnan(columns["value"][1]) and np.isnan(columns["min_prob"][1])
    assert columns["support_x"][1] == columns["support_y"][1] == 0 and np.isnan(columns["dist"][1])


@pytest.mark.parametrize("make", [
    lambda **kw: ql.scattered(GAMES["3 x 5"], "ogda", eta=0.1, steps=150, trials=12, inner=0.1, outer=0.5, seed=3,
                              **kw),
    lambda **kw: ql.concentric(RPS, "omwuoomd", eta=0.1, steps=150, trials=12, inner=0.1, outer=0.5, slices=3, seed=3,
                               **kw),
    lambda **kw: ql.neighborhood(np.random.default_rng(2).uniform(-1, 1, (12, 2, 3)), "omwuoftrl", eta=0.2, steps=150,
                                 normalize=True, **kw),
], ids=["scattered", "concentric", "neighborhood"])
def test_equilibria_are_the_trials_games_whatever_the_chunks_and_travel_with_the_sweep(make, tmp_path, monkeypatch):
    # Groups of 4 or 8 games, which chunks of 5 and of 3 cut anywhere, made and solved a group at a time.
    monkeypatch.setattr(equilibria, "GROUP_PAYOFFS", 60)
    monkeypatch.setattr(chunking, "GAMES_AT_ONCE", 4)
    s = make(equilibrium=True, chunk=5, checkpoint=tmp_path / "kept", progress=False)
    assert s.config["equilibrium"] is True and set(equilibria.COLUMN_TYPES) <= set(s.columns)
    for trial in (0, 7, 11):
        replay = s.replay(trial)
        solved = equilibria.solve(replay.a[None])
        alone = equilibria.columns(solved, replay.x[-1:], replay.y[-1:])  # from the last row run
        for name, tolerance in (("value", 1e-12), ("min_prob", 1e-9), ("dist", 1e-9)):
            assert s[name][trial] == pytest.approx(alone[name][0], rel=tolerance, abs=1e-15), name
    recut = make(equilibrium=True, chunk=3, progress=False)
    for name in equilibria.COLUMN_TYPES:
        np.testing.assert_array_equal(recut[name], s[name], err_msg=name)
    plain = make(progress=False)
    assert "value" not in plain.columns and plain.config["equilibrium"] is False
    np.testing.assert_array_equal(plain["last_gap"], s["last_gap"])
    plain.save(tmp_path / "plain.npz")
    with np.load(tmp_path / "plain.npz") as data:
        arrays = dict(data)
    config = json.loads(str(arrays.pop("config")))
    del config["equilibrium"]  # as in files saved before equilibria were solved
    np.savez(tmp_path / "old.npz", config=np.array(json.dumps(config)), **arrays)
    assert ql.load(tmp_path / "old.npz").columns == plain.columns
    s.save(tmp_path / "s.npz")
    for again in (make(equilibrium=True, checkpoint=tmp_path / "kept", progress=False), ql.load(tmp_path / "s.npz")):
        assert again.columns == s.columns
        for name in s.columns:
            np.testing.assert_array_equal(again[name], s[name])
