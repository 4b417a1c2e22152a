"""apply_gates results, bit for bit, against the independent float32 reference and by hand.

Every route (serial, row-parallel, in-row parallel) and every matrix form and memory layout must
give exactly the reference's bits; a few cases are checked by hand from the gate rule itself.
"""

import numpy as np
import pytest

import qelt_native
from gate_reference import reference_apply
from helpers import X, assert_bits_equal, random_state

S = np.array([[1, 0], [0, 1j]], dtype=np.complex64)
CNOT = np.array([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0]], dtype=np.complex64)


def random_unitary(rng, d, batch=None):
    """Haar-like unitaries (QR of a complex Gaussian), stacked when batch is given."""
    shape = (d, d) if batch is None else (batch, d, d)
    z = rng.standard_normal(shape) + 1j * rng.standard_normal(shape)
    q, r = np.linalg.qr(z)
    diag = np.diagonal(r, axis1=-2, axis2=-1)
    q = q * (diag / np.abs(diag))[..., None, :]
    return q.astype(np.complex64)


def random_gate(rng, batch, n, qubits=None, per_row=None, bit_pool=None):
    if qubits is None:
        qubits = 1 if n == 1 else int(rng.integers(1, 3))
    if per_row is None:
        per_row = bool(rng.integers(2))
    pool = np.arange(n) if bit_pool is None else np.asarray(bit_pool)
    bits = [int(b) for b in rng.choice(pool, size=qubits, replace=False)]
    d = 1 << qubits
    matrix = random_unitary(rng, d, batch if per_row else None)
    return bits, matrix


def random_circuit(rng, batch, n, count):
    """A gate list with every kind present (1q/2q, shared/per-row) and the rest random."""
    kinds = [(1, False), (1, True)]
    if n >= 2:
        kinds += [(2, False), (2, True)]
    kinds += [(None, None)] * max(0, count - len(kinds))
    gates = [random_gate(rng, batch, n, q, p) for q, p in kinds]
    order = rng.permutation(len(gates))
    return [gates[i] for i in order]


def apply_and_compare(psi, gates):
    expected = reference_apply(psi, gates)
    assert qelt_native.apply_gates(psi, gates) is None
    assert_bits_equal(psi, expected)


@pytest.mark.parametrize("n", range(1, 17))
@pytest.mark.parametrize("batch", [0, 1, 2, 5])
def test_random_circuit_matches_reference(batch, n):
    rng = np.random.default_rng(1000 * batch + n)
    psi = random_state(rng, batch, n)
    apply_and_compare(psi, random_circuit(rng, batch, n, 10))


@pytest.mark.parametrize("batch, n", [(1, 2), (3, 5), (1, 15), (2, 16)])
def test_every_ordered_pair_matches_reference(batch, n):
    # Both orders of each pair, so a swap of the high and low local bit cannot pass.
    rng = np.random.default_rng(n)
    pairs = [(b0, b1) for b0 in range(n) for b1 in range(n) if b0 != b1]
    if len(pairs) > 24:
        pairs = [pairs[i] for i in rng.choice(len(pairs), 24, replace=False)]
        pairs += [(b1, b0) for b0, b1 in pairs]
    psi = random_state(rng, batch, n)
    gates = [
        (list(p), random_unitary(rng, 4, batch if i % 2 else None)) for i, p in enumerate(pairs)
    ]
    apply_and_compare(psi, gates)


def test_swapped_pair_acts_as_matrix_with_middle_indices_swapped():
    # With small integers every product and sum is exact, so reordering the middle terms of
    # each sum cannot change a bit: [b1, b0] with M must equal [b0, b1] with P M P.
    rng = np.random.default_rng(7)
    n, batch = 6, 3
    psi = (rng.integers(-8, 9, (batch, 1 << n)) + 1j * rng.integers(-8, 9, (batch, 1 << n))).astype(
        np.complex64
    )
    m = (rng.integers(-4, 5, (4, 4)) + 1j * rng.integers(-4, 5, (4, 4))).astype(np.complex64)
    perm = [0, 2, 1, 3]
    m_swapped = np.ascontiguousarray(m[np.ix_(perm, perm)])
    for b0, b1 in [(4, 1), (0, 5), (2, 3)]:
        first = psi.copy()
        second = psi.copy()
        qelt_native.apply_gates(first, [([b1, b0], m)])
        qelt_native.apply_gates(second, [([b0, b1], m_swapped)])
        assert_bits_equal(first, second)
        assert not np.array_equal(first, psi)


def _layouts(base, per_row):
    """(name, view, logical matrix) for memory layouts that must all read in logical order."""
    d = base.shape[-1]
    lead = base.shape[:-2]
    big = np.zeros(tuple(2 * s for s in lead) + (2 * d, 3 * d), dtype=np.complex64)
    rows = (slice(None, None, 2),) * len(lead)
    big[rows + (slice(None, None, 2), slice(None, None, 3))] = base
    stepped = big[rows + (slice(None, None, 2), slice(None, None, 3))]
    reversed_src = np.ascontiguousarray(base[..., ::-1, ::-1])
    out = [
        ("contiguous", base, base),
        ("transposed", np.swapaxes(base, -1, -2), np.ascontiguousarray(np.swapaxes(base, -1, -2))),
        ("fortran", np.asfortranarray(base), base),
        ("stepped", stepped, base),
        ("reversed", reversed_src[..., ::-1, ::-1], base),
    ]
    if per_row:
        moved = np.ascontiguousarray(np.moveaxis(base, 0, -1))
        out.append(("batch axis last in memory", np.moveaxis(moved, -1, 0), base))
        out.append(("rows reversed", np.ascontiguousarray(base[::-1])[::-1], base))
    return out


@pytest.mark.parametrize("per_row", [False, True], ids=["shared", "per-row"])
@pytest.mark.parametrize("qubits", [1, 2])
@pytest.mark.parametrize("batch, n", [(1, 4), (3, 6), (1, 15)])
def test_matrix_views_read_in_logical_order(batch, n, qubits, per_row):
    rng = np.random.default_rng(qubits * 10 + per_row)
    d = 1 << qubits
    base = random_unitary(rng, d, batch if per_row else None)
    base = base + np.float32(0.25) * (np.arange(base.size).reshape(base.shape) % 3)  # not symmetric
    base = base.astype(np.complex64)
    bits = [n - 1] if qubits == 1 else [1, n - 1]
    psi0 = random_state(rng, batch, n)
    for name, view, logical in _layouts(base, per_row):
        assert np.array_equal(np.array(view), logical), name
        snapshot = np.array(view, copy=True)
        psi = psi0.copy()
        qelt_native.apply_gates(psi, [(bits, view)])
        assert_bits_equal(psi, reference_apply(psi0, [(bits, logical)]))
        assert_bits_equal(np.array(view), snapshot)  # the matrix is only read


def test_transposed_view_acts_as_transposed_matrix():
    rng = np.random.default_rng(3)
    m = np.array([[1, 2j], [3, 4]], dtype=np.complex64)
    psi0 = random_state(rng, 2, 3)
    via_view = psi0.copy()
    via_copy = psi0.copy()
    untransposed = psi0.copy()
    qelt_native.apply_gates(via_view, [([1], m.T)])
    qelt_native.apply_gates(via_copy, [([1], np.array([[1, 3], [2j, 4]], dtype=np.complex64))])
    qelt_native.apply_gates(untransposed, [([1], m)])
    assert_bits_equal(via_view, via_copy)
    assert not np.array_equal(via_view, untransposed)


@pytest.mark.parametrize("n", [3, 12, 14, 15, 16])
def test_row_alone_equals_row_in_batch(n):
    # B >= 2 runs rows in parallel; B = 1 runs serially or splits the row: same bits either way.
    rng = np.random.default_rng(n + 50)
    batch = 3
    psi = random_state(rng, batch, n)
    gates = random_circuit(rng, batch, n, 12)
    rows = [psi[r : r + 1].copy() for r in range(batch)]
    qelt_native.apply_gates(psi, gates)
    for r in range(batch):
        alone = [(bits, m[r : r + 1] if m.ndim == 3 else m) for bits, m in gates]
        qelt_native.apply_gates(rows[r], alone)
        assert_bits_equal(rows[r][0], psi[r])


@pytest.mark.parametrize(
    "bit_pool",
    [range(0, 12), range(12, 16), [0, 1, 14, 15], range(0, 16)],
    ids=["low bits (block split)", "high bits (pair split)", "low and high", "all bits"],
)
@pytest.mark.parametrize("n", [15, 16])
def test_single_long_row_matches_reference(n, bit_pool):
    rng = np.random.default_rng(n * 7 + len(bit_pool))
    pool = [b for b in bit_pool if b < n]
    psi = random_state(rng, 1, n)
    gates = [random_gate(rng, 1, n, qubits=1 + (i % 2), bit_pool=pool) for i in range(12)]
    apply_and_compare(psi, gates)


@pytest.mark.parametrize("batch, n", [(1, 16), (1, 10), (2, 14), (7, 9)])
def test_many_gates_alternating_low_and_high_bits(batch, n):
    # Long circuits whose gates jump between low and high bits: any reordering or fusing of
    # gates across blocks of the row would show up as changed bits.
    rng = np.random.default_rng(batch * 100 + n)
    psi = random_state(rng, batch, n)
    low = list(range(0, min(3, n)))
    high = list(range(max(n - 3, 0), n))
    gates = []
    for i in range(240):
        pool = low if i % 3 == 0 else high if i % 3 == 1 else list(range(n))
        qubits = 1 if i % 4 < 2 else 2
        gates.append(random_gate(rng, batch, n, qubits=qubits, bit_pool=pool))
    apply_and_compare(psi, gates)


@pytest.mark.parametrize("batch, n", [(1, 3), (2, 3), (1, 15), (4, 12)])
def test_top_bit_and_bit_zero_pair_as_the_rule_says(batch, n):
    d = 1 << n
    k = np.arange(batch * d, dtype=np.float32).reshape(batch, d)
    psi0 = (k + 1 + 1j * (k + 2)).astype(np.complex64)  # exact, no zero parts
    top = psi0.copy()
    qelt_native.apply_gates(top, [([n - 1], X)])
    assert_bits_equal(top, np.concatenate([psi0[:, d // 2 :], psi0[:, : d // 2]], axis=1))
    low = psi0.copy()
    qelt_native.apply_gates(low, [([0], X)])
    expected = psi0.reshape(batch, d // 2, 2)[:, :, ::-1].reshape(batch, d)
    assert_bits_equal(low, expected)


def _amp(values):
    return np.array([values], dtype=np.complex64)


@pytest.mark.parametrize(
    "bits, expected_order",
    [([1, 0], [1, 2, 3, 0]), ([0, 1], [2, 3, 1, 0])],
)
def test_two_qubit_local_index_on_four_amplitudes(bits, expected_order):
    # Cyclic permutation a'[r] = a[(r + 1) % 4] on local indices. With [1, 0] local index equals
    # amplitude index; with [0, 1] local indices 1 and 2 are amplitudes 2 and 1.
    perm = np.zeros((4, 4), dtype=np.complex64)
    for r in range(4):
        perm[r, (r + 1) % 4] = 1
    values = [1 + 5j, 2 + 6j, 3 + 7j, 4 + 8j]
    psi = _amp(values)
    qelt_native.apply_gates(psi, [(bits, perm)])
    assert_bits_equal(psi, _amp([values[i] for i in expected_order]))


def test_cnot_flips_target_when_control_set_on_basis_states():
    # Qubit q is bit n-1-q: control qubit 0 is bit 2, target qubit 2 is bit 0.
    n = 3
    for k in range(1 << n):
        psi = np.zeros((1, 1 << n), dtype=np.complex64)
        psi[0, k] = 1
        qelt_native.apply_gates(psi, [([2, 0], CNOT)])
        expected = np.zeros_like(psi)
        expected[0, k ^ 1 if k & 4 else k] = 1
        assert_bits_equal(psi, expected)


@pytest.mark.parametrize(
    "batch, n, bit", [(1, 3, 1), (2, 4, 3), (1, 15, 14), (1, 16, 2), (3, 15, 0)]
)
def test_gate_order_matters_x_then_s_versus_s_then_x(batch, n, bit):
    d = 1 << n
    k = np.arange(batch * d, dtype=np.float32).reshape(batch, d)
    psi0 = (k + 1 - 1j * (k + 3)).astype(np.complex64)
    blocks = psi0.reshape(batch, -1, 2, 1 << bit)
    x, y = blocks[:, :, 0, :], blocks[:, :, 1, :]

    def times_i(v):  # i*(a + ib) = -b + ia, exact
        out = np.empty_like(v)
        out.real = -v.imag
        out.imag = v.real
        return out

    xs = psi0.copy()
    qelt_native.apply_gates(xs, [([bit], X), ([bit], S)])
    expected_xs = np.stack([y, times_i(x)], axis=2).reshape(batch, d)
    sx = psi0.copy()
    qelt_native.apply_gates(sx, [([bit], S), ([bit], X)])
    expected_sx = np.stack([times_i(y), x], axis=2).reshape(batch, d)
    assert_bits_equal(xs, expected_xs)
    assert_bits_equal(sx, expected_sx)
    assert not np.array_equal(xs, sx)


def test_per_row_matrix_touches_only_its_row():
    psi0 = (np.arange(8, dtype=np.float32) + 1 + 2j).reshape(2, 4).astype(np.complex64)
    per_row = np.stack([X, np.eye(2, dtype=np.complex64)])
    psi = psi0.copy()
    qelt_native.apply_gates(psi, [([1], per_row)])
    assert_bits_equal(psi[0], psi0[0, [2, 3, 0, 1]])
    assert_bits_equal(psi[1], psi0[1])


@pytest.mark.parametrize("batch, n", [(1, 5), (3, 5), (1, 16), (2, 15)])
def test_identity_keeps_every_value(batch, n):
    rng = np.random.default_rng(n)
    psi0 = random_state(rng, batch, n)
    psi = psi0.copy()
    qelt_native.apply_gates(
        psi, [([0], np.eye(2, dtype=np.complex64)), ([n - 1, 0], np.eye(4, dtype=np.complex64))]
    )
    assert np.array_equal(psi, psi0)


@pytest.mark.parametrize(
    "batch, n, gates",
    [
        (1, 3, []),
        (1, 16, []),
        (4, 10, ()),
        (0, 3, [([0], X), ([2, 1], np.zeros((0, 4, 4), np.complex64))]),
        (
            0,
            16,
            [([15], np.zeros((0, 2, 2), np.complex64)), ([3, 9], np.eye(4, dtype=np.complex64))],
        ),
    ],
)
def test_empty_gate_list_or_empty_batch_leaves_psi_untouched(batch, n, gates):
    rng = np.random.default_rng(0)
    psi = random_state(rng, batch, n)
    before = psi.copy()
    assert qelt_native.apply_gates(psi, gates) is None
    assert_bits_equal(psi, before)


@pytest.mark.parametrize(
    "wrap",
    [
        lambda gs: tuple(gs),
        lambda gs: [(tuple(b), m) for b, m in gs],
        lambda gs: [(np.array(b, dtype=np.int64), m) for b, m in gs],
        lambda gs: [(range(b[0], b[0] + 1) if len(b) == 1 else b, m) for b, m in gs],
    ],
    ids=["tuple of gates", "tuple positions", "numpy integer positions", "range positions"],
)
def test_gate_list_container_forms(wrap):
    rng = np.random.default_rng(11)
    psi = random_state(rng, 2, 6)
    gates = random_circuit(rng, 2, 6, 6)
    expected = reference_apply(psi, gates)
    qelt_native.apply_gates(psi, wrap(gates))
    assert_bits_equal(psi, expected)


def test_keyword_arguments_bind():
    rng = np.random.default_rng(12)
    psi = random_state(rng, 2, 4)
    gates = random_circuit(rng, 2, 4, 4)
    expected = reference_apply(psi, gates)
    qelt_native.apply_gates(gates=gates, psi=psi)
    assert_bits_equal(psi, expected)


@pytest.mark.parametrize("n", range(1, 7))
def test_agrees_with_dense_matrix_model(n):
    # A float64 model built from the bit convention alone (full 2^n x 2^n matrices): guards
    # the meaning of bit positions independently of the float32 step order.
    rng = np.random.default_rng(n + 300)
    batch = 2
    psi0 = random_state(rng, batch, n)
    gates = random_circuit(rng, batch, n, 8)
    psi = psi0.copy()
    qelt_native.apply_gates(psi, gates)
    d = 1 << n
    model = psi0.astype(np.complex128)
    for bits, m in gates:
        full = np.zeros((batch, d, d), dtype=np.complex128)
        for k in range(d):
            local = 0
            for b in bits:
                local = 2 * local + ((k >> b) & 1)
            rest = k
            for b in bits:
                rest &= ~(1 << b)
            for target in range(1 << len(bits)):
                k2 = rest
                for j, b in enumerate(bits):
                    if (target >> (len(bits) - 1 - j)) & 1:
                        k2 |= 1 << b
                full[:, k2, k] = m[..., target, local]
        model = np.einsum("bij,bj->bi", full, model)
    np.testing.assert_allclose(psi, model, rtol=0, atol=1e-4)


WORKER_SCRIPT = """
import numpy as np
import qelt_native
data = np.load({src!r})
out = {{}}
for tag in ("row", "batch"):
    psi = data[tag + "_psi"].copy()
    count = int(data[tag + "_count"])
    gates = [([int(b) for b in data[f"{{tag}}_bits{{i}}"]], data[f"{{tag}}_m{{i}}"]) for i in range(count)]
    qelt_native.apply_gates(psi, gates)
    out[tag] = psi
np.savez({dst!r}, **out)
"""


@pytest.mark.parametrize("workers", ["1", "2", "5"])
def test_bits_do_not_depend_on_worker_count(tmp_path, run_python, workers):
    rng = np.random.default_rng(99)
    cases = {"row": (1, 16), "batch": (6, 11)}
    arrays = {}
    expected = {}
    for tag, (batch, n) in cases.items():
        psi = random_state(rng, batch, n)
        gates = random_circuit(rng, batch, n, 16)
        arrays[tag + "_psi"] = psi
        arrays[tag + "_count"] = np.array(len(gates))
        for i, (bits, m) in enumerate(gates):
            arrays[f"{tag}_bits{i}"] = np.array(bits, dtype=np.int64)
            arrays[f"{tag}_m{i}"] = m
        expected[tag] = reference_apply(psi, gates)
    src, dst = str(tmp_path / "in.npz"), str(tmp_path / "out.npz")
    np.savez(src, **arrays)
    proc = run_python(WORKER_SCRIPT.format(src=src, dst=dst), env={"RAYON_NUM_THREADS": workers})
    assert proc.returncode == 0, proc.stderr
    result = np.load(dst)
    for tag in cases:
        assert_bits_equal(result[tag], expected[tag])


SPECIAL_POOLS = {
    # Signed zeros catch shortcuts that skip zero matrix entries; subnormals catch flushing.
    "zeros and subnormals": [0.0, -0.0, 1.0, -1.0, 0.5, 3.0, 1e-40, -3e-42, 2e-38, -1.5e-39],
    # Products beyond the float32 range overflow to infinity, and 0*inf gives NaN.
    "overflow and infinities": [0.0, -0.0, 1.0, -2.0, 3e38, -2.5e38, 1e20, np.inf, -np.inf],
    # NaN inputs of both signs with payloads, quiet and signalling.
    "nan payloads": np.concatenate([
        np.float32([0.0, 1.0, -2.0, np.inf, 0.75]),
        np.uint32([0xFFC00000, 0x7FC00001, 0xFFFFFFFF, 0x7F800001]).view(np.float32)]),
}
CANONICAL_NAN = 0x7FC00000


@pytest.mark.parametrize("pool", SPECIAL_POOLS, ids=list(SPECIAL_POOLS))
@pytest.mark.parametrize("batch, n", [(1, 3), (3, 4), (1, 15), (2, 12)])
def test_special_values_follow_the_float32_steps(batch, n, pool):
    rng = np.random.default_rng(len(pool) + n)
    values = np.array(SPECIAL_POOLS[pool], dtype=np.float32)

    def draw(shape):
        out = np.empty(shape, dtype=np.complex64)
        out.real = rng.choice(values, shape)
        out.imag = rng.choice(values, shape)
        return out

    psi = draw((batch, 1 << n))
    gates = []
    for i in range(6):
        qubits = 1 + i % 2 if n >= 2 else 1
        bits = [int(b) for b in rng.choice(n, size=qubits, replace=False)]
        d = 1 << qubits
        gates.append((bits, draw((batch, d, d) if i % 3 == 2 else (d, d))))
    expected = reference_apply(psi, gates)
    qelt_native.apply_gates(psi, gates)
    got_words = psi.view(np.uint32)
    want_words = expected.view(np.uint32)
    want_nan = np.isnan(expected.view(np.float32))
    # NaN in the same places, each the one canonical NaN; everything else exact.
    assert np.array_equal(np.isnan(psi.view(np.float32)), want_nan)
    assert np.all(got_words[want_nan] == CANONICAL_NAN)
    assert np.array_equal(got_words[~want_nan], want_words[~want_nan])


@pytest.mark.parametrize("batch, n", [(64, 1), (257, 3), (100, 6)])
def test_many_short_rows_match_reference(batch, n):
    rng = np.random.default_rng(batch + n)
    psi = random_state(rng, batch, n)
    apply_and_compare(psi, random_circuit(rng, batch, n, 10))


def test_rows_of_a_larger_array_are_written_in_place_and_alone():
    # A C-contiguous block of rows starts inside a larger buffer; the rows around it stay as
    # they were.
    rng = np.random.default_rng(21)
    whole = random_state(rng, 7, 5)
    before = whole.copy()
    block = whole[2:5]
    assert block.flags.c_contiguous
    gates = random_circuit(rng, 3, 5, 6)
    expected = reference_apply(block, gates)
    qelt_native.apply_gates(block, gates)
    assert_bits_equal(whole[2:5], expected)
    assert_bits_equal(whole[:2], before[:2])
    assert_bits_equal(whole[5:], before[5:])


def test_one_matrix_object_used_by_several_gates():
    rng = np.random.default_rng(22)
    psi = random_state(rng, 2, 4)
    m = random_unitary(rng, 2)
    pair = random_unitary(rng, 4)
    gates = [([0], m), ([3], m), ([1, 2], pair), ([2], m), ([2, 1], pair)]
    apply_and_compare(psi, gates)


def test_concurrent_calls_from_several_threads():
    # Calls may enter at the same time from different interpreter threads, each on its own
    # arrays; every one must get exactly its own reference result.
    import threading

    rng = np.random.default_rng(23)
    shapes = [(1, 16), (4, 12), (1, 10), (9, 8), (1, 15), (2, 13)]
    jobs = []
    for batch, n in shapes:
        psi = random_state(rng, batch, n)
        gates = random_circuit(rng, batch, n, 20)
        jobs.append((psi, gates, reference_apply(psi, gates)))
    errors = []

    def work(psi, gates):
        try:
            for _ in range(3):
                qelt_native.apply_gates(psi, gates)
        except BaseException as exc:  # noqa: BLE001 - reported in the main thread
            errors.append(exc)

    inputs = [p.copy() for p, _, _ in jobs]
    threads = [threading.Thread(target=work, args=(p, g)) for p, (_, g, _) in zip(inputs, jobs)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "a call did not return"
    assert not errors, errors
    for (psi, gates, once), out in zip(jobs, inputs):
        assert_bits_equal(out, reference_apply(reference_apply(once, gates), gates))
