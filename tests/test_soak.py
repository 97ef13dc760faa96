"""Soak: every entry point, succeeding and failing (unallocatable sizes among them), called
thousands of times in a child process, raises what it should and leaks neither references nor
memory."""
import json
import os

from support import run_script

ROUNDS = 2000
SOAK_CHILD = """
    import gc, json, os, sys
    import numpy as np
    import quarnel
    from quarnel import Optimizer

    rng = np.random.default_rng(3)
    square = rng.standard_normal((3, 3))
    big = rng.standard_normal((64, 64))  # large enough for a lost copy to show in memory
    stack = rng.standard_normal((8, 2, 2))
    broken_stack = stack.copy()
    broken_stack[5, 0, 1] = np.nan
    x3 = np.ones(3)
    optimizer = Optimizer.ogda(0.1, 3)
    state = quarnel.GameState(x3, x3, square)
    mismatched = quarnel.Experiment(state, Optimizer.omwuoomd(0.1, 2), 1000)  # fails at its first step

    def expect(kind, call):
        try:
            call()
        except BaseException as caught:
            assert type(caught).__name__ == kind, (kind, repr(caught))
        else:
            assert kind is None, kind

    def radial(a, n, steps, metric="max_last", norm="max", inner=0.1, outer=0.2):
        return quarnel.scattered_exploration(a, optimizer, n, steps, inner, outer, norm, metric)

    CALLS = [
        (None, lambda: quarnel.GameState(x3, x3, big).a),
        ("TypeError", lambda: quarnel.GameState(x3, [1.0], square)),
        ("PanicException", lambda: quarnel.GameState(np.ones(0), x3, big)),
        (None, lambda: [f(0.1, 3) for f in (Optimizer.ogda, Optimizer.omwuoomd, Optimizer.omwuoftrl)]),
        (None, lambda: [c(0.1, 64) for c in (quarnel.Ogda, quarnel.OmwuOomd, quarnel.OmwuOftrl)]),
        ("PanicException", lambda: Optimizer.ogda(0.1, 0)),
        ("OverflowError", lambda: Optimizer.ogda(0.1, -1)),
        ("TypeError", lambda: Optimizer.ogda("0.1", 2)),
        ("MemoryError", lambda: Optimizer.ogda(0.1, 2**62)),
        ("MemoryError", lambda: Optimizer.omwuoftrl(0.1, 2**62)),
        ("MemoryError", lambda: quarnel.OmwuOftrl(0.1, 2**64 - 1)),
        ("TypeError", lambda: quarnel.GameResult()),
        (None, lambda: [getattr(quarnel.Experiment(state, optimizer, 200).run_experiment_until_convergence_in_place(), h)
                        for h in ("x_history", "y_history", "gaps_history")]),
        ("PanicException", mismatched.run_experiment_until_convergence_in_place),
        ("TypeError", lambda: quarnel.Experiment(square, optimizer, 10)),
        ("MemoryError", lambda: quarnel.Experiment(state, optimizer, 2**62).run_experiment_until_convergence_in_place()),
        (None, lambda: (lambda out: (out.norms, out.metrics))(radial(square, 6, 50))),
        ("ValueError", lambda: radial(square, 6, 50, metric="bogus")),
        ("ValueError", lambda: radial(square, 6, 50, norm="bogus")),
        ("PanicException", lambda: radial(big, 4, 50)),  # the optimizer's length does not fit
        ("PanicException", lambda: radial(square, 4, 50, inner=1.0, outer=0.5)),
        ("MemoryError", lambda: radial(square, 2**62, 5)),
        (None, lambda: quarnel.concentric_exploration(square, optimizer, 6, 50, 0.0, 1.0, 3, "total_var").metrics),
        ("PanicException", lambda: quarnel.concentric_exploration(square, optimizer, 6, 50, 0.0, 1.0, 0, "total_var")),
        (None, lambda: [r.gaps_history for r in quarnel.neighborhood_exploration(stack, Optimizer.omwuoftrl(0.1, 2), 100, True)]),
        ("PanicException", lambda: quarnel.neighborhood_exploration(broken_stack, Optimizer.omwuoomd(0.1, 2), 100, False)),
        ("TypeError", lambda: quarnel.neighborhood_exploration(stack, optimizer, 10, 1)),
        ("MemoryError", lambda: quarnel.neighborhood_exploration(stack, optimizer, 2**62, False)),
    ]
    WATCHED = [square, big, stack, x3, optimizer, state, mismatched, quarnel.GameState, quarnel.GameResult,
               quarnel.Optimizer, quarnel.Ogda, quarnel.Experiment, quarnel.PyScatteredOutput,
               quarnel.PyConcentricOutput, None, True, False]

    def soak(rounds):
        for _ in range(rounds):
            for kind, call in CALLS:
                expect(kind, call)
        gc.collect()

    def resident_bytes():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    soak(200)  # warm-up: caches, the pool, the allocator's arenas
    refcounts, resident = [sys.getrefcount(o) for o in WATCHED], resident_bytes()
    soak(ROUNDS)
    after = [sys.getrefcount(o) for o in WATCHED]
    print(json.dumps({
        "calls": ROUNDS * len(CALLS),
        "refcount_growth": [a - b for a, b in zip(after, refcounts)],
        "resident_growth": resident_bytes() - resident,
    }))
"""


def test_thousands_of_calls_leak_neither_references_nor_memory():
    # Under AddressSanitizer, freed memory waits in a quarantine that would look like growth.
    asan = os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"
    report = json.loads(run_script(SOAK_CHILD.replace("ROUNDS", str(ROUNDS)), ASAN_OPTIONS=asan))
    assert report["calls"] >= 50_000
    # None, True and False are shared with the interpreter, which may hold a few more of them.
    assert all(growth == 0 for growth in report["refcount_growth"][:-3]), report
    assert all(abs(growth) < 100 for growth in report["refcount_growth"][-3:]), report
    assert report["resident_growth"] < 4 << 20, report
