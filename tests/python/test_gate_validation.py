"""apply_gates refusals: every message, and psi left as it was.

The worked refusals are shared with the native suite (tests/data/gate_refusals.txt), which checks
the rules' order and values there; here each call must raise exactly its message.

Each refused call must leave psi bit for bit unchanged and release its borrows, so the same
arrays can be written by the next call.
"""

import pathlib

import numpy as np
import pytest

import qelt_native
from gate_reference import reference_apply
from helpers import Index, LenRaises, Raises, assert_bits_equal, complex_normal


def x_gate():
    return np.array([[0, 1], [1, 0]], dtype=np.complex64)


def cnot():
    return np.array([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0]], dtype=np.complex64)


def zeros(*shape):
    return np.zeros(shape, dtype=np.complex64)


def make_psi(batch, dim, seed=0):
    return complex_normal(np.random.default_rng(seed), (batch, dim))


def assert_usable_for_writing(psi, gates):
    """The call that failed released psi and every gate matrix: each can now be written."""
    dim = psi.shape[1]
    if dim >= 2 and dim & (dim - 1) == 0 and psi.flags.c_contiguous:
        before = psi.copy()
        qelt_native.apply_gates(psi, [([0], x_gate())])
        assert_bits_equal(psi, reference_apply(before, [([0], x_gate())]))
    elif dim == 1:
        assert qelt_native.apply_gates(psi, []) is None
    else:
        # A refused borrow would surface as an internal failure, not as the same ValueError.
        with pytest.raises(ValueError, match="is not a power of two|must be C-contiguous"):
            qelt_native.apply_gates(psi, [])
    if isinstance(gates, (list, tuple)):
        for gate in gates:
            matrix = gate[-1] if isinstance(gate, tuple) and gate else None
            if isinstance(matrix, np.ndarray) and matrix.ndim == 2 and matrix.dtype == np.complex64:
                try:
                    qelt_native.apply_gates(matrix, [])
                except ValueError:
                    pass  # dimension or contiguity refused, but only after the write borrow


def refused(psi, gates, exc_type):
    before = psi.copy()
    with pytest.raises(exc_type) as info:
        qelt_native.apply_gates(psi, gates)
    assert_bits_equal(psi, before)
    return str(info.value)


def read_refusals():
    """The worked refusals shared with the native suite: (name, psi, gates, message)."""
    path = pathlib.Path(__file__).parents[1] / "data" / "gate_refusals.txt"
    cases = []
    for line in path.read_text().splitlines():
        if not line or line.startswith("#"):
            continue
        name, state, gates, _rule, message = (field.strip() for field in line.split(" | "))
        batch, dim, *layout = state.split()
        psi = make_psi(int(batch), int(dim))
        if layout == ["F"]:
            psi = np.asfortranarray(psi)
        made = []
        for gate in gates.split() if gates != "-" else []:
            bits, shape = gate.split(":")
            made.append((
                [int(b) for b in bits.split(",") if b],
                zeros(*(int(e) for e in shape.split("x") if e)),
            ))
        cases.append(pytest.param(psi, made, message, id=name))
    return cases


@pytest.mark.parametrize("psi, gates, message", read_refusals())
def test_value_error_message_and_psi_unchanged(psi, gates, message):
    assert refused(psi, gates, ValueError) == message
    assert_usable_for_writing(psi, gates)


@pytest.mark.parametrize("rank", [5, 32, 33, 64])
def test_matrix_of_very_high_rank_gets_the_shape_message(rank):
    if rank > 32 and int(np.__version__.split(".")[0]) < 2:
        pytest.skip("NumPy 1 allows at most 32 dimensions")
    psi = make_psi(1, 4)
    matrix = np.zeros((1,) * rank, dtype=np.complex64)
    shape = "[" + ", ".join(["1"] * rank) + "]"
    message = refused(psi, [([0], matrix)], ValueError)
    assert message == f"gate matrix shape {shape} incompatible with 1q gate, batch 1"


def _every_second_row():
    return make_psi(4, 8)[::2]


def _column_slice():
    return make_psi(2, 16)[:, :8]


def _fortran():
    return np.asfortranarray(make_psi(2, 4))


@pytest.mark.parametrize(
    "make",
    [_every_second_row, _column_slice, _fortran],
    ids=["every second row", "column slice", "fortran"],
)
def test_non_contiguous_psi_refused(make):
    psi = make()
    assert refused(psi, [([0], x_gate())], ValueError) == "statevector must be C-contiguous"


@pytest.mark.parametrize(
    "shape, gates", [((1, 8), [([2], x_gate())]), ((3, 1), [])], ids=["one row", "one column"]
)
def test_fortran_psi_whose_orders_coincide_is_accepted(shape, gates):
    psi = np.asfortranarray(make_psi(*shape))
    assert psi.flags.c_contiguous
    expected = reference_apply(psi, gates)
    assert qelt_native.apply_gates(psi, gates) is None
    assert_bits_equal(psi, expected)


GATES_TYPE = "argument 'gates': "
CONVERSION_ERRORS = [
    # (id, gate list factory, exception type, exact message or None for the interpreter's own)
    ("string", lambda: "gates", TypeError, GATES_TYPE + "Can't extract `str` to `Vec`"),
    (
        "generator",
        lambda: (g for g in [([0], x_gate())]),
        TypeError,
        GATES_TYPE + "'generator' object cannot be converted to 'Sequence'",
    ),
    (
        "set",
        lambda: set(),
        TypeError,
        GATES_TYPE + "'set' object cannot be converted to 'Sequence'",
    ),
    (
        "dict",
        lambda: {0: 1},
        TypeError,
        GATES_TYPE + "'dict' object cannot be converted to 'Sequence'",
    ),
    (
        "None",
        lambda: None,
        TypeError,
        GATES_TYPE + "'NoneType' object cannot be converted to 'Sequence'",
    ),
    (
        "list instead of tuple",
        lambda: [[[0], x_gate()]],
        TypeError,
        GATES_TYPE + "'list' object cannot be converted to 'PyTuple'",
    ),
    (
        "float instead of tuple",
        lambda: [1.5],
        TypeError,
        GATES_TYPE + "'float' object cannot be converted to 'PyTuple'",
    ),
    (
        "three-tuple",
        lambda: [([0], x_gate(), None)],
        ValueError,
        "expected tuple of length 2, but got tuple of length 3",
    ),
    (
        "one-tuple",
        lambda: [([0],)],
        ValueError,
        "expected tuple of length 2, but got tuple of length 1",
    ),
    (
        "bit positions an int",
        lambda: [(0, x_gate())],
        TypeError,
        GATES_TYPE + "'int' object cannot be converted to 'Sequence'",
    ),
    (
        "bit positions a string",
        lambda: [("0", x_gate())],
        TypeError,
        GATES_TYPE + "Can't extract `str` to `Vec`",
    ),
    (
        "bit position a float",
        lambda: [([1.0], x_gate())],
        TypeError,
        GATES_TYPE + "'float' object cannot be interpreted as an integer",
    ),
    ("negative bit position", lambda: [([-1], x_gate())], OverflowError, None),
    ("bit position 2**64", lambda: [([0, 2**64], cnot())], OverflowError, None),
    (
        "complex128 matrix",
        lambda: [([0], x_gate().astype(np.complex128))],
        TypeError,
        GATES_TYPE + "'ndarray' object cannot be converted to 'PyArray<T, D>'",
    ),
    (
        "float32 matrix",
        lambda: [([0], np.eye(2, dtype=np.float32))],
        TypeError,
        GATES_TYPE + "'ndarray' object cannot be converted to 'PyArray<T, D>'",
    ),
    (
        "nested list matrix",
        lambda: [([0], [[0, 1], [1, 0]])],
        TypeError,
        GATES_TYPE + "'list' object cannot be converted to 'PyArray<T, D>'",
    ),
    (
        "bad later gate beats a range error in an earlier one",
        lambda: [([9, 9, 9], x_gate()), ([0], x_gate()), [[0], x_gate()]],
        TypeError,
        GATES_TYPE + "'list' object cannot be converted to 'PyTuple'",
    ),
]


@pytest.mark.parametrize(
    "make_gates, exc_type, message",
    [c[1:] for c in CONVERSION_ERRORS],
    ids=[c[0] for c in CONVERSION_ERRORS],
)
@pytest.mark.parametrize("dim", [8, 6], ids=["valid dim", "conversion before dim check"])
def test_gate_conversion_errors(dim, make_gates, exc_type, message):
    psi = make_psi(2, dim)
    gates = make_gates()
    text = refused(psi, gates, exc_type)
    if message is None:
        assert not text.startswith("argument")  # interpreter's own, passed on unwrapped
    else:
        assert text == message
    assert_usable_for_writing(psi, gates)


class _IterRaises(list):
    def __iter__(self):
        raise KeyError("no iteration")


@pytest.mark.parametrize(
    "make_gates, exc_type, message",
    [
        (lambda: [([Raises(RuntimeError("boom"))], x_gate())], RuntimeError, "boom"),
        (
            lambda: [([Raises(TypeError("bad index"))], x_gate())],
            TypeError,
            GATES_TYPE + "bad index",
        ),
        (lambda: _IterRaises([([0], x_gate())]), KeyError, "'no iteration'"),
    ],
    ids=["other error passes", "type error is wrapped", "iterator error passes"],
)
def test_errors_from_user_code_during_conversion(make_gates, exc_type, message):
    psi = make_psi(1, 4)
    assert refused(psi, make_gates(), exc_type) == message
    assert_usable_for_writing(psi, [])


def test_user_sequence_types_convert():
    # Positions through __index__, and a gate list whose length query raises: both convert.
    psi = make_psi(2, 8)
    gates = [((Index(2),), x_gate()), ((Index(0), 1), cnot())]
    plain = [([2], x_gate()), ([0, 1], cnot())]
    expected = reference_apply(psi, plain)
    qelt_native.apply_gates(psi, LenRaises(gates))
    assert_bits_equal(psi, expected)


class _IndexWithCause:
    def __index__(self):
        raise TypeError("inner") from LookupError("root")


@pytest.mark.parametrize(
    "position, cause_type",
    [(Raises(TypeError("bad index")), type(None)), (_IndexWithCause(), LookupError)],
    ids=["no cause", "cause kept"],
)
def test_wrapped_type_error_keeps_only_the_inner_cause(position, cause_type):
    # The wrapper replaces the inner TypeError: it takes over the inner exception's cause and is
    # neither caused by nor chained to the inner exception itself.
    psi = make_psi(1, 4)
    with pytest.raises(TypeError) as info:
        qelt_native.apply_gates(psi, [([position], x_gate())])
    err = info.value
    assert str(err).startswith(GATES_TYPE)
    assert isinstance(err.__cause__, cause_type)
    assert err.__suppress_context__
    assert not isinstance(err.__context__, TypeError)
