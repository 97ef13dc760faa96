"""Files: the atomic writer under failures and signals, and loading damaged or foreign files."""
import json
import subprocess
import sys

import numpy as np
import pytest

import quarnel_lab as ql
from quarnel_lab.native import MEASURES
from support import child_env

RPS = np.array([[0.0, -1.0, 1.0], [1.0, 0.0, -1.0], [-1.0, 1.0, 0.0]])


def small_sweep(**kw):
    return ql.scattered(RPS, "ogda", eta=0.1, steps=50, trials=20, inner=0.1, outer=0.5, seed=4, progress=False, **kw)


def child(code, tmp_path):
    """Runs `code` in a fresh interpreter in `tmp_path`; returns the finished process."""
    return subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=child_env(), capture_output=True,
                          text=True, timeout=60)


SAVE_UNDER = {
    # The file size limit is hit halfway through the new file (as on a full disk).
    "disk full": """
import resource, signal
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))
try:
    s.save("kept.npz")
except OSError as error:
    print("refused", error.errno)
""",
    "SIGTERM": "files.write_atomically('kept.npz', lambda f: (f.write(b'x' * 30000), os.kill(os.getpid(), 15), time.sleep(5)))",
    "SIGHUP": "files.write_atomically('kept.npz', lambda f: (f.write(b'x' * 30000), os.kill(os.getpid(), 1), time.sleep(5)))",
    "failure": "files.write_atomically('kept.npz', lambda f: (f.write(b'x' * 30000), 1 / 0))",
}


@pytest.mark.parametrize("how", SAVE_UNDER)
def test_a_save_that_fails_or_is_killed_keeps_the_old_file_and_leaves_no_temporary(tmp_path, how):
    old = small_sweep()
    old.save(tmp_path / "kept.npz")
    before = (tmp_path / "kept.npz").read_bytes()
    big = ("import os, time, numpy as np, quarnel_lab as ql\nfrom quarnel_lab import files\n"
           "s = ql.scattered(np.eye(3), 'ogda', eta=0.1, steps=50, trials=3000, inner=0.1, outer=0.5, seed=1, "
           "progress=False)\n")
    done = child(big + SAVE_UNDER[how], tmp_path)
    if how.startswith("SIG"):
        assert done.returncode == -{"SIGTERM": 15, "SIGHUP": 1}[how]  # the signal still ends the process
    assert (tmp_path / "kept.npz").read_bytes() == before
    assert sorted(path.name for path in tmp_path.iterdir()) == ["kept.npz"]
    assert ql.load(tmp_path / "kept.npz")["steps"].tolist() == old["steps"].tolist()


def test_an_interrupt_the_moment_the_temporary_is_made_leaves_nothing(tmp_path, monkeypatch):
    import os

    from quarnel_lab.files import write_atomically
    made = os.open

    def made_then_interrupted(*args, **kwargs):
        os.close(made(*args, **kwargs))
        raise KeyboardInterrupt  # as a signal handler's exception, before the handle is stored

    monkeypatch.setattr(os, "open", made_then_interrupted)
    with pytest.raises(KeyboardInterrupt):
        write_atomically(tmp_path / "made", lambda file: file.write(b"x"))
    monkeypatch.undo()
    assert list(tmp_path.iterdir()) == []


def test_saves_racing_for_one_path_leave_one_whole_file(tmp_path):
    code = ("import numpy as np, quarnel_lab as ql\n"
            "s = ql.run(np.triu(np.ones((40, 40))), 'ogda', eta=1e-5, steps=3000)\n"  # runs its whole budget
            "for _ in range(15): s.save('raced.npz')\n")
    racers = [subprocess.Popen([sys.executable, "-c", code], cwd=tmp_path, env=child_env()) for _ in range(3)]
    assert all(racer.wait(timeout=120) == 0 for racer in racers)
    assert len(ql.load(tmp_path / "raced.npz").gaps) == 3000
    assert sorted(path.name for path in tmp_path.iterdir()) == ["raced.npz"]


@pytest.mark.parametrize("hard_links", [True, False])
def test_exclusive_creation_succeeds_once(tmp_path, monkeypatch, hard_links):
    import errno
    import os

    from quarnel_lab.files import write_atomically

    if not hard_links:
        monkeypatch.setattr(os, "link", lambda *args: (_ for _ in ()).throw(OSError(errno.EPERM, "no links here")))

    write_atomically(tmp_path / "made", lambda file: file.write(b"first"), exclusive=True)
    with pytest.raises(FileExistsError):
        write_atomically(tmp_path / "made", lambda file: file.write(b"second"), exclusive=True)
    assert (tmp_path / "made").read_bytes() == b"first" and len(list(tmp_path.iterdir())) == 1


def rewritten(path, target, change):
    """Save a copy of the result file `path` as `target`, its configuration and arrays changed by `change`."""
    with np.load(path) as data:
        arrays = {name: data[name] for name in data.files}
    config = json.loads(str(arrays.pop("config")))
    change(config, arrays)
    np.savez(target, config=np.array(json.dumps(config)), **arrays)


DAMAGES = {
    "cut column": (lambda c, a: a.update(max_last=a["max_last"][:3]), "'max_last' has 3 rows where the rest of the file says 20"),
    "strings": (lambda c, a: a.update(steps=a["steps"].astype(str)), "'steps' holds <U"),
    "2-D": (lambda c, a: a.update(last_gap=a["last_gap"].reshape(4, 5)), "'last_gap' is 2-D"),
    "more trials": (lambda c, a: c.update(trials=999), "has 20 rows where the rest of the file says 999"),
    "no column": (lambda c, a: a.pop("var_last"), "no 'var_last' entry"),
    "no seed": (lambda c, a: c.pop("seed"), "seed = None"),
    "history": (lambda c, a: a.update(x=a["x"][:, :2]), "'x' has 2 entries along axis 1"),
}


def test_load_names_the_file_and_what_is_wrong_in_damaged_foreign_or_inconsistent_files(tmp_path):
    good_sweep, good_run = tmp_path / "sweep.npz", tmp_path / "run.npz"
    small_sweep().save(good_sweep)
    ql.run(RPS, "ogda", eta=0.1, steps=40).save(good_run)
    cases = {}
    for name, (change, message) in DAMAGES.items():
        cases[name] = (tmp_path / f"{name}.npz", message)
        rewritten(good_run if name == "history" else good_sweep, cases[name][0], change)
    whole = good_sweep.read_bytes()
    for name, contents, message in [("truncated", whole[:len(whole) // 2], "damaged"),
                                    ("empty", b"", "not a quarnel_lab file"),
                                    ("text", b"1,2\n3,4\n", "not a quarnel_lab file")]:
        cases[name] = (tmp_path / name, message)
        cases[name][0].write_bytes(contents)
    cases["npy"] = (tmp_path / "matrix.npy", "a single .npy array")
    np.save(cases["npy"][0], np.eye(2))
    cases["config"] = (tmp_path / "config.npz", "its configuration is unreadable")
    np.savez(cases["config"][0], config=np.array("{not json"), steps=np.zeros(2))
    for name, (path, message) in cases.items():
        with pytest.raises(ValueError) as caught:
            ql.load(path)
        assert str(path) in str(caught.value) and message in str(caught.value), name


def test_games_are_arrays_and_files_of_older_versions_still_load(tmp_path):
    base = np.random.default_rng(1).uniform(-1, 1, size=(300, 300))
    s = ql.scattered(base, "ogda", eta=0.1, steps=3, trials=8, inner=0.1, outer=0.2, seed=2, progress=False)
    s.save(tmp_path / "big.npz")
    assert (tmp_path / "big.npz").stat().st_size < base.nbytes * 1.05 and "game" not in s.config
    old = tmp_path / "old.npz"
    # The game in the configuration, and no per-trial measures.
    rewritten(tmp_path / "big.npz", old,
              lambda c, a: [c.update(game=a.pop("game").tolist()), *(a.pop(name) for name in MEASURES)])
    assert set(ql.load(old).columns) == set(s.columns) - set(MEASURES)
    for loaded in (ql.load(tmp_path / "big.npz"), ql.load(old)):
        np.testing.assert_array_equal(loaded.game, base)
        assert loaded.config == s.config
        np.testing.assert_array_equal(loaded.replay(5).gaps, s.replay(5).gaps)


@pytest.fixture
def counted(monkeypatch):
    """The trial counts of the chunks run from here on."""
    from quarnel_lab import chunking

    run, counts = chunking.run_chunk, []
    monkeypatch.setattr(chunking, "run_chunk", lambda chunk: counts.append(chunk.count) or run(chunk))
    return counts


def test_a_checkpoint_takes_only_its_own_whole_chunks_and_says_which_it_left(tmp_path, counted):
    folder = tmp_path / "kept"
    reference = small_sweep(chunk=5, checkpoint=folder)
    with pytest.raises(ValueError, match=r"another sweep \(seed 4 there, 5 here\)"):
        ql.scattered(RPS, "ogda", eta=0.1, steps=50, trials=20, inner=0.1, outer=0.5, seed=5, checkpoint=folder)
    chunk = folder / "trials-5-5.npz"
    whole = chunk.read_bytes()
    chunk.write_bytes(whole[: len(whole) // 2])  # cut short
    rewritten(folder / "trials-10-5.npz", folder / "trials-10-5.npz",  # one row, broadcast before
              lambda c, a: a.update({name: column[:1] for name, column in a.items()}))
    (folder / "trials-15-5.npz").rename(folder / "trials-15-4.npz")  # a name that lies
    other = tmp_path / "other"
    ql.scattered(RPS, "ogda", eta=0.1, steps=50, trials=20, inner=0.1, outer=0.5, seed=5, chunk=20, checkpoint=other,
                 progress=False)
    (other / "trials-0-20.npz").rename(folder / "trials-0-20.npz")  # another sweep's
    counted.clear()
    with pytest.warns(ql.CheckpointWarning) as warned:
        again = small_sweep(checkpoint=folder)
    messages = sorted(str(warning.message) for warning in warned)
    assert [message.split(" ", 1)[0] for message in messages] == [
        str(folder / name) for name in ("trials-0-20.npz", "trials-10-5.npz", "trials-15-4.npz", "trials-5-5.npz")]
    assert "belongs to another sweep" in messages[0] and "'norm_max' is float64 of shape (1,)" in messages[1]
    assert all("its trials are run again" in message for message in messages)
    assert sum(counted) == 15
    for name in reference.columns:
        np.testing.assert_array_equal(again[name], reference[name])

    (folder / "manifest.json").unlink()  # the chunks still name their sweep
    with pytest.warns(ql.CheckpointWarning) as warned:
        lent = ql.scattered(RPS, "ogda", eta=0.1, steps=50, trials=20, inner=0.1, outer=0.5, seed=5, checkpoint=folder,
                            progress=False)
    assert sum("belongs to another sweep" in str(warning.message) for warning in warned) >= 3
    np.testing.assert_array_equal(lent["max_last"], ql.scattered(RPS, "ogda", eta=0.1, steps=50, trials=20, inner=0.1,
                                                                outer=0.5, seed=5, progress=False)["max_last"])
    (folder / "manifest.json").write_text("{broken")
    with pytest.raises(ValueError, match=f"{folder / 'manifest.json'} is damaged"):
        small_sweep(checkpoint=folder)


def test_an_unseeded_sweep_takes_the_seed_of_its_checkpoint(tmp_path, counted):
    first = ql.scattered(RPS, "ogda", eta=0.1, steps=50, trials=20, inner=0.1, outer=0.5, checkpoint=tmp_path,
                         progress=False)
    counted.clear()
    again = ql.scattered(RPS, "ogda", eta=0.1, steps=50, trials=20, inner=0.1, outer=0.5, checkpoint=tmp_path,
                         progress=False)
    assert again.seed == first.seed and not counted
