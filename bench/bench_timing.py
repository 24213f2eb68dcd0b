"""The timer of the bench scripts: the least wall time over several runs, the figure least disturbed by other
work on the machine."""

import time


def best_of(fn, trials, warm_up=False):
    """Least wall time in seconds of `trials` calls of `fn` (infinity for none); with `warm_up`, after one
    untimed call."""
    if warm_up:
        fn()
    best = float("inf")
    for _ in range(trials):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best
