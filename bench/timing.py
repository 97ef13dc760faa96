"""The one timing rule of the benchmarks: the best of a few repeats."""
import time


def best_time(fn, repeats, clock=time.perf_counter):
    """The shortest of `repeats` calls of `fn`, in seconds of `clock`."""
    best = float("inf")
    for _ in range(repeats):
        start = clock()
        fn()
        best = min(best, clock() - start)
    return best
