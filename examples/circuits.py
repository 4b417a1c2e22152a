"""Circuits with qelt_native.apply_gates: a batch of variational circuits, GHZ and the QFT.

Conventions used throughout: psi has shape (B, 2**n); qubit q (numbered from the most
significant end) lives at bit position n-1-q; a two-qubit gate on [b0, b1] takes b0 as the high
bit of its 4x4 matrix's local index, so for a controlled gate the control comes first.
"""

import math
import time

import numpy as np

import qelt_native

C64 = np.complex64
H = (np.array([[1, 1], [1, -1]]) / math.sqrt(2)).astype(C64)
CNOT = np.array([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0]], dtype=C64)
CZ = np.diag([1, 1, 1, -1]).astype(C64)
SWAP = np.array([[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]], dtype=C64)


def bit_of(qubit, n):
    return n - 1 - qubit


def ry_per_row(angles):
    """(B, 2, 2) rotations about Y, one angle per batch row."""
    c, s = np.cos(angles / 2), np.sin(angles / 2)
    m = np.empty((len(angles), 2, 2), dtype=C64)
    m[:, 0, 0], m[:, 0, 1], m[:, 1, 0], m[:, 1, 1] = c, -s, s, c
    return m


def controlled_phase(phi):
    return np.diag([1, 1, 1, np.exp(1j * phi)]).astype(C64)


def apply_numpy(psi, gates):
    """Plain complex128 NumPy model of the same gate list, for checking the native result."""
    batch, dim = psi.shape
    n = dim.bit_length() - 1
    t = psi.astype(np.complex128).reshape((batch,) + (2,) * n)
    for bits, m in gates:
        axes = [1 + (n - 1 - b) for b in bits]
        k = len(bits)
        moved = np.moveaxis(t, axes, list(range(n + 1 - k, n + 1)))
        shape = moved.shape
        flat = moved.reshape(batch, -1, 1 << k)
        m = np.asarray(m, dtype=np.complex128)
        if m.ndim == 2:
            flat = flat @ m.T
        else:
            flat = np.einsum("brc,bjc->bjr", m, flat)
        t = np.moveaxis(flat.reshape(shape), list(range(n + 1 - k, n + 1)), axes)
    return t.reshape(batch, dim)


def z0_expectation(psi):
    """<Z> of qubit 0, the most significant bit: +1 weight on the first half, -1 on the second."""
    half = psi.shape[1] // 2
    p = np.abs(psi.astype(np.complex128)) ** 2
    return p[:, :half].sum(axis=1) - p[:, half:].sum(axis=1)


def variational_batch(batch=256, n=12, layers=4, seed=7):
    print(f"(a) {batch} variational circuits on {n} qubits, {layers} layers")
    rng = np.random.default_rng(seed)
    gates = []
    for _ in range(layers):
        for q in range(n):  # each row its own rotation angle
            gates.append(([bit_of(q, n)], ry_per_row(rng.uniform(0, 2 * np.pi, batch))))
        for q in range(n - 1):  # shared entangling ladder
            gates.append(([bit_of(q, n), bit_of(q + 1, n)], CZ if q % 2 else CNOT))
    psi0 = np.zeros((batch, 1 << n), dtype=C64)
    psi0[:, 0] = 1

    times = []
    for _ in range(5):
        psi = psi0.copy()
        start = time.perf_counter()
        qelt_native.apply_gates(psi, gates)
        times.append(time.perf_counter() - start)
    elapsed = float(np.median(times))
    updates = batch * (1 << n) * len(gates)

    z0 = z0_expectation(psi)
    model = z0_expectation(apply_numpy(psi0, gates))
    for r in range(4):
        print(f"    row {r}: <Z_0> = {z0[r]:+.6f}   (complex128 NumPy model {model[r]:+.6f})")
    print(f"    largest |<Z_0> - model| over all rows: {np.max(np.abs(z0 - model)):.2e}")
    print(
        f"    {len(gates)} gates, {elapsed * 1e3:.2f} ms (median of 5): "
        f"{updates / elapsed / 1e9:.2f} G amplitude updates/s"
    )


def ghz(n=20):
    psi = np.zeros((1, 1 << n), dtype=C64)
    psi[0, 0] = 1
    gates = [([bit_of(0, n)], H)]
    gates += [([bit_of(q, n), bit_of(q + 1, n)], CNOT) for q in range(n - 1)]
    start = time.perf_counter()
    qelt_native.apply_gates(psi, gates)
    elapsed = time.perf_counter() - start
    expected = np.zeros(1 << n)
    expected[0] = expected[-1] = 1 / math.sqrt(2)
    deviation = np.max(np.abs(psi[0] - expected))
    print(f"(b) GHZ on {n} qubits: {len(gates)} gates in {elapsed * 1e3:.1f} ms")
    print(f"    amplitudes of |0...0> and |1...1>: {psi[0, 0]:.6f}, {psi[0, -1]:.6f}")
    print(f"    largest deviation from 1/sqrt(2) on both and 0 elsewhere: {deviation:.2e}")


def qft_gates(n):
    gates = []
    for q in range(n):
        gates.append(([bit_of(q, n)], H))
        for j in range(q + 1, n):
            # Phase 2*pi/2^(j-q+1) when qubits j (control) and q (target) are both 1.
            gates.append(
                ([bit_of(j, n), bit_of(q, n)], controlled_phase(2 * np.pi / 2 ** (j - q + 1)))
            )
    for q in range(n // 2):
        gates.append(([bit_of(q, n), bit_of(n - 1 - q, n)], SWAP))
    return gates


def qft(n=20, x=0b1011_0110_0101_1100_1001):
    dim = 1 << n
    psi = np.zeros((1, dim), dtype=C64)
    psi[0, x] = 1
    gates = qft_gates(n)
    start = time.perf_counter()
    qelt_native.apply_gates(psi, gates)
    elapsed = time.perf_counter() - start
    k = np.arange(dim, dtype=np.int64)
    phase = ((x * k) % dim).astype(np.float64) / dim  # reduced first: exact in float64
    expected = np.exp(2j * np.pi * phase) / math.sqrt(dim)
    deviation = np.max(np.abs(psi[0] - expected))
    print(f"    QFT of |{x}> on {n} qubits: {len(gates)} gates in {elapsed * 1e3:.1f} ms")
    print(
        f"    largest deviation from exp(2 pi i x k / N) / sqrt(N): {deviation:.2e} "
        f"(amplitude size {1 / math.sqrt(dim):.2e})"
    )


def main():
    variational_batch()
    ghz()
    qft()


if __name__ == "__main__":
    main()
