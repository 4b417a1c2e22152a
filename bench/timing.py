"""Timing helpers shared by the benchmark scripts. Imports neither the module nor any peer, so
that a parent process comparing builds can use it too."""

import statistics
import time


def median_seconds(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def median_us(fn, repeats):
    """Microseconds: the median of `repeats` calls after one warm-up call (first touch of
    buffers, lazy initialisation)."""
    fn()
    return median_seconds(fn, repeats) * 1e6


def per_call_us(fn, calls):
    """Microseconds per call over `calls` calls back to back."""
    start = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - start) / calls * 1e6


def median_per_call_us(fn, calls, repeats=7):
    """The median over `repeats` runs of per_call_us, after one warm-up call."""
    fn()
    return statistics.median(per_call_us(fn, calls) for _ in range(repeats))


class EngineRun:
    """What a run returns when the engine times itself: its result (an array, or a function
    that reads it back) and the engine's own seconds, used in place of the wall time."""

    def __init__(self, result, seconds):
        self.result, self.seconds = result, seconds


def timed_samples(fn, repeats):
    """The result of a first run and the times of the runs after it: `repeats` of them, or two
    when the first took longer than two seconds, at least seven when it took less than 0.2, at
    least 25 under 10 ms. A run that returns an EngineRun is timed by the engine's own figure; a
    result that is callable is the read-back, called once, outside the timing."""

    def timed():
        start = time.perf_counter()
        out = fn()
        seconds = time.perf_counter() - start
        if isinstance(out, EngineRun):
            return out.result, out.seconds
        return out, seconds

    result, first = timed()
    if callable(result):
        result = result()
    if first > 2.0:
        repeats = min(repeats, 2)
    elif first < 0.01:
        repeats = max(repeats, 25)
    elif first < 0.2:
        repeats = max(repeats, 7)  # short runs are noisier
    return result, [timed()[1] for _ in range(repeats)]
