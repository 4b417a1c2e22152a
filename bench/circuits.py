"""The gate lists and start states the benchmark scripts time, built from fixed seeds in the
module's convention: a gate is (bits, matrix), its first listed bit the high bit of the matrix
index; a (B, d, d) matrix holds one matrix per row."""

import math

import numpy as np

C64 = np.complex64
CNOT = np.array([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0]], C64)
HADAMARD = (np.array([[1, 1], [1, -1]]) / np.sqrt(2)).astype(C64)
LAYERS = 10  # of the report's layered circuit
BATCH_LAYERS = 2  # of the report's batch circuit


def random_unitary(rng, d):
    """A random d x d unitary (QR of a complex Gaussian matrix, phases fixed), as complex64."""
    z = rng.standard_normal((d, d)) + 1j * rng.standard_normal((d, d))
    q, r = np.linalg.qr(z)
    return (q * (np.diag(r) / np.abs(np.diag(r)))).astype(C64)


def ladder_circuit(rng, n, layers):
    """`layers` layers of a random one-qubit unitary on every bit, then random two-qubit
    unitaries on every neighbour pair (b + 1, b)."""
    gates = []
    for _ in range(layers):
        gates += [([b], random_unitary(rng, 2)) for b in range(n)]
        gates += [([b + 1, b], random_unitary(rng, 4)) for b in range(n - 1)]
    return gates


def mixed_gates(rng, n, count):
    """Alternating one- and two-qubit random unitaries on random bits, both pair orders."""
    gates = []
    for i in range(count):
        k = 1 + i % 2
        bits = [int(b) for b in rng.choice(n, size=k, replace=False)]
        gates.append((bits, random_unitary(rng, 1 << k)))
    return gates


def ry_matrices(angles):
    """RY(t) = exp(-i t Y / 2) for each angle, as (len, 2, 2) complex64."""
    c, s = np.cos(angles / 2), np.sin(angles / 2)
    return np.stack([np.stack([c, -s], -1), np.stack([s, c], -1)], -2).astype(C64)


def brickwork_pairs(n, layer):
    """The neighbour pairs of one brickwork layer: (b+1, b) from bit 0 on even layers, from bit
    1 on odd ones."""
    return [(b + 1, b) for b in range(layer % 2, n - 1, 2)]


def layer_gate_count(n, layers):
    return sum(n + len(brickwork_pairs(n, layer)) for layer in range(layers))


def build_case(batch, n, kind):
    """Start state (B, 2^n) of unit rows, the gate list and, per gate, its name as a user of a
    simulator would write it: ("ry", per-row angles), ("cnot", None) or ("unitary", None).
    Kinds: "1q" a random one-qubit unitary on every bit, "2q" n random two-qubit unitaries on
    random pairs, "layers" LAYERS brickwork layers (a random one-qubit unitary on every bit, then
    random two-qubit unitaries on alternating neighbour pairs), "batch" BATCH_LAYERS layers of
    per-row RY rotations on every bit and a shared CNOT ladder."""
    rng = np.random.default_rng(1000 * n + batch)
    dim = 1 << n
    psi = np.empty((batch, dim), C64)
    for r in range(batch):
        row = rng.standard_normal(dim) + 1j * rng.standard_normal(dim)
        psi[r] = row / np.linalg.norm(row)
    gates, names = [], []
    if kind == "1q":
        gates = [([b], random_unitary(rng, 2)) for b in range(n)]
    elif kind == "2q":
        for _ in range(n):
            bits = [int(b) for b in rng.choice(n, size=2, replace=False)]
            gates.append((bits, random_unitary(rng, 4)))
    elif kind == "layers":
        for layer in range(LAYERS):
            gates += [([b], random_unitary(rng, 2)) for b in range(n)]
            gates += [([hi, lo], random_unitary(rng, 4)) for hi, lo in brickwork_pairs(n, layer)]
    else:
        for _ in range(BATCH_LAYERS):
            for b in range(n):
                theta = rng.uniform(0, 2 * math.pi, batch)
                gates.append(([b], ry_matrices(theta)))
                names.append(("ry", theta))
            for b in range(n - 1):  # CNOT controlled by bit b+1 (the high bit), target bit b
                gates.append(([b + 1, b], CNOT))
                names.append(("cnot", None))
    return psi, gates, names or [("unitary", None)] * len(gates)


def row_gates(gates, r):
    """Row r's gates: each per-row matrix cut to that row's."""
    return [(bits, m[r] if m.ndim == 3 else m) for bits, m in gates]


# The report's cases: (label, B, n, kind).
ROW_CASES = [
    (f"{kind} n={n}", 1, n, kind) for n in (16, 18, 20, 24) for kind in ("1q", "2q", "layers")
]
BATCH_CASES = [("batch 4096 x n=10", 4096, 10, "batch"), ("batch 256 x n=14", 256, 14, "batch")]
# The layered circuit at the sizes the comparison with qsim (n = 16..20) is judged on that the
# single-row table leaves out.
EXTRA_LAYER_CASES = [(f"layers n={n}", 1, n, "layers") for n in (17, 19)]
QSIM_LAYER_NS = (16, 17, 18, 19, 20, 24)
SCALING_NS = range(14, 19)
