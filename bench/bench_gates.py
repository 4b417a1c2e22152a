"""Gate application speed: time per gate, effective bandwidth against this machine's copy
bandwidth, and time against a plain vectorised NumPy implementation of the same gates.

Bandwidth counts 16 bytes per amplitude per gate (one complex64 read and one write); the copy
bandwidth is numpy.copyto of a 256 MiB array, counted the same way (read plus write). Every
figure is the median of several repeats, all measured in this run.
"""

import os
import platform
from pathlib import Path

import numpy as np

import qelt_native
from timing import median_seconds, random_unitary

C64 = np.complex64
GATES_PER_CALL = 8
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


def mixed_gates(rng, n, count):
    """Alternating one- and two-qubit gates on random bits, both pair orders."""
    gates = []
    for i in range(count):
        k = 1 if i % 2 == 0 else 2
        bits = [int(b) for b in rng.choice(n, size=k, replace=False)]
        gates.append((bits, random_unitary(rng, 1 << k)))
    return gates


def numpy_einsum_apply(psi, gates):
    """A user's NumPy version: reshape the batch so that the gate's bits become axes of their
    own and contract them with the matrix by einsum, in complex64. Returns a new array."""
    batch, dim = psi.shape
    for bits, m in gates:
        if len(bits) == 1:
            v = psi.reshape(-1, 2, 1 << bits[0])
            psi = np.einsum("rc,acl->arl", m, v)
        else:
            hi, lo = max(bits), min(bits)
            v = psi.reshape(-1, 2, 1 << (hi - lo - 1), 2, 1 << lo)
            t = m.reshape(2, 2, 2, 2)  # [out b0, out b1, in b0, in b1]
            if bits[0] == hi:
                psi = np.einsum("pqst,asmtl->apmql", t, v)
            else:
                psi = np.einsum("pqst,atmsl->aqmpl", t, v)
    return psi.reshape(batch, dim)


def numpy_matmul_apply(psi, gates):
    """Another user's NumPy version: view each row as an n-axis tensor, move the gate's axes
    last, multiply by the transposed matrix, move them back. Returns a new array."""
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


PEERS = [("einsum", numpy_einsum_apply), ("matmul", numpy_matmul_apply)]


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
        f"workers: {worker_description()}; load average at start "
        + ", ".join(f"{x:.2f}" for x in os.getloadavg()),
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
