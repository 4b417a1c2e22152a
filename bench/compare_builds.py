"""The benchmark cases on two builds of the module side by side: the gate cases of
bench_gates.py and the sampling settings of bench_sample.py, each build's time and the second
build's time over the first's, and the fixed costs of bench_round_trip.py (smallest calls, a
mid-size circuit on the in-row route).

    python bench/compare_builds.py NAME=DIR NAME=DIR [--rounds R]

Each DIR holds a qelt_native extension module (a build tree or an unpacked wheel). Both builds
are loaded into one interpreter (two shared objects, each with its own statics and worker pool),
and every case alternates between them call by call, so that the machine's changing load falls
on both alike; on a shared machine, separate processes measured minutes apart differ by more
than the builds do. A case's ratio is the median over all call pairs of the second build's time
over the first's; each round is a fresh interpreter, and the table gives the median over rounds.
Ratios above 1.05 are marked: there the second build is more than 5% slower.
"""

import argparse
import importlib.util
import json
import os
import statistics
import sys
import time
from pathlib import Path

import machine
from orchestration import run_json_child

HERE = os.path.dirname(os.path.abspath(__file__))
SLOWER_MARK = 1.05
GATE_PAIRS = 20  # call pairs per gate case
SAMPLE_PAIRS = 41  # call pairs per sampling case


def load_build(directory):
    """The extension module in `directory`, loaded under its own name without taking the place
    of another copy already loaded."""
    path = next(Path(directory).glob("qelt_native*.so"))
    spec = importlib.util.spec_from_file_location("qelt_native", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    sys.modules.pop("qelt_native", None)
    return module


def paired_times(modules, call, pairs):
    """Per module (two), the times of `pairs` calls, the modules taking turns call by call."""
    times = [[] for _ in modules]
    for module in modules:
        call(module)  # warm-up; starts the module's worker pool
    for i in range(pairs):
        # Which build goes first alternates, so that neither always follows the other.
        for k in (0, 1) if i % 2 == 0 else (1, 0):
            start = time.perf_counter()
            call(modules[k])
            times[k].append(time.perf_counter() - start)
    return times


def measure(directories):
    """Child: every case on both builds; prints per case the two median times (us) and the
    median ratio of the pairs."""
    sys.path.insert(0, HERE)
    import numpy as np

    modules = [load_build(d) for d in directories]
    sys.modules["qelt_native"] = modules[0]  # the benchmark scripts import it by name
    from bench_gates import CASES, GATES_PER_CALL
    from bench_sample import SETTINGS, SIZES
    from circuits import ladder_circuit, mixed_gates, random_unitary

    out = {}

    def record(label, times, scale):
        ratios = [b / a for a, b in zip(*times)]
        out[label] = [statistics.median(times[0]) * scale, statistics.median(times[1]) * scale,
                      statistics.median(ratios)]

    rng = np.random.default_rng(2024)
    for label, batch, n in CASES:
        gates = mixed_gates(rng, n, GATES_PER_CALL)
        psi = (rng.standard_normal((batch, 1 << n)) + 0j).astype(np.complex64)
        pairs = 4 if n >= 24 else GATE_PAIRS
        times = paired_times(modules, lambda m: m.apply_gates(psi, gates), pairs)
        record(f"gates {label} (us/gate)", times, 1e6 / GATES_PER_CALL)
        del psi
    # The fixed costs: the smallest pool call and serial call (per call, 200 calls a sample),
    # and a mid-size single-row circuit on the in-row route.
    gate = [([0], random_unitary(rng, 2))]
    for label, rows in (("smallest pool call (2, 4)", 2), ("smallest serial call (1, 4)", 1)):
        psi = np.zeros((rows, 4), np.complex64)
        times = paired_times(
            modules, lambda m: [m.apply_gates(psi, gate) for _ in range(200)], SAMPLE_PAIRS)
        record(label, times, 1e6 / 200)
    n = 16
    circuit = ladder_circuit(rng, n, 10)
    psi = (rng.standard_normal((1, 1 << n)) + 0j).astype(np.complex64)
    times = paired_times(modules, lambda m: m.apply_gates(psi, circuit), GATE_PAIRS)
    record("layered circuit, one row 2^16 (us/gate)", times, 1e6 / len(circuit))
    data_rng = np.random.default_rng(2024)
    for size in SIZES:
        logits = (data_rng.standard_normal(size) * 2.0).astype(np.float32)
        for label, temperature, top_p, top_k in SETTINGS:
            times = paired_times(
                modules, lambda m: m.sample_topp(logits, temperature, top_p, top_k, 7), SAMPLE_PAIRS)
            record(f"sample V={size} {label}", times, 1e6)
    print(json.dumps(out))


def main():
    if "--measure" in sys.argv:
        return measure(sys.argv[sys.argv.index("--measure") + 1:])
    parser = argparse.ArgumentParser()
    parser.add_argument("builds", nargs=2, metavar="NAME=DIR")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    names, directories = zip(*(b.split("=", 1) for b in args.builds))
    header = machine.describe()
    rounds = []
    for _ in range(args.rounds):
        rounds.append(run_json_child([__file__, "--measure", *map(os.path.abspath, directories)]))
    first, second = names
    print("\n".join(header) + f"\nload average at end: {machine.load_average()}")
    print(f"{args.rounds} rounds (fresh interpreters), both builds loaded in each and taking turns"
          " call by call; median of rounds")
    head = f"{'case':<40}{first + ' us':>12}{second + ' us':>12}{'ratio':>8}"
    print(head)
    print("-" * len(head))
    slower = 0
    for case in rounds[0]:
        a, b, ratio = (statistics.median(r[case][k] for r in rounds) for k in range(3))
        mark = "  slower" if ratio > SLOWER_MARK else ""
        slower += bool(mark)
        print(f"{case:<40}{a:>12.2f}{b:>12.2f}{ratio:>8.2f}{mark}")
    print(f"ratio: median over call pairs of {second}'s time over {first}'s; "
          f"{slower} case(s) above {SLOWER_MARK}")


if __name__ == "__main__":
    main()
