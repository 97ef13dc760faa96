"""Python code that runs during a call (argument converters, signal handlers, garbage-collector
callbacks, other threads) neither crashes nor hangs the process, nor keeps Ctrl-C out. Each case
runs in a child interpreter with a timeout."""
import pytest

from support import run_script

PRELUDE = """
import os, signal, sys, threading, time
import numpy as np
import quarnel
from quarnel import Optimizer
# Stays at the uniform strategies (zero step size), which are no equilibrium: never converges.
STUCK = np.array([[2.0, -1.0], [-1.0, 1.0]])
def long_call(trials=16):
    quarnel.scattered_exploration(STUCK, Optimizer.ogda(0.0, 2), trials, 10**6, 0.1, 0.2, "max", "max_last")
"""
# Largest delay from a signal to KeyboardInterrupt in the main thread.
MAX_LATENCY = 1.0


def run_child(body, timeout=30):
    return run_script(PRELUDE + body, timeout=timeout).split()


@pytest.mark.parametrize("raises", [False, True])
def test_a_signal_handler_while_another_thread_explores_does_not_deadlock(raises):
    run_child(f"""
calls = []
def handler(*_):
    calls.append(None)
    if {raises} and len(calls) == 3:
        signal.setitimer(signal.ITIMER_REAL, 0)
        raise KeyboardInterrupt
def other():
    while True:
        quarnel.scattered_exploration(STUCK, Optimizer.ogda(0.1, 2), 8, 10, 0.1, 0.2, "max", "max_last")
threading.Thread(target=other, daemon=True).start()
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
try:
    long_call(100)
except KeyboardInterrupt:
    pass
signal.setitimer(signal.ITIMER_REAL, 0)
""")


# Each converter after the array's shrinks it in place (freeing its memory) and runs on.
SHRINKING_CONVERTERS = {
    "scattered": """
a = np.ones((2000, 2000))
class Evil:
    def __index__(self):
        a.resize((1, 1), refcheck=False); return 2
out = quarnel.scattered_exploration(a, Optimizer.ogda(0.1, 1), Evil(), 1, 0.1, 0.2, "max", "max_last")
assert out.norms.shape == (2,)
""",
    "concentric": """
a = np.ones((2000, 2000))
class Evil:
    def __float__(self):
        a.resize((1, 1), refcheck=False); return 0.1
out = quarnel.concentric_exploration(a, Optimizer.ogda(0.1, 1), 2, 1, Evil(), 0.2, 1, "max_last")
assert out.metrics.shape == (1, 2)
""",
    "neighborhood": """
stack = np.tile(STUCK, (200000, 1, 1)).copy()
expected = quarnel.neighborhood_exploration(stack[-3:].copy(), Optimizer.ogda(0.1, 2), 5, False)
class Evil:
    def __index__(self):
        stack.resize((1, 1, 1), refcheck=False); return 5
out = quarnel.neighborhood_exploration(stack, Optimizer.ogda(0.1, 2), Evil(), False)
assert len(out) == 200000
assert all(np.array_equal(got.gaps_history, want.gaps_history) for got, want in zip(out[-3:], expected))
""",
}


@pytest.mark.parametrize("call", SHRINKING_CONVERTERS)
def test_an_array_freed_by_a_later_converter_is_not_read(call):
    run_child(SHRINKING_CONVERTERS[call])


def test_a_child_forked_by_a_signal_handler_during_a_call_raises_instead_of_waiting():
    outcome = run_child("""
children = []
def fork_once(*_):
    if children or os.getpid() != parent:
        return
    children.append(os.fork())
parent = os.getpid()
signal.signal(signal.SIGALRM, fork_once)
signal.setitimer(signal.ITIMER_REAL, 0.1)
try:
    long_call(200)
except BaseException as failure:
    if os.getpid() == parent:
        raise
    os._exit(3)
if os.getpid() != parent:
    os._exit(0)
deadline = time.monotonic() + 10
while time.monotonic() < deadline:
    pid, status = os.waitpid(children[0], os.WNOHANG)
    if pid:
        print(os.waitstatus_to_exitcode(status))
        break
    time.sleep(0.05)
else:
    os.kill(children[0], signal.SIGKILL)
    print("hung")
""")
    assert outcome == ["3"]


def test_exit_while_a_daemon_thread_is_inside_a_call_is_clean():
    run_child("""
class Busy:
    def __index__(self):
        while True:
            pass
threading.Thread(target=Optimizer.ogda, args=(0.1, Busy()), daemon=True).start()
threading.Thread(target=lambda: long_call(10**4), daemon=True).start()
time.sleep(0.3)
""")


# A long call runs where the main thread cannot run signal handlers itself; the alarm's handler
# raises KeyboardInterrupt, which must reach the main thread promptly.
def latency(body):
    return float(run_child(f"""
signal.signal(signal.SIGALRM, signal.default_int_handler)
{body}
""")[-1])


def test_ctrl_c_reaches_the_main_thread_while_another_thread_explores():
    assert latency("""
worker = threading.Thread(target=lambda: long_call(10**4), daemon=True)
worker.start()
signal.setitimer(signal.ITIMER_REAL, 0.3)
alarm = time.monotonic() + 0.3
try:
    worker.join()
except KeyboardInterrupt:
    print(time.monotonic() - alarm)
""") < MAX_LATENCY


def test_a_call_made_by_a_signal_handler_can_be_interrupted():
    assert latency("""
def nested(*_):
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    started = time.monotonic()
    try:
        long_call(10**4)
    except KeyboardInterrupt:
        print(time.monotonic() - started - 0.3)
signal.signal(signal.SIGALRM, nested)
signal.setitimer(signal.ITIMER_REAL, 0.05)
long_call(200)
""") < MAX_LATENCY


def test_one_panic_type_even_when_another_thread_panics_during_its_creation():
    assert run_child("""
import gc
go, seen = threading.Event(), []
def panic_type():
    try:
        Optimizer.ogda(0.1, 0)
    except BaseException as panic:
        return type(panic)
def other():
    go.wait()
    seen.append(panic_type())
thread = threading.Thread(target=other)
thread.start()
def let_the_other_thread_run(*_):
    if not go.is_set():
        go.set()
        time.sleep(0.2)
gc.callbacks.append(let_the_other_thread_run)
gc.set_threshold(1)
mine = panic_type()
gc.callbacks.clear()
gc.set_threshold(700)
thread.join()
print(seen[0] is mine is panic_type())
""") == ["True"]
