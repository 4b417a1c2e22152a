"""Fixed costs of the worker pool and the arg-max scan: the smallest call that goes through the
pool (back to back, and after the workers have fallen asleep), the serial route beside it,
sample_topp's arg-max beside numpy.argmax, and a mid-size single-row circuit as a check that
the in-row route did not get slower.

    python bench/bench_round_trip.py                  # the qelt_native found on sys.path
    python bench/bench_round_trip.py --builds A B     # directories holding builds, compared

With --builds, every round runs each build in a fresh subprocess, builds alternating, so the
builds see the same machine state; the table gives the median over rounds of each build's
median, and each build's figure over the first build's.
"""

import argparse
import json
import os
import statistics
import time

import numpy as np

import machine
from circuits import ladder_circuit, random_unitary
from orchestration import child_environment, run_json_child
from timing import median_us, per_call_us

C64 = np.complex64
CALLS_PER_BATCH = 2000
BATCHES = 7
SLEEP_SAMPLES = 7
ARGMAX_SIZES = [128_000, 256_000]
ARGMAX_REPEATS = 301
CIRCUIT_BITS, CIRCUIT_LAYERS, CIRCUIT_REPEATS = 16, 10, 15


def measure():
    """One build's figures, in microseconds."""
    import qelt_native

    rng = np.random.default_rng(7)
    gate = [([0], random_unitary(rng, 2))]
    pooled = np.zeros((2, 4), C64)
    serial = np.zeros((1, 4), C64)
    results = {}
    for label, psi in (("pool call, back to back", pooled), ("serial call", serial)):
        qelt_native.apply_gates(psi, gate)
        results[label] = statistics.median(
            per_call_us(lambda: qelt_native.apply_gates(psi, gate), CALLS_PER_BATCH)
            for _ in range(BATCHES)
        )
    asleep = []
    for _ in range(SLEEP_SAMPLES):
        time.sleep(1.0)
        asleep.append(per_call_us(lambda: qelt_native.apply_gates(pooled, gate), 1))
    results["pool call, workers asleep"] = statistics.median(asleep)

    for size in ARGMAX_SIZES:
        logits = (2.0 * rng.standard_normal(size)).astype(np.float32)
        results[f"arg-max {size}"] = median_us(
            lambda: qelt_native.sample_topp(logits, 0.0, 1.0), ARGMAX_REPEATS
        )
        results[f"numpy.argmax {size}"] = median_us(lambda: np.argmax(logits), ARGMAX_REPEATS)

    n = CIRCUIT_BITS
    gates = ladder_circuit(rng, n, CIRCUIT_LAYERS)
    psi = np.zeros((1, 1 << n), C64)
    psi[0, 0] = 1
    results[f"circuit 2^{n}, {len(gates)} gates"] = median_us(
        lambda: qelt_native.apply_gates(psi, gates), CIRCUIT_REPEATS
    )
    return results


def compare(builds, rounds):
    if len(set(builds)) != len(builds):
        raise SystemExit("--builds: name each build once")
    runs = {build: [] for build in builds}
    for _ in range(rounds):
        for build in builds:
            runs[build].append(run_json_child([__file__, "--json"],
                                              child_environment(PYTHONPATH=build)))
    labels = list(runs[builds[0]][0])
    medians = {b: {k: statistics.median(r[k] for r in runs[b]) for k in labels} for b in builds}
    print(f"median over {rounds} rounds (builds alternating) of each round's median, us")
    head = f"{'case':<30}" + "".join(f"{os.path.basename(b.rstrip('/'))[:14]:>15}" for b in builds)
    head += "".join(f"{'ratio ' + str(i):>10}" for i in range(1, len(builds)))
    print(head)
    print("-" * len(head))
    for k in labels:
        base = medians[builds[0]][k]
        line = f"{k:<30}" + "".join(f"{medians[b][k]:>15.2f}" for b in builds)
        line += "".join(f"{medians[b][k] / base:>10.2f}" for b in builds[1:])
        print(line)
    print("ratio i: build i's figure over the first build's")
    for b in builds:
        for size in ARGMAX_SIZES:
            ratio = medians[b][f"arg-max {size}"] / medians[b][f"numpy.argmax {size}"]
            print(f"{os.path.basename(b.rstrip('/'))}: arg-max over numpy.argmax at {size}: "
                  f"{ratio:.2f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--builds", nargs="+", help="directories holding qelt_native builds")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--json", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.json:
        print(json.dumps(measure()))
        return
    print("\n".join(machine.describe()))
    if args.builds:
        compare([os.path.abspath(b) for b in args.builds], args.rounds)
        return
    results = measure()
    for k, v in results.items():
        print(f"{k:<30}{v:>10.2f} us")
    for size in ARGMAX_SIZES:
        ratio = results[f"arg-max {size}"] / results[f"numpy.argmax {size}"]
        print(f"arg-max over numpy.argmax at {size}: {ratio:.2f}")


if __name__ == "__main__":
    main()
