"""Benchmark tables: quarnel against NumPy, Numba and JAX baselines and a bare C++ loop.

    python3 bench/run.py            # the full table (a few minutes)
    python3 bench/run.py --quick    # fewer steps and repeats, for a smoke test
    python3 bench/run.py --only batched   # one table (repeatable: --only single --only explorations)
    python3 bench/run.py --instruction-set avx2   # one build (repeatable; default: every build
                                                  # this processor runs, one after another)
    python3 bench/run.py --against /work/venv-old/bin/python   # a column for another install
    python3 bench/run.py --against /work/old-avx2/bin/python --against baseline=/work/old-sse2/bin/python
                                                  # BUILD=PYTHON: that build's column only (an old
                                                  # release built for the kind of machine it stands for)
    python3 bench/run.py --only measures --against /work/venv-old/bin/python   # what the per-trial
                                                  # measures cost, against an install without them

Each build is forced in a process of its own (QUARNEL_INSTRUCTION_SET), and its tables show
the arithmetic limit at that build's own peak rate. Every figure is measured by this script
on this machine in one go, so only the ratios mean something. Before timing, each baseline's
histories are checked against quarnel's.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

# Set before NumPy loads OpenBLAS. One BLAS thread: idle BLAS threads spin on a core for a while
# after each call, which would slow whatever is timed next on a small machine (the baselines'
# products are far too small for BLAS to split them anyway). The processor-type override some
# machines set for old OpenBLAS builds slows a current one: the benchmark runs without it
# (the baselines' results are still checked against quarnel's before any timing).
if "OPENBLAS_CORETYPE" in os.environ or os.environ.get("OPENBLAS_NUM_THREADS") != "1":
    env = {k: v for k, v in os.environ.items() if k not in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")}
    env["OPENBLAS_NUM_THREADS"] = "1"
    os.execve(sys.executable, [sys.executable] + sys.argv, env)

import numpy as np  # noqa: E402

import quarnel  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from baselines.dynamics import build  # noqa: E402
from timing import best_time  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
FACTORIES = {
    "ogda": quarnel.Optimizer.ogda,
    "omwuoomd": quarnel.Optimizer.omwuoomd,
    "omwuoftrl": quarnel.Optimizer.omwuoftrl,
}
# The module's builds: name, processor family and compile flags, one line each.
BUILD_TABLE = os.path.join(HERE, os.pardir, "cmake", "instruction_sets.cmake")
BUILD_VARIABLE = "QUARNEL_INSTRUCTION_SET"
SIZES = (2, 8, 64)
# A small step size keeps every run short of convergence, so each run takes all its steps
# (checked: a timed run that stopped early would measure the tail fill instead).
ETA = 1e-5


def game(n):
    return np.random.default_rng(1000 + n).uniform(-1.0, 1.0, (n, n))


def run_quarnel(rule, a, num_steps):
    n = a.shape[0]
    state = quarnel.GameState(np.full(n, 1.0 / n), np.full(n, 1.0 / n), a)
    experiment = quarnel.Experiment(state, FACTORIES[rule](ETA, n), num_steps)
    return experiment.run_experiment_until_convergence_in_place()


def require_full_length(rule, a, num_steps):
    if run_quarnel(rule, a, num_steps).gaps_history[-1] < 1e-8:
        raise SystemExit(f"{rule} on {a.shape} converges within {num_steps} steps: lower ETA")


def check_equal_work(rule, a, baselines, num_steps=500):
    result = run_quarnel(rule, a, num_steps)
    expected = (result.x_history, result.y_history, result.gaps_history)
    for name, runs in baselines.items():
        got = runs[rule](a, ETA, num_steps)
        for mine, theirs in zip(expected, got):
            if not np.allclose(mine, theirs, rtol=0.0, atol=1e-9):
                raise SystemExit(f"{name} baseline of {rule} on {a.shape} differs from quarnel")


def single_run_rows(baselines, quick):
    steps = {"quarnel": 20_000 if quick else 200_000, "numba": 5_000 if quick else 50_000,
             "numpy": 500 if quick else 5_000}
    repeats = 2 if quick else 3
    rows = []
    for rule in FACTORIES:
        for n in SIZES:
            a = game(n)
            check_equal_work(rule, a, baselines)
            scale = max(1, n // 8)  # keep the large games' runs short
            require_full_length(rule, a, steps["quarnel"] // scale)
            ns = {"quarnel": best_time(lambda: run_quarnel(rule, a, steps["quarnel"] // scale), repeats,
                                       clock=time.process_time) / (steps["quarnel"] // scale) * 1e9}
            for name, runs in baselines.items():
                count = steps[name] // scale
                ns[name] = best_time(lambda: runs[rule](a, ETA, count), repeats, clock=time.process_time) / count * 1e9
            rows.append((rule, n, ns))
    return rows


BARE_STEPS = 200_000  # the same run length as quarnel's timed 2x2 OGDA runs


def bare_limit_ns():
    """(whole run, loop alone) in ns per step; the whole run includes allocating the histories."""
    exe = os.path.join(tempfile.mkdtemp(), "bare_limit")
    subprocess.run(["g++", "-O2", "-ffp-contract=off", "-o", exe, os.path.join(HERE, "bare_limit.cpp")],
                   check=True)
    args = [exe, str(BARE_STEPS), repr(ETA)] + [repr(v) for v in game(2).ravel()]
    runs = [subprocess.run(args, check=True, capture_output=True, text=True).stdout.split() for _ in range(5)]
    return min(float(r[0]) for r in runs), min(float(r[1]) for r in runs)


EXPLORATION_SCRIPT = """
import sys, time, numpy as np, quarnel
n, trials, steps = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
a = np.random.default_rng(7).uniform(-1.0, 1.0, (n, n))
opt = quarnel.Optimizer.ogda({eta}, n)
quarnel.scattered_exploration(a, opt, 4, 10, 0.01, 0.1, "max", "total_var")
best = float("inf")
for _ in range(9):  # best of many: a 2x2 batch lasts milliseconds, and other processes share the cores
    start = time.perf_counter()
    quarnel.scattered_exploration(a, opt, trials, steps, 0.01, 0.1, "max", "total_var")
    best = min(best, time.perf_counter() - start)
print(trials * steps / best)
""".format(eta=ETA)


def exploration_rows(quick):
    trials, steps = (64, 500) if quick else (256, 2_000)
    rows = []
    for n in (2, 8):
        rate = {}
        for workers in (1, 2):
            env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
            out = subprocess.run([sys.executable, "-c", EXPLORATION_SCRIPT, str(n), str(trials), str(steps)],
                                 env=env, check=True, capture_output=True, text=True).stdout
            rate[workers] = float(out)
        rows.append((n, trials, steps, rate))
    return rows


FIRST_CALL_SCRIPT = """
import sys, time, numpy as np, quarnel
trials, steps = int(sys.argv[1]), int(sys.argv[2])
a = np.random.default_rng(7).uniform(-1.0, 1.0, (2, 2))
opt = quarnel.Optimizer.ogda({eta}, 2)
def call():
    start = time.perf_counter()
    quarnel.scattered_exploration(a, opt, trials, steps, 0.01, 0.1, "max", "max_last")
    return time.perf_counter() - start
first = call()
later = sorted(call() for _ in range(15))
print(first - later[7])
""".format(eta=ETA)


def first_call_extra_ms(trials, steps, processes=5):
    """Median over fresh processes of how much longer their first 2-worker call takes than later ones."""
    env = dict(os.environ, RAYON_NUM_THREADS="2")
    extras = sorted(float(subprocess.run([sys.executable, "-c", FIRST_CALL_SCRIPT, str(trials), str(steps)], env=env,
                                         check=True, capture_output=True, text=True).stdout) * 1e3
                    for _ in range(processes))
    return extras[processes // 2]


CALLGRIND_SCRIPT = """
import sys, numpy as np, quarnel
a = np.random.default_rng(1002).uniform(-1.0, 1.0, (2, 2))
state = quarnel.GameState(np.full(2, 0.5), np.full(2, 0.5), a)
quarnel.Experiment(state, quarnel.Optimizer.ogda({eta}, 2), int(sys.argv[1])).run_experiment_until_convergence_in_place()
""".format(eta=ETA)


def instructions_per_step():
    """Instructions of the run itself (the core's run function and all it calls), per step.

    Only the run function is counted (--toggle-collect), and the difference of two run lengths
    removes its fixed cost; the interpreter and any library threads are outside the count.
    """
    if shutil.which("valgrind") is None:
        return None
    totals = []
    for steps in (10_000, 110_000):
        err = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                              "--toggle-collect=quarnel::Experiment::run_experiment_until_convergence*",
                              sys.executable, "-c", CALLGRIND_SCRIPT, str(steps)],
                             capture_output=True, text=True).stderr
        match = re.search(r"Collected : (\d+)", err)
        # Nothing collected: the module's symbol table is missing, so the run function was not found.
        if match is None or int(match.group(1)) == 0:
            return None
        totals.append(int(match.group(1)))
    return (totals[1] - totals[0]) / 100_000


# The batched table: explorations against NumPy and JAX batched over trials, one core each.
BATCHED_SIZES = ((2, 4096, 2000), (8, 1024, 2000), (32, 256, 1000))  # n, trials, steps
BATCHED_CASES = tuple((rule, n, trials, steps) for n, trials, steps in BATCHED_SIZES
                      for rule in ("ogda", "omwuoomd", "omwuoftrl"))
BATCHED_COLUMNS = ("quarnel", "lab", "jax", "numpy")

# The arithmetic limit of one trial-step, in ns: the gradients a y and a^T x take 2 m n
# multiplications and 2 m n additions (no fused multiply-add: results must be the same on
# every machine); each of the m + n exponentials of a multiplicative step takes
# EXP_OPERATIONS lane operations (its short form: reduction, two table reads, degree-8
# polynomial, scaling); nothing else is counted (not OGDA's projections, the normalisations'
# divisions, nor the checks); every operation retires at the build's peak rate, measured by
# bench/peak_rate.cpp compiled with that build's flags (so on its native vector width).
EXP_OPERATIONS = 33
# The targets for an exploration case: this many times faster than JAX and NumPy, or
# else within this factor of the build's limit.
TARGET_OVER_JAX, TARGET_OVER_NUMPY, TARGET_OVER_LIMIT = 5.0, 10.0, 2.0


def build_flags():
    """{name: compile flags} for every build of the module's table."""
    with open(BUILD_TABLE) as table:
        entries = re.findall(r'^\s*"([\w-]+)\|[^|"]*\|([^|"]*)\|', table.read(), re.MULTILINE)
    return {name: [flag for flag in flags.split(",") if flag] for name, flags in entries}


def peak_rate(build):
    """(lane operations per ns, doubles per vector) of the build's flags, best of 3 on one core."""
    exe = os.path.join(tempfile.mkdtemp(), "peak_rate")
    subprocess.run(["g++", "-O2", *build_flags()[build], "-ffp-contract=off", "-Wno-psabi", "-o", exe,
                    os.path.join(HERE, "peak_rate.cpp")], check=True)
    pin = ["taskset", "-c", str(min(os.sched_getaffinity(0)))] if shutil.which("taskset") else []
    runs = [subprocess.run(pin + [exe], check=True, capture_output=True, text=True).stdout.split() for _ in range(3)]
    return max(float(r[0]) for r in runs), int(runs[0][1])


def limit_ns(rule, n, peak):
    operations = 4 * n * n + (0 if rule == "ogda" else EXP_OPERATIONS * 2 * n)
    return operations / peak


ONE_CORE_ENV = dict(os.environ, RAYON_NUM_THREADS="1",
                    XLA_FLAGS="--xla_cpu_multi_thread_eigen=false intra_op_parallelism_threads=1")


def batched_cell(rule, n, trials, steps, which, python=sys.executable):
    """ns per trial-step; its process pins itself to one core."""
    out = subprocess.run([python, os.path.join(HERE, "batched.py"), rule, str(n), str(trials), str(steps), which],
                         env=ONE_CORE_ENV, check=True, capture_output=True, text=True).stdout.split()
    if out[0] == "nan":
        print(f"  ({which} skipped: {' '.join(out[1:])}; pip install '.[bench]')")
    return float(out[0])


def batched_rows(quick, against):
    for rule, n, trials, steps in BATCHED_CASES:
        if quick:
            trials, steps = max(16, trials // 16), steps // 4
        ns = {which: batched_cell(rule, n, trials, steps, which) for which in BATCHED_COLUMNS}
        if against:
            ns["against"] = batched_cell(rule, n, trials, steps, "quarnel", python=against)
        yield rule, n, trials, steps, ns


def verdict(q, jax, numpy, limit):
    if jax / q >= TARGET_OVER_JAX and numpy / q >= TARGET_OVER_NUMPY:
        return "met"
    return "near limit" if q / limit <= TARGET_OVER_LIMIT else "MISSED"


def print_batched_table(quick, build, peak, against):
    print(f"\nExplorations against batched baselines, ns per trial-step, one core each "
          "(eta 1e-4, no trial converging, checked)")
    print("quarnel: scattered_exploration; lab: quarnel_lab.scattered in 8 chunks; jax: jit(vmap(lax.scan)), "
          "float64; numpy: vectorised over trials; limit: gradients + exponentials at the build's peak rate "
          f"({peak:.1f} lane operations per ns, measured); goal: >= {TARGET_OVER_JAX:g}x JAX and "
          f">= {TARGET_OVER_NUMPY:g}x NumPy, or within {TARGET_OVER_LIMIT:g}x of the limit")
    if against:
        print(f"against: scattered_exploration of the module installed for {against} (the build it picks "
              "itself), timed in the same way; against/q above 1 means this build is faster")
    extra = f" {'against':>9} {'against/q':>9}" if against else ""
    print(f"{'case':<22} {'trials x steps':>15} {'quarnel':>9} {'lab':>9} {'jax':>9} {'numpy':>9} {'limit':>7} "
          f"{'jax/q':>7} {'numpy/q':>8} {'q/limit':>8} {'goal':>11}{extra}")
    for rule, n, trials, steps, ns in batched_rows(quick, against):
        q, limit = ns["quarnel"], limit_ns(rule, n, peak)
        extra = f" {ns['against']:>9.1f} {ns['against'] / q:>9.2f}" if against else ""
        print(f"{f'{rule} {n}x{n}':<22} {f'{trials} x {steps}':>15} {q:>9.1f} {ns['lab']:>9.1f} {ns['jax']:>9.1f} "
              f"{ns['numpy']:>9.1f} {limit:>7.2f} {ns['jax'] / q:>7.2f} {ns['numpy'] / q:>8.1f} {q / limit:>8.1f} "
              f"{verdict(q, ns['jax'], ns['numpy'], limit):>11}{extra}", flush=True)


def single_run_tables(quick, callgrind):
    baselines = {"numpy": build()}
    try:
        import numba
        baselines["numba"] = build(numba.njit(cache=False))
    except ImportError:
        print("numba is not installed: pip install numba (the Numba columns are skipped)")

    print(f"Single convergence run, ns per step (eta={ETA}, histories recorded; one core, processor time)")
    print(f"{'rule':<10} {'size':>6} {'quarnel':>10} {'numba':>10} {'numpy':>11} {'numba/q':>9} {'numpy/q':>9}")
    for rule, n, ns in single_run_rows(baselines, quick):
        q = ns["quarnel"]
        nb = ns.get("numba", float("nan"))
        print(f"{rule:<10} {f'{n}x{n}':>6} {q:>10.1f} {nb:>10.1f} {ns['numpy']:>11.1f} "
              f"{nb / q:>9.1f} {ns['numpy'] / q:>9.1f}")

    bare, bare_loop = bare_limit_ns()
    q2 = best_time(lambda: run_quarnel("ogda", game(2), BARE_STEPS), 5, clock=time.process_time) / BARE_STEPS * 1e9
    print(f"\n2x2 OGDA, {BARE_STEPS} steps: quarnel {q2:.1f} ns/step, bare C++ run {bare:.1f} ns/step "
          f"(its loop alone {bare_loop:.1f}), ratio {q2 / bare:.2f} ({q2 / bare_loop:.2f} to the loop alone)")

    if callgrind:
        ips = instructions_per_step()
        print("2x2 OGDA instructions per step (callgrind): " + ("n/a" if ips is None else f"{ips:.1f}"))


def print_single_run_tables(quick, callgrind):
    """The single-run tables, this process pinned to one core while they are timed."""
    cores = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(cores)})
    try:
        single_run_tables(quick, callgrind)
    finally:
        os.sched_setaffinity(0, cores)


def print_exploration_table(quick):
    print("\nscattered_exploration throughput, trials x steps per second")
    print(f"{'base':>6} {'trials':>7} {'steps':>6} {'1 worker':>12} {'2 workers':>12} {'speed-up':>9}")
    for n, trials, steps, rate in exploration_rows(quick):
        print(f"{f'{n}x{n}':>6} {trials:>7} {steps:>6} {rate[1]:>12.3g} {rate[2]:>12.3g} {rate[2] / rate[1]:>9.2f}")
    for trials, steps in ((8, 10), (256, 2000)):
        print(f"first 2-worker call of a process, 2x2 {trials} x {steps}: "
              f"{first_call_extra_ms(trials, steps):.2f} ms more than later ones (median of 5 processes)")


# Rounds of the measures table: the two installs' cells alternate, each keeping its best.
MEASURES_ROUNDS = 3


def print_measures_table(quick, against):
    """What the per-trial measures of a sweep (best and average iterate gaps, rate, hitting
    times) cost: quarnel_lab.scattered on the batched cases, this install against one without them."""
    print("\nThe cost of the per-trial measures: quarnel_lab.scattered (the lab cell), ns per trial-step, one core, "
          f"best of {MEASURES_ROUNDS} alternating rounds")
    if not against:
        print("  (needs --against PYTHON: an install of quarnel before the measures, for the same builds)")
        return
    print(f"against: {against}; cost = this / against - 1 (goal: at most 15 %)")
    print(f"{'case':<22} {'trials x steps':>15} {'this':>9} {'against':>9} {'cost':>8}")
    for rule, n, trials, steps in BATCHED_CASES:
        if quick:
            trials, steps = max(16, trials // 16), steps // 4
        this = there = float("inf")
        for _ in range(MEASURES_ROUNDS):
            this = min(this, batched_cell(rule, n, trials, steps, "lab"))
            there = min(there, batched_cell(rule, n, trials, steps, "lab", python=against))
        print(f"{f'{rule} {n}x{n}':<22} {f'{trials} x {steps}':>15} {this:>9.1f} {there:>9.1f} "
              f"{100 * (this / there - 1):>7.1f}%", flush=True)


TABLES = ("single", "explorations", "batched", "measures")


def print_tables(args, build):
    """Every table asked for, for the build in use (forced)."""
    if quarnel._pool_info()["instruction_set"] != build:
        raise SystemExit(f"{BUILD_VARIABLE}={build} did not select the build {build}")
    peak, lanes = peak_rate(build)
    print(f"=== Build {build} ({BUILD_VARIABLE}={build}): peak rate {peak:.1f} lane operations per ns "
          f"on {lanes}-double vectors, one core (processor time) ===", flush=True)
    tables = args.only or TABLES
    if "single" in tables:
        print_single_run_tables(args.quick, not args.no_callgrind)
    if "explorations" in tables:
        print_exploration_table(args.quick)
    if "batched" in tables:
        print_batched_table(args.quick, build, peak, args.against)
    if "measures" in tables:
        print_measures_table(args.quick, args.against)
    print(flush=True)


def against_for(entries, instruction_sets, forced):
    """--against's entries as {build or None: python}; in the process of one forced build, the
    interpreter for that build (its own entry before one for every build), or None."""
    table = {}
    for entry in entries:
        name, _, python = entry.partition("=")
        table.update({name: python} if python and re.fullmatch(r"[\w-]+", name) else {None: entry})
    if instruction_sets == [forced] and forced is not None:
        return table.get(forced, table.get(None))
    return table


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer steps and repeats")
    parser.add_argument("--no-callgrind", action="store_true", help="skip the instruction count")
    parser.add_argument("--only", choices=TABLES, action="append", help="print only this table (repeatable)")
    parser.add_argument("--instruction-set", action="append", metavar="NAME",
                        help="time this build of the module, forced (repeatable; default: the one "
                             f"{BUILD_VARIABLE} names, else every build this processor runs)")
    parser.add_argument("--against", metavar="[BUILD=]PYTHON", action="append", default=[],
                        help="add a column to the batched table: the same explorations with the module installed "
                             "for this interpreter (another release, in its own environment); BUILD=PYTHON "
                             "for one build's tables only (repeatable)")
    args = parser.parse_args()
    args.against = against_for(args.against, args.instruction_set, forced := os.environ.get(BUILD_VARIABLE))
    if args.instruction_set == [forced]:  # one build, in the process it was forced in
        print_tables(args, forced)
        return
    runnable = list(quarnel._pool_info()["instruction_sets"])  # best first
    builds = args.instruction_set or ([forced] if forced else runnable)
    unknown = [name for name in builds if name not in runnable]
    if unknown:
        parser.error(f"this processor does not run the build {', '.join(unknown)}; it runs {', '.join(runnable)}")
    passed = ["--quick"] * args.quick + ["--no-callgrind"] * args.no_callgrind
    passed += [argument for table in args.only or () for argument in ("--only", table)]
    for build in builds:
        against = [python if name is None else f"{name}={python}"
                   for name, python in args.against.items() if name in (build, None)]
        subprocess.run([sys.executable, os.path.abspath(__file__), *passed,
                        *(argument for entry in against for argument in ("--against", entry)),
                        "--instruction-set", build],
                       env=dict(os.environ, **{BUILD_VARIABLE: build}), check=True)


if __name__ == "__main__":
    main()
