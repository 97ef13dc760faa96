"""Sweeps on a loopback Dask cluster against the same sweep run here (about three minutes).

    pip install '.[distributed]' && python3 bench/cluster.py

Prints, for a 20,000-trial sweep, the wall time and the processor time (of this process, which
holds the scheduler, and of every worker process) here and on a 2-worker LocalCluster at the
default and at fixed chunk sizes; the processor time one chunk costs and the chunk size below
which that cost exceeds 5 % of the work; and the worker layouts: one single-threaded worker
whose pool uses every core against one single-threaded worker per core with one-thread pools.
Processor time is the steadier figure on a shared machine. Every figure is a best of three.
"""
import os
import time

import numpy as np
import psutil
from distributed import Client, LocalCluster

import quarnel_lab as ql

GAME = np.array([[0.0, -1.0, 1.0], [1.0, 0.0, -1.0], [-1.0, 1.0, 0.0]])
TRIALS = 20000
CORES = os.cpu_count() or 1
REPEATS = 3


def sweep(**where):
    return ql.scattered(GAME, "ogda", eta=0.1, steps=1000, trials=TRIALS, inner=0.05, outer=0.4, seed=1,
                        progress=False, **where)


def processor_seconds():
    me = psutil.Process()
    return sum(sum(process.cpu_times()[:2]) for process in [me, *me.children(recursive=True)])


def best(**where):
    """The best wall and processor seconds of the sweep."""
    walls, processors = [], []
    for _ in range(REPEATS):
        wall, processor = time.perf_counter(), processor_seconds()
        sweep(**where)
        walls.append(time.perf_counter() - wall)
        processors.append(processor_seconds() - processor)
    return min(walls), min(processors)


def cluster(workers, pool_threads):
    return LocalCluster(processes=True, n_workers=workers, threads_per_worker=1, host="127.0.0.1",
                        dashboard_address="127.0.0.1:0", env={"RAYON_NUM_THREADS": str(pool_threads)})


def show(name, wall, processor, here):
    print(f"{name:48s} {wall:6.3f} s {TRIALS / wall:8,.0f} trials/s   processor {processor:6.3f} s "
          f"({processor / here - 1:+6.1%})")


def main():
    wall, here = best()
    show("here", wall, here, here)
    sizes = (25, 50, 100, 250, 1000)
    processors = []
    with cluster(CORES, 1) as local, Client(local) as client:
        client.wait_for_workers(CORES)
        show(f"{CORES} workers x 1 thread, pool 1, default chunks", *best(client=client), here)
        for size in sizes:
            wall, processor = best(client=client, chunk=size)
            processors.append(processor)
            show(f"  chunk {size}", wall, processor, here)
    # processor seconds = fixed + chunks * cost: a least-squares line through the fixed-size runs.
    cost, _ = np.polyfit([TRIALS / size for size in sizes], processors, 1)
    trial = here / TRIALS
    print(f"a chunk costs {cost * 1e3:.2f} ms of processor time, a trial {trial * 1e6:.0f} us: "
          f"over 5 % below {cost / (0.05 * trial):.0f} trials ({cost / 0.05:.3f} s of work) a chunk")
    layouts = {"1 worker x 1 thread, pool of every core": (1, CORES),
               f"{CORES} workers x 1 thread, pool 1": (CORES, 1)}
    for name, (workers, pool_threads) in layouts.items():
        with cluster(workers, pool_threads) as local, Client(local) as client:
            client.wait_for_workers(workers)
            show(name, *best(client=client), here)


if __name__ == "__main__":
    main()
