"""The benchmark cases on two builds of the module side by side: the gate cases of
bench_gates.py and the sampling settings of bench_sample.py, each build's time and the second
build's time over the first's. (bench_round_trip.py --builds compares the fixed costs.)

    python bench/compare_builds.py NAME=DIR NAME=DIR [--rounds R]

Each DIR holds a qelt_native extension module (a build tree or an unpacked wheel). Every round
runs each build in a fresh interpreter, builds alternating, so both see the same machine state;
a build's figure is the median over rounds of its per-round medians. Ratios above 1.05 are
marked: there the second build is more than 5% slower.
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SLOWER_MARK = 1.05


def median_us(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e6


def measure(build_dir):
    """Child: times every case with the module in build_dir; prints one JSON object."""
    sys.path.insert(0, build_dir)
    sys.path.insert(1, HERE)
    import numpy as np

    import qelt_native
    from bench_gates import CASES, GATES_PER_CALL, NATIVE_REPEATS, mixed_gates
    from bench_sample import SETTINGS, SIZES

    out = {}
    rng = np.random.default_rng(2024)
    for label, batch, n in CASES:
        gates = mixed_gates(rng, n, GATES_PER_CALL)
        psi = (rng.standard_normal((batch, 1 << n)) + 0j).astype(np.complex64)
        qelt_native.apply_gates(psi, gates)
        per_call = median_us(lambda: qelt_native.apply_gates(psi, gates), NATIVE_REPEATS)
        out[f"gates {label} (us/gate)"] = per_call / GATES_PER_CALL
        del psi
    data_rng = np.random.default_rng(2024)
    for size in SIZES:
        logits = (data_rng.standard_normal(size) * 2.0).astype(np.float32)
        for label, temperature, top_p, top_k in SETTINGS:
            seeds = iter(range(10**9))
            out[f"sample V={size} {label}"] = median_us(
                lambda: qelt_native.sample_topp(logits, temperature, top_p, top_k, next(seeds)), 41)
    print(json.dumps(out))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("builds", nargs=2, metavar="NAME=DIR")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--measure", help=argparse.SUPPRESS)
    if "--measure" in sys.argv:
        return measure(sys.argv[sys.argv.index("--measure") + 1])
    args = parser.parse_args()
    builds = dict(b.split("=", 1) for b in args.builds)
    runs = {name: [] for name in builds}
    for _ in range(args.rounds):
        for name, directory in builds.items():
            child = subprocess.run(
                [sys.executable, __file__, "--measure", os.path.abspath(directory)],
                capture_output=True, text=True, check=True, timeout=1800,
            )
            runs[name].append(json.loads(child.stdout))
    first, second = builds
    print(f"machine: {platform.machine()}, load average at end "
          + ", ".join(f"{x:.2f}" for x in os.getloadavg()))
    print(f"{args.rounds} rounds, builds alternating in fresh interpreters; median of rounds (us)")
    head = f"{'case':<40}{first:>12}{second:>12}{'ratio':>8}"
    print(head)
    print("-" * len(head))
    slower = 0
    for case in runs[first][0]:
        a = statistics.median(r[case] for r in runs[first])
        b = statistics.median(r[case] for r in runs[second])
        mark = "  slower" if b / a > SLOWER_MARK else ""
        slower += bool(mark)
        print(f"{case:<40}{a:>12.2f}{b:>12.2f}{b / a:>8.2f}{mark}")
    print(f"ratio: {second} time over {first} time; {slower} case(s) above {SLOWER_MARK}")


if __name__ == "__main__":
    main()
