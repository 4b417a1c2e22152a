"""Timing helpers and the random gates shared by the benchmark scripts. Imports neither the
module nor any peer, so that a parent process comparing builds can use it too."""

import statistics
import time

import numpy as np


def random_unitary(rng, d):
    """A random d x d unitary (QR of a complex Gaussian matrix, phases fixed), as complex64."""
    z = rng.standard_normal((d, d)) + 1j * rng.standard_normal((d, d))
    q, r = np.linalg.qr(z)
    return (q * (np.diag(r) / np.abs(np.diag(r)))).astype(np.complex64)


def ladder_circuit(rng, n, layers):
    """`layers` layers of a random one-qubit unitary on every bit, then random two-qubit
    unitaries on every neighbour pair (b + 1, b)."""
    gates = []
    for _ in range(layers):
        gates += [([b], random_unitary(rng, 2)) for b in range(n)]
        gates += [([b + 1, b], random_unitary(rng, 4)) for b in range(n - 1)]
    return gates


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
