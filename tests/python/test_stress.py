"""Concurrency stress: eight Python threads calling both functions at once, for a bounded time.

Six threads each cycle through their own workloads: apply_gates on every route (row-parallel
with B >= 2, in-row parallel with one long row, serial with one short row), sample_topp on both
paths, and calls that must fail (bad gates, dtype errors, borrow conflicts, empty logits). Every
result is compared bit for bit with a serial run made before the threads start, and every failed
call must leave its array unchanged and its borrows released. The gate matrices are shared by all
threads, so their read-only borrows are counted up and down concurrently.

The other two threads contend for one statevector: each round both apply their own gate list to
it at once. A call may lose the borrow and raise PanicException ending in AlreadyBorrowed; the
array must then hold exactly one of the serial outcomes: the winner's list alone, or both lists
applied one after the other in either order. A torn or mixed result fails the test.

QELT_STRESS_SECONDS sets the duration (default 3 seconds).
"""

import collections
import os
import threading
import time

import numpy as np
import pytest

from helpers import random_state, same_bits
from panic_class import PanicException
from qelt_native import apply_gates, sample_topp

DURATION = float(os.environ.get("QELT_STRESS_SECONDS", "3"))
MIXING_THREADS = 6


def random_matrix(rng, d, batch=None):
    shape = (d, d) if batch is None else (batch, d, d)
    z = (rng.standard_normal(shape) + 1j * rng.standard_normal(shape)) / np.sqrt(2 * d)
    return z.astype(np.complex64)


def random_gates(rng, batch, n, count, shared):
    """A gate list mixing one- and two-qubit gates; shared matrices come from `shared`."""
    gates = []
    for i in range(count):
        k = 1 if n < 2 else 1 + i % 2
        bits = [int(b) for b in rng.choice(n, size=k, replace=False)]
        if i % 3 == 2:
            matrix = random_matrix(rng, 1 << k, batch)  # per-row, owned by this workload
        else:
            matrix = shared[k]
        gates.append((bits, matrix))
    return gates


def make_gate_workloads(rng, shared):
    """(route, initial psi, gates, expected psi) for the three routes, expected by a serial run."""
    shapes = [("row-parallel", 4, 10), ("in-row", 1, 15), ("serial", 1, 6), ("row-parallel", 2, 3)]
    workloads = []
    for route, batch, n in shapes:
        psi0 = random_state(rng, batch, n)
        gates = random_gates(rng, batch, n, 6, shared)
        expected = psi0.copy()
        apply_gates(expected, gates)
        workloads.append((route, psi0, gates, expected))
    return workloads


def make_sample_workloads(rng):
    """(logits, kwargs, expected token) on the arg-max path and the sampling path."""
    workloads = []
    for size in (1, 7, 50, 4096):
        logits = rng.standard_normal(size).astype(np.float32)
        for kwargs in (
            dict(temperature=0.0, top_p=1.0),
            dict(temperature=0.7, top_p=0.9, seed=int(rng.integers(2**63))),
            dict(temperature=1.3, top_p=1.0, top_k=5, seed=3),
        ):
            workloads.append((logits, kwargs, sample_topp(logits, **kwargs)))
    return workloads


class Mixer:
    """One mixing thread's loop: its own arrays, shared matrices, checks after every call."""

    def __init__(self, index, gate_workloads, sample_workloads, deadline, counts):
        self.index = index
        self.gate_workloads = [(r, p.copy(), p, g, e) for r, p, g, e in gate_workloads]
        self.sample_workloads = sample_workloads
        self.deadline = deadline
        self.counts = counts

    def count(self, what):
        self.counts[what] += 1  # one Counter per thread, merged at the end

    def run_gates(self, step):
        route, psi, psi0, gates, expected = self.gate_workloads[step % len(self.gate_workloads)]
        psi[...] = psi0
        assert apply_gates(psi, gates) is None
        assert same_bits(psi, expected), f"{route} result differs from the serial run"
        self.count(f"apply_gates {route}")

    def run_sample(self, step):
        logits, kwargs, expected = self.sample_workloads[step % len(self.sample_workloads)]
        assert sample_topp(logits, **kwargs) == expected
        self.count("sample_topp")

    def run_failure(self, step):
        _, psi, psi0, gates, _ = self.gate_workloads[step % len(self.gate_workloads)]
        psi[...] = psi0
        n = psi.shape[1].bit_length() - 1
        kind = step % 5
        if kind == 0:
            bad = gates[:3] + [([n], gates[0][1])]
            with pytest.raises(ValueError, match=r"^gate bit \[\d+\] out of range"):
                apply_gates(psi, bad)
        elif kind == 1:
            with pytest.raises(PanicException, match="AlreadyBorrowed$"):
                apply_gates(psi, gates[:2] + [([0], psi)])
        elif kind == 2:
            with pytest.raises(TypeError, match="^argument 'gates': "):
                apply_gates(psi, gates[:2] + [([0], gates[0][1].astype(np.complex128))])
        elif kind == 3:
            with pytest.raises(ValueError, match="^empty logits$"):
                sample_topp(np.zeros(0, np.float32), 1.0, 1.0)
        else:
            with pytest.raises(OverflowError):
                sample_topp(self.sample_workloads[0][0], 1.0, 1.0, seed=-1)
        assert same_bits(psi, psi0), "a failed call changed psi"
        self.count("failed calls")

    def __call__(self):
        step = self.index
        actions = (self.run_gates, self.run_sample, self.run_gates, self.run_failure)
        while time.monotonic() < self.deadline:
            actions[step % len(actions)](step // len(actions))
            step += 1


class Contest:
    """Two threads applying their own gate lists to one shared psi at the same moment."""

    def __init__(self, rng, shared, deadline):
        self.psi0 = random_state(rng, 2, 12)
        self.psi = self.psi0.copy()
        self.gates = [random_gates(rng, 2, 12, 4, shared) for _ in range(2)]
        self.alone = []
        for gates in self.gates:
            out = self.psi0.copy()
            apply_gates(out, gates)
            self.alone.append(out)
        self.both = []
        for first, second in ((0, 1), (1, 0)):
            out = self.alone[first].copy()
            apply_gates(out, self.gates[second])
            self.both.append(out)
        self.deadline = deadline
        self.barrier = threading.Barrier(2)
        self.won = [False, False]
        self.stop = False
        self.outcomes = collections.Counter()

    def check_round(self):
        won = tuple(self.won)
        assert any(won), "both calls lost the borrow: one of them must have held it"
        if all(won):
            assert any(same_bits(self.psi, b) for b in self.both), "torn result after two calls"
            self.outcomes["both applied"] += 1
        else:
            winner = won.index(True)
            assert same_bits(self.psi, self.alone[winner]), "torn result after one call"
            self.outcomes["one lost the borrow"] += 1

    def player(self, me):
        while True:
            if me == 0:
                self.stop = time.monotonic() >= self.deadline
                self.psi[...] = self.psi0
            self.barrier.wait(timeout=60)
            if self.stop:
                return
            try:
                apply_gates(self.psi, self.gates[me])
                self.won[me] = True
            except PanicException as error:
                assert str(error).endswith("AlreadyBorrowed"), str(error)
                self.won[me] = False
            self.barrier.wait(timeout=60)
            if me == 0:
                self.check_round()

    def abort(self):
        self.barrier.abort()


def run_stress(duration):
    """Runs the eight threads for `duration` seconds; returns the call counts and the contest's
    outcomes. Raises the first failure of any thread."""
    rng = np.random.default_rng(2024)
    shared = {k: random_matrix(rng, 1 << k) for k in (1, 2)}
    gate_workloads = make_gate_workloads(rng, shared)
    sample_workloads = make_sample_workloads(rng)
    deadline = time.monotonic() + duration
    counters = [collections.Counter() for _ in range(MIXING_THREADS)]
    mixers = [
        Mixer(i, gate_workloads, sample_workloads, deadline, counters[i])
        for i in range(MIXING_THREADS)
    ]
    contest = Contest(rng, shared, deadline)
    failures = []

    def guarded(body):
        def run():
            try:
                body()
            except BaseException as error:  # noqa: B036 - report everything, PanicException too
                failures.append(error)
                contest.abort()

        return run

    threads = [threading.Thread(target=guarded(m)) for m in mixers]
    threads += [threading.Thread(target=guarded(lambda me=me: contest.player(me))) for me in (0, 1)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=90 + 2 * duration)
    assert not any(thread.is_alive() for thread in threads), "a stress thread hangs"
    real = [f for f in failures if not isinstance(f, threading.BrokenBarrierError)]
    if real or failures:
        raise (real or failures)[0]

    totals = sum(counters, collections.Counter())
    for route in ("row-parallel", "in-row", "serial"):
        assert totals[f"apply_gates {route}"] > 0
    assert totals["sample_topp"] > 0 and totals["failed calls"] > 0
    assert sum(contest.outcomes.values()) > 0

    # No borrow is left behind by any thread: every array can be written again.
    for _, psi0, gates, expected in gate_workloads:
        psi = psi0.copy()
        apply_gates(psi, gates)
        assert same_bits(psi, expected)
    for matrix in shared.values():
        apply_gates(matrix.reshape(1, -1), [])
    apply_gates(contest.psi, [])
    return totals, contest.outcomes


@pytest.mark.timeout(120 + 2 * DURATION)
def test_eight_threads_mixing_calls_match_serial_runs():
    totals, outcomes = run_stress(DURATION)
    print(f"\nstress {DURATION:.1f} s, 8 threads: {dict(totals)}, contest {dict(outcomes)}")


@pytest.mark.timeout(300)
@pytest.mark.parametrize("workers", ["1", "7"])
def test_stress_with_other_worker_counts(run_python, workers):
    # One worker serialises every parallel route; seven on a small machine preempt each other.
    code = f"""
        import sys
        sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
        import test_stress
        totals, outcomes = test_stress.run_stress({DURATION / 2})
        print(sum(totals.values()), sum(outcomes.values()))
        """
    result = run_python(code, env={"RAYON_NUM_THREADS": workers}, timeout=240)
    assert result.returncode == 0, result.stderr[-3000:]
    calls, rounds = map(int, result.stdout.split())
    assert calls > 0 and rounds > 0
