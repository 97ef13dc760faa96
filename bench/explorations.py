"""Throughput of the scattered exploration with one and with two pool workers.

    python3 bench/explorations.py                 # a few seconds
    python3 bench/explorations.py --trials 20000  # longer, steadier figures

Each worker count runs in its own interpreter, since the pool is sized once per process from
RAYON_NUM_THREADS. The step size is small enough that no run converges, so every trial takes
all its steps and trials x steps counts the optimizer steps actually made.
"""
import argparse
import json
import os
import subprocess
import sys
import textwrap

MEASURE = textwrap.dedent("""
    import json, sys, time
    import numpy as np
    import quarnel

    rule, size, trials, steps, repeats = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
    base = np.random.default_rng(7).uniform(-1.0, 1.0, (size, size))
    optimizer = getattr(quarnel.Optimizer, rule)(1e-4, size)

    def explore(n):
        # The metric is the last gap of each run: at or above 1e-8 means the run took every step.
        return quarnel.scattered_exploration(base, optimizer, n, steps, 0.5, 1.0, "max", "max_last", 1e-12)

    explore(4)  # starts the pool
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        out = explore(trials)
        best = min(best, time.perf_counter() - start)
    print(json.dumps({"seconds": best, "all_steps_taken": bool((out.metrics >= 1e-8).all())}))
""")


def measure(workers, args):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    command = [sys.executable, "-c", MEASURE, args.rule, str(args.size), str(args.trials), str(args.steps),
               str(args.repeats)]
    done = subprocess.run(command, env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rule", default="ogda", choices=["ogda", "omwuoomd", "omwuoftrl"])
    parser.add_argument("--size", type=int, default=2, help="base matrix is size x size")
    parser.add_argument("--trials", type=int, default=2000)
    parser.add_argument("--steps", type=int, default=5000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    work = args.trials * args.steps
    print(f"{args.rule}, {args.size}x{args.size} base, {args.trials} trials x {args.steps} steps, "
          f"best of {args.repeats}")
    rates = {}
    for workers in (1, 2):
        result = measure(workers, args)
        rates[workers] = work / result["seconds"]
        note = "" if result["all_steps_taken"] else "  (some runs converged early: fewer steps were made)"
        print(f"  {workers} worker{'s' if workers > 1 else ' '}: {result['seconds']:8.3f} s  "
              f"{rates[workers] / 1e6:8.2f} M trial-steps/s{note}")
    print(f"  speed-up with 2 workers: {rates[2] / rates[1]:.2f}x")


if __name__ == "__main__":
    main()
