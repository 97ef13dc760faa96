"""The quarnel command end to end, its error exits and files, and the typed surface (stubs, mypy)."""
import fcntl
import os
import pty
import signal
import struct
import subprocess
import sys
import termios
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import quarnel_lab as ql
from quarnel_lab import files
from quarnel_lab.cli import main

HERE = Path(__file__).parent
DYNAMICS = ["--rule", "ogda", "--eta", "0.1", "--steps", "300"]
BAND = ["--trials", "60", "--inner", "0.05", "--outer", "0.5", "--seed", "7"]
PNG_MAGIC = b"\x89PNG\r\n\x1a\n"
COMMAND = str(Path(sys.executable).with_name("quarnel"))  # this interpreter's command, not another on the PATH


def quarnel(capsys, *argv):
    """Run the command in this process; returns (exit code, stdout, stderr)."""
    try:
        code = main([str(arg) for arg in argv])
    except SystemExit as stop:  # argparse's own refusals
        code = stop.code
    captured = capsys.readouterr()
    return code, captured.out, captured.err


@pytest.fixture
def stack_file(tmp_path):
    path = tmp_path / "stack.npy"
    np.save(path, np.random.default_rng(0).uniform(-1, 1, size=(12, 2, 2)))
    return path


@pytest.mark.quick
@pytest.mark.parametrize("command, kind, trials", [
    (["run", "biased-rps", *DYNAMICS, "--x0", "0.8", "0.1", "0.1"], ql.Trajectory, 300),
    (["scattered", "rps", *DYNAMICS, *BAND, "--norm", "frobenius"], ql.Sweep, 60),
    (["concentric", "rps", *DYNAMICS, *BAND, "--slices", "3"], ql.Sweep, 60),
    (["neighborhood", "STACK", *DYNAMICS, "--normalize"], ql.Sweep, 12),
])
def test_each_command_writes_a_loadable_result_and_pictures(capsys, tmp_path, stack_file, command, kind, trials):
    command = [str(stack_file) if arg == "STACK" else arg for arg in command]
    out, picture = tmp_path / "result.npz", tmp_path / "result.png"
    code, stdout, _ = quarnel(capsys, *command, "--out", out, "--plot", picture)
    assert code == 0 and "converged" in stdout and f"wrote {out}" in stdout
    result = ql.load(out)
    assert isinstance(result, kind)
    assert len(result.gaps if kind is ql.Trajectory else result) == trials
    assert picture.read_bytes().startswith(PNG_MAGIC)
    redrawn = tmp_path / "again.png"
    assert quarnel(capsys, "plot", out, "--out", redrawn, "--metric", "steps")[0] == 0
    assert redrawn.read_bytes().startswith(PNG_MAGIC)


def test_a_sweep_with_equilibria_is_drawn_column_against_column(capsys, tmp_path):
    out, picture = tmp_path / "s.npz", tmp_path / "s.png"
    code, stdout, _ = quarnel(capsys, "concentric", "biased-rps", *DYNAMICS, *BAND, "--slices", "2",
                              "--tolerances", "1e-2", "1e-6", "--equilibrium", "--out", out)
    s = ql.load(out)
    assert code == 0 and np.all(s["min_prob"] > 0)
    header, row = stdout.splitlines()[:2]
    assert header.endswith("median rate  below 0.01  below 1e-06")
    shares = [f"{np.mean(s['best_gap'] < tol):.1%}" for tol in (1e-2, 1e-6)]
    assert row.split()[-3:] == [f"{np.median(s['rate']):.2e}", *shares] and shares[0] != shares[1]
    code, _, stderr = quarnel(capsys, "plot", out, "--metric", "steps_below_1e-06", "--against", "min_prob",
                              "--out", picture)
    assert code == 0 and picture.read_bytes().startswith(PNG_MAGIC), stderr
    code, _, stderr = quarnel(capsys, "plot", out, "--against", "nope")
    assert code == 2 and "argument --against: against 'nope' is not a column of this sweep: use one of" in stderr


def test_same_seed_same_file_whatever_the_workers(capsys, tmp_path):
    files = [tmp_path / f"w{workers}.npz" for workers in (1, 2)]
    for workers, path in zip((1, 2), files):
        assert quarnel(capsys, "scattered", "rps", *DYNAMICS, *BAND, "--workers", workers, "--out", path)[0] == 0
    assert files[0].read_bytes() == files[1].read_bytes()


def test_an_unseeded_command_resumes_its_checkpoint_and_names_what_is_damaged_there(capsys, tmp_path):
    kept = tmp_path / "kept"
    argv = ["scattered", "rps", *DYNAMICS, *BAND[:6], "--checkpoint", kept]
    runs = [quarnel(capsys, *argv, "--out", tmp_path / f"{name}.npz") for name in ("first", "again")]
    assert [code for code, _, _ in runs] == [0, 0]
    assert runs[0][1].splitlines()[2] == runs[1][1].splitlines()[2] and runs[0][1].splitlines()[2].startswith("seed ")
    assert (tmp_path / "first.npz").read_bytes() == (tmp_path / "again.npz").read_bytes()
    chunk = sorted(kept.glob("trials-*.npz"))[0]
    chunk.write_bytes(b"PK\x03\x04 cut short")
    code, _, stderr = quarnel(capsys, *argv)
    assert code == 0 and f"quarnel: warning: {chunk} is damaged" in stderr and "its trials are run again" in stderr
    (kept / "manifest.json").write_text("{cut short")
    code, _, stderr = quarnel(capsys, *argv)
    assert code == 2 and f"{kept / 'manifest.json'} is damaged" in stderr.splitlines()[-1]


def test_demo_and_info_from_the_installed_command(tmp_path):
    started = time.perf_counter()
    demo = subprocess.run([COMMAND, "demo", "--out", tmp_path / "demo"], capture_output=True, text=True)
    assert demo.returncode == 0, demo.stderr
    assert time.perf_counter() - started < 60
    written = {path.name for path in (tmp_path / "demo").iterdir()}
    assert {"gaps.png", "strategies.png", "scattered.png", "concentric.png", "neighborhood.png",
            "scattered.npz", "concentric.npz", "neighborhood.npz", "run-ogda.npz"} <= written
    assert all(not name.startswith(".") for name in written)  # no temporary left
    info = subprocess.run([sys.executable, "-m", "quarnel_lab", "info"], capture_output=True, text=True)
    assert info.returncode == 0 and "instruction set" in info.stdout and "chosen by" in info.stdout


@pytest.mark.parametrize("argv, code, names", [
    (["run", "nope", *DYNAMICS], 2, "unknown game 'nope'"),
    (["run", "rps", "--rule", "fast", "--eta", "0.1", "--steps", "9"], 2, "invalid choice: 'fast'"),
    (["run", "missing.csv", *DYNAMICS], 2, "missing.csv: no such file"),
    (["run", "BAD_CSV", *DYNAMICS], 2, "could not convert string 'x'"),
    (["scattered", "rps", *DYNAMICS, "--trials", "5", "--inner", "0.5", "--outer", "0.5"], 2,
     "inner must be smaller than outer"),
    (["neighborhood", "FLAT_STACK", *DYNAMICS], 2, "a stack has shape (K, rows, cols)"),
    (["run", "rps", *DYNAMICS, "--out", "no/such/folder/r.npz"], 2, "does not exist"),
    (["scattered", "rps", *DYNAMICS, *BAND[2:], "--trials", "100000000", "--out", "/proc/r.npz"], 2,
     "--out /proc/r.npz: cannot write in folder /proc"),
    (["run", "rps", *DYNAMICS, "--out", "same.npz", "--plot", "same.npz"], 2, "--out and --plot are the same file"),
    (["run", "rps", *DYNAMICS, "--plot", "run.npz"], 2, "--plot run.npz: pictures are written as .png, .pdf, .svg"),
    (["run", "rps", *DYNAMICS, "--out", "run.csv"], 2, "--out run.csv: results are written as .npz files"),
    (["plot", "OLD", "--out", "OLD"], 2, "--out OLD.npz is the input FILE.npz"),
    (["plot", "OLD"], 2, "OLD.npz is not a quarnel_lab file"),
    (["neighborhood", "FLAT_STACK", *DYNAMICS, "--plot", "./FLAT_STACK.npy"], 2, "is the input STACK.npy"),
    (["plot", "BAD_CSV"], 2, "BAD_CSV.csv is not a quarnel_lab file (not a .npz archive); give a file written by"),
    (["scattered", "rps", *DYNAMICS, *BAND, "--tolerances", "1e-3", "2"], 2,
     "argument --tolerances: tolerances must lie strictly between 0 and 1, got 2.0"),
    (["run", "biased-rps", "--rule", "ogda", "--eta", "nan", "--steps", "9"], 2,
     "argument --eta: eta must be a positive finite number, got nan"),
    (["run", "rps", "--rule", "ogda", "--eta", "-inf", "--steps", "9"], 2, "argument --eta"),
    (["run", "rps", "--rule", "ogda", "--eta", "0.1", "--steps", "0", "--plot", "r.png"], 2,
     "argument --steps: steps must be an integer of at least 1"),
    (["scattered", "rps", *DYNAMICS, *BAND, "--workers", str(10**23)], 2, "argument --workers: workers must be at most"),
    (["run", "rps", "--rule", "ogda", "--eta", "0.1", "--steps", str(10**23)], 2, "argument --steps"),
    (["concentric", "rps", *DYNAMICS, *BAND, "--slices", "1000000"], 2, "argument --slices: slices must be at most"),
    (["scattered", "rps", *DYNAMICS, *BAND, "--checkpoint", ""], 2, "argument --checkpoint: give a path"),
    (["scattered", "rps", *DYNAMICS, *BAND, "--checkpoint", "OLD"], 2, "--checkpoint OLD.npz is a file; give a folder"),
])
def test_errors_exit_with_a_message_and_no_traceback(capsys, tmp_path, monkeypatch, argv, code, names):
    monkeypatch.chdir(tmp_path)
    Path("BAD_CSV.csv").write_text("1,2\n3,x\n")
    np.save("FLAT_STACK.npy", np.eye(2))
    Path("OLD.npz").write_bytes(b"kept")
    argv = [{"BAD_CSV": "BAD_CSV.csv", "FLAT_STACK": "FLAT_STACK.npy", "OLD": "OLD.npz"}.get(arg, arg) for arg in argv]
    got, stdout, stderr = quarnel(capsys, *argv)
    assert got == code
    assert names in stderr.strip().splitlines()[-1] and "Traceback" not in stderr + stdout
    assert sorted(map(str, Path().iterdir())) == ["BAD_CSV.csv", "FLAT_STACK.npy", "OLD.npz"]
    assert Path("OLD.npz").read_bytes() == b"kept"


@pytest.mark.parametrize("stop, code", [(None, 130), (signal.SIGTERM, 143), (signal.SIGHUP, 129)])
def test_a_stopped_save_leaves_the_old_file_and_no_temporary(capsys, tmp_path, monkeypatch, stop, code):
    target = tmp_path / "kept.npz"
    target.write_bytes(b"old contents")

    def stopped_write(file, entries):
        file.write(b"half a file")
        if stop is None:
            raise KeyboardInterrupt
        os.kill(os.getpid(), stop)
        time.sleep(5)  # the command's handler raises at once

    monkeypatch.setattr(files, "_write_npz", stopped_write)
    got, _, stderr = quarnel(capsys, "run", "biased-rps", *DYNAMICS, "--out", target)
    assert got == code and "no partial file was left" in stderr and "Traceback" not in stderr
    assert target.read_bytes() == b"old contents" and sorted(tmp_path.iterdir()) == [target]


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_ctrl_c_sigterm_and_sighup_stop_a_long_sweep_within_a_second(tmp_path, stop):
    out = tmp_path / "big.npz"
    child = subprocess.Popen([sys.executable, "-m", "quarnel_lab", "scattered", "rps", *DYNAMICS, "--trials",
                              "100000000", "--inner", "0.1", "--outer", "0.5", "--out", out, "--checkpoint",
                              tmp_path / "kept"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not (tmp_path / "kept" / "manifest.json").exists() and time.monotonic() < deadline:
        time.sleep(0.05)  # until the sweep has started
    time.sleep(0.5)
    child.send_signal(stop)
    started = time.perf_counter()
    _, stderr = child.communicate(timeout=10)
    assert time.perf_counter() - started < 1.0
    assert child.returncode == (130 if stop == signal.SIGINT else 128 + stop) and "Traceback" not in stderr
    assert "no partial file was left" in stderr.splitlines()[-1]
    assert [path.name for path in tmp_path.iterdir()] == ["kept"]
    assert not [path for path in (tmp_path / "kept").iterdir() if path.name.startswith(".")]


def _stderr_of(argv, terminal):
    """The stderr of the command, run with stderr on a pseudo-terminal or on a pipe."""
    if not terminal:
        return subprocess.run(argv, capture_output=True, text=True).stderr
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    chunks = []

    def read():
        while True:
            try:
                data = os.read(leader, 4096)
            except OSError:  # the terminal closed
                return
            if not data:
                return
            chunks.append(data)

    reader = threading.Thread(target=read)
    reader.start()
    subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=follower)
    os.close(follower)
    reader.join(5)
    os.close(leader)
    return b"".join(chunks).decode(errors="replace")


@pytest.mark.parametrize("terminal", [True, False])
def test_progress_bar_only_on_a_terminal(terminal):
    argv = [COMMAND, "scattered", "rps", "--rule", "ogda", "--eta", "0.1", "--steps", "2000", "--trials", "3000",
            "--inner", "0.1", "--outer", "0.5"]
    stderr = _stderr_of(argv, terminal)
    assert ("3000/3000" in stderr and "trial/s" in stderr) if terminal else stderr == ""


def test_mypy_accepts_a_typed_user_script_and_catches_a_wrong_call(tmp_path):
    checked = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", tmp_path,
                              HERE / "typing" / "user_script.py", HERE / "typing" / "wrong_call.py"],
                             capture_output=True, text=True)
    errors = [line for line in checked.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1, checked.stdout
    assert "wrong_call.py:4" in errors[0] and '"ogda" of "Optimizer"' in errors[0]


def test_stubs_match_the_extension(tmp_path):
    checked = subprocess.run([sys.executable, "-m", "mypy.stubtest", "quarnel"], capture_output=True, text=True,
                             cwd=tmp_path)
    assert checked.returncode == 0, checked.stdout
