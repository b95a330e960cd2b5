"""Timing helper shared by the benchmark scripts."""
import statistics
import time


def median_time(fn, runs=7, inner=1):
    """Median over `runs` of the mean seconds per call of `fn` over `inner` calls."""
    ts = []
    for _ in range(runs):
        t = time.perf_counter()
        for _ in range(inner):
            fn()
        ts.append((time.perf_counter() - t) / inner)
    return statistics.median(ts)
