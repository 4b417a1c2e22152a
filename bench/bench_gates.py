"""Gate application speed: time per gate, effective bandwidth against this machine's copy
bandwidth, and time against a plain vectorised NumPy implementation of the same gates.

Bandwidth counts 16 bytes per amplitude per gate (one complex64 read and one write); the copy
bandwidth is numpy.copyto of a 256 MiB array, counted the same way (read plus write). Every
figure is the median of several repeats, all measured in this run.
"""

from pathlib import Path

import numpy as np

import machine
import qelt_native
from circuits import mixed_gates
from peers import NUMPY_VERSIONS as PEERS
from timing import median_seconds

C64 = np.complex64
GATES_PER_CALL = 8
NATIVE_REPEATS = 5
NUMPY_REPEATS = 3
CASES = [  # (label, B, n)
    ("one row, 2^20", 1, 20),
    ("one row, 2^24", 1, 24),
    ("4096 rows, 2^10", 4096, 10),
    ("64 rows, 2^16", 64, 16),
]


def main():
    header = machine.describe(versions=f"qelt_native {qelt_native.__version__}") + [
        f"{GATES_PER_CALL} gates per call (alternating 1q/2q, random bits, shared matrices); "
        f"median of {NATIVE_REPEATS} native and {NUMPY_REPEATS} NumPy repeats",
    ]
    for line in header:
        print(line)

    copy_bw = machine.copy_bandwidth()
    print(f"copy bandwidth (numpy.copyto, 256 MiB, read+write): {copy_bw / 1e9:.2f} GB/s")
    print()

    columns = (
        f"{'case':<17}{'amps':>10}{'us/gate':>10}{'GB/s':>7}{'of copy':>8}"
        + "".join(f"{name + ' us/g':>12}" for name, _ in PEERS)
        + f"{'speed-up':>9}{'max |diff|':>11}"
    )
    rows = [columns, "-" * len(columns)]
    print(columns)
    print(rows[1])
    rng = np.random.default_rng(2024)
    for label, batch, n in CASES:
        amplitudes = batch << n
        gates = mixed_gates(rng, n, GATES_PER_CALL)
        psi = (
            rng.standard_normal((batch, 1 << n)) + 1j * rng.standard_normal((batch, 1 << n))
        ).astype(C64)
        psi /= np.float32(np.sqrt(1 << n))

        start_state = psi.copy()
        qelt_native.apply_gates(psi, gates)  # warm-up; starts the worker pool if needed
        peers, max_diff = [], 0.0
        for _, fn in PEERS:  # timed on the start state, so the first result checks the native one
            outputs = []
            peers.append(
                median_seconds(lambda: outputs.append(fn(start_state, gates)), NUMPY_REPEATS)
            )
            max_diff = max(max_diff, float(np.max(np.abs(outputs[0] - psi))))
            del outputs
        del start_state
        native = median_seconds(lambda: qelt_native.apply_gates(psi, gates), NATIVE_REPEATS)
        per_gate = native / GATES_PER_CALL
        bandwidth = 16 * amplitudes * GATES_PER_CALL / native
        line = (
            f"{label:<17}{amplitudes:>10}{per_gate * 1e6:>10.1f}{bandwidth / 1e9:>7.2f}"
            f"{bandwidth / copy_bw:>8.2f}"
            + "".join(f"{p / GATES_PER_CALL * 1e6:>12.1f}" for p in peers)
            + f"{min(peers) / native:>9.1f}{max_diff:>11.1e}"
        )
        rows.append(line)
        print(line, flush=True)
        del psi

    print()
    print("GB/s: 16 bytes per amplitude per gate; 'of copy': that over the copy bandwidth;")
    print("einsum, matmul: two plain complex64 NumPy versions of the same gates, per gate;")
    print("speed-up: the faster NumPy version's time over native; max |diff|: native vs NumPy.")

    out_dir = Path(__file__).resolve().parent / "results"
    out_dir.mkdir(exist_ok=True)
    text = "\n".join(header + [f"copy bandwidth: {copy_bw / 1e9:.2f} GB/s", ""] + rows) + "\n"
    (out_dir / "gates.txt").write_text(text)


if __name__ == "__main__":
    main()
