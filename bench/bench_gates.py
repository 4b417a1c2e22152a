"""Gate application speed: time per gate, effective bandwidth against this machine's copy
bandwidth, and time against a plain vectorised NumPy implementation of the same gates.

Bandwidth counts 16 bytes per amplitude per gate (one complex64 read and one write); the copy
bandwidth is numpy.copyto of a 256 MiB array, counted the same way (read plus write). Every
figure is the median of several repeats, all measured in this run.
"""

import os
import platform
import statistics
import time
from pathlib import Path

import numpy as np

import qelt_native

C64 = np.complex64
GATES_PER_CALL = 12
NATIVE_REPEATS = 5
NUMPY_REPEATS = 3
COPY_BYTES = 256 << 20
CASES = [  # (label, B, n)
    ("one row, 2^20", 1, 20),
    ("one row, 2^24", 1, 24),
    ("4096 rows, 2^10", 4096, 10),
    ("64 rows, 2^16", 64, 16),
]


def cpu_description():
    model, flags = platform.processor() or "unknown CPU", set()
    try:
        with open("/proc/cpuinfo") as f:
            info = dict(line.split(":", 1) for line in f.read().split("\n\n")[0].splitlines())
        info = {k.strip(): v.strip() for k, v in info.items()}
        model = info.get("model name", model)
        flags = set(info.get("flags", "").split())
    except (OSError, ValueError):
        pass
    return model, flags


def worker_description():
    env = os.environ.get("RAYON_NUM_THREADS")
    try:
        usable = len(os.sched_getaffinity(0))
    except AttributeError:
        usable = os.cpu_count()
    if env:
        return f"RAYON_NUM_THREADS={env} (cpu_count {os.cpu_count()}, usable {usable})"
    return f"default: cpu_count {os.cpu_count()}, usable {usable} (RAYON_NUM_THREADS unset)"


def random_unitary(rng, d):
    z = rng.standard_normal((d, d)) + 1j * rng.standard_normal((d, d))
    q, r = np.linalg.qr(z)
    return (q * (np.diag(r) / np.abs(np.diag(r)))).astype(C64)


def mixed_gates(rng, n, count):
    """Alternating one- and two-qubit gates on random bits, both pair orders."""
    gates = []
    for i in range(count):
        k = 1 if i % 2 == 0 else 2
        bits = [int(b) for b in rng.choice(n, size=k, replace=False)]
        gates.append((bits, random_unitary(rng, 1 << k)))
    return gates


def numpy_apply(psi, gates):
    """What a user would write: view the row as an n-axis tensor, move the gate's axes last,
    multiply by the matrix in complex64, move them back. Returns a new array."""
    batch, dim = psi.shape
    n = dim.bit_length() - 1
    t = psi.reshape((batch,) + (2,) * n)
    for bits, m in gates:
        k = len(bits)
        axes = [1 + (n - 1 - b) for b in bits]
        last = list(range(n + 1 - k, n + 1))
        moved = np.moveaxis(t, axes, last)
        shape = moved.shape
        out = moved.reshape(-1, 1 << k) @ m.T
        t = np.moveaxis(out.reshape(shape), last, axes)
    return np.ascontiguousarray(t).reshape(batch, dim)


def median_seconds(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def copy_bandwidth():
    src = np.ones(COPY_BYTES // 8, dtype=C64)
    dst = np.empty_like(src)
    np.copyto(dst, src)
    seconds = median_seconds(lambda: np.copyto(dst, src), 7)
    return 2 * COPY_BYTES / seconds


def main():
    model, flags = cpu_description()
    isa = ", ".join(f"{f}: {'yes' if f in flags else 'no'}" for f in ("avx2", "fma", "avx512f"))
    header = [
        f"machine: {platform.node()} {platform.machine()}, {model}",
        f"CPU flags: {isa}",
        f"workers: {worker_description()}",
        f"python {platform.python_version()}, numpy {np.__version__}, "
        f"qelt_native {qelt_native.__version__}",
        f"{GATES_PER_CALL} gates per call (alternating 1q/2q, random bits, shared matrices); "
        f"median of {NATIVE_REPEATS} native and {NUMPY_REPEATS} NumPy repeats",
    ]
    for line in header:
        print(line)

    copy_bw = copy_bandwidth()
    print(f"copy bandwidth (numpy.copyto, 256 MiB, read+write): {copy_bw / 1e9:.2f} GB/s")
    print()

    columns = (
        f"{'case':<18}{'amplitudes':>12}{'us/gate':>11}{'GB/s':>8}{'of copy':>9}"
        f"{'numpy us/gate':>15}{'speed-up':>10}{'max |diff|':>12}"
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
        check = numpy_apply(start_state, gates)
        max_diff = float(np.max(np.abs(check - psi))) if amplitudes else 0.0
        del check, start_state

        native = median_seconds(lambda: qelt_native.apply_gates(psi, gates), NATIVE_REPEATS)
        peer = median_seconds(lambda: numpy_apply(psi, gates), NUMPY_REPEATS)
        per_gate = native / GATES_PER_CALL
        bandwidth = 16 * amplitudes * GATES_PER_CALL / native
        line = (
            f"{label:<18}{amplitudes:>12}{per_gate * 1e6:>11.1f}{bandwidth / 1e9:>8.2f}"
            f"{bandwidth / copy_bw:>9.2f}{peer / GATES_PER_CALL * 1e6:>15.1f}"
            f"{peer / native:>10.1f}{max_diff:>12.1e}"
        )
        rows.append(line)
        print(line, flush=True)
        del psi

    print()
    print("GB/s: 16 bytes per amplitude per gate; 'of copy': that over the copy bandwidth;")
    print("speed-up: NumPy time over native time for the same gates; max |diff|: native vs NumPy.")

    out_dir = Path(__file__).resolve().parent / "results"
    out_dir.mkdir(exist_ok=True)
    text = "\n".join(header + [f"copy bandwidth: {copy_bw / 1e9:.2f} GB/s", ""] + rows) + "\n"
    (out_dir / "gates.txt").write_text(text)


if __name__ == "__main__":
    main()
