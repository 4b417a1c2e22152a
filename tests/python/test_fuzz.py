"""Property tests over the binding and conversion of both functions, with arbitrary arguments.

Arrays come in any dtype, rank, shape, stride pattern (steps, reversed and transposed axes),
alignment (views at odd byte offsets of a buffer) and writeability, mixed with objects that are
not arrays at all. For every call the expected outcome of the conversions is worked out here
from the documented rules, in their order: the exception type and, where the module writes it,
the exact message; or success, where apply_gates must match the float32 reference bit for bit
and sample_topp the plain-Python sampling reference. A converted gate list meets the gate rules,
whose order and values the native suite checks: here it is accepted, or refused in one of their
messages. After every call, failed or not:
- a failed call left psi (and every other argument) unchanged;
- no borrow is left behind: a write borrow of a one-element view at the start of each writeable
  complex64 argument succeeds (it would conflict with any borrow still registered).

The number of examples per property is QELT_FUZZ_EXAMPLES (default 150); no deadline.
"""

import operator
import os
import re
from collections import namedtuple

import numpy as np
from hypothesis import HealthCheck, event, example, given, settings
from hypothesis import strategies as st

from gate_reference import reference_apply
from helpers import Hook, Index, assert_bits_equal
from panic_class import PanicException
from qelt_native import apply_gates, sample_topp
from sample_reference import sample_reference, to_float32

EXAMPLES = int(os.environ.get("QELT_FUZZ_EXAMPLES", "150"))
FUZZ = settings(
    max_examples=EXAMPLES,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
ARRAY_TARGET = "cannot be converted to 'PyArray<T, D>'"
RULE_REFUSAL = object()  # a call refused by the gate rules, or accepted
LIST = r"\[(\d+(, \d+)*)?\]"
RULE_MESSAGES = re.compile("|".join([
    r"statevector dim \d+ is not a power of two",
    r"\d+-qubit gates unsupported",
    rf"gate bit {LIST} out of range for \d+ qubits",
    "2q gate bits must be distinct",
    rf"gate matrix shape {LIST} incompatible with [12]q gate, batch \d+",
    "statevector must be C-contiguous",
]))
Gate = namedtuple("Gate", "bits matrix")  # a tuple subclass is a valid gate


class Expect:
    """The outcome a call must have: success, or an exception type with a message rule; for
    RULE_REFUSAL, success or a ValueError in one of the gate rules' messages."""

    def __init__(self, error=None, message=None, prefix=None):
        self.error, self.message, self.prefix = error, message, prefix

    def check(self, raised):
        if self.error is RULE_REFUSAL:
            assert raised is None or (
                type(raised) is ValueError and RULE_MESSAGES.fullmatch(str(raised))), repr(raised)
            return
        if self.error is None:
            assert raised is None, f"unexpected {type(raised).__name__}: {raised}"
            return
        assert raised is not None, f"expected {self.error.__name__}, the call succeeded"
        assert type(raised) is self.error, f"expected {self.error.__name__}, got {raised!r}"
        if self.message is not None:
            assert str(raised) == self.message
        if self.prefix is not None:
            assert str(raised).startswith(self.prefix), str(raised)


def qualname(value):
    return type(value).__qualname__


def call(function, *args, **kwargs):
    """(result, exception): only the module's documented exception kinds may come out."""
    try:
        return function(*args, **kwargs), None
    except (TypeError, ValueError, OverflowError, PanicException) as error:
        return None, error


# ---------------------------------------------------------------------------------------------
# Arrays of any layout


@st.composite
def laid_out(draw, shape, dtype, fill="normal", strided=True):
    """An array of `shape` and `dtype` whose memory layout is drawn: each axis stepped or
    reversed and the axes permuted in memory (unless `strided` is false), the buffer start at
    an odd byte offset, and the array possibly read-only. Values come from a seeded generator
    (fast for large shapes)."""
    nd = len(shape)
    steps = [1] * nd
    perm = list(range(nd))
    if strided:
        steps = draw(st.lists(st.sampled_from([1, 1, 1, -1, 2, -2, 3]), min_size=nd, max_size=nd))
        perm = draw(st.permutations(range(nd))) if nd > 1 else perm
    offset = draw(st.sampled_from([0, 0, 0, 4, 1]))
    seed = draw(st.integers(0, 2**32 - 1))
    memory_shape = [shape[p] for p in perm]
    base_shape = [s * abs(step) for s, step in zip(memory_shape, steps)]
    dtype = np.dtype(dtype)
    count = int(np.prod(base_shape, dtype=np.int64))
    buffer = bytearray(count * dtype.itemsize + offset + 16)
    base = np.frombuffer(buffer, dtype, count=count, offset=offset).reshape(base_shape)
    base[...] = values(np.random.default_rng(seed), base.shape, dtype, fill)
    view = base[tuple(slice(None, None, step) for step in steps) + (Ellipsis,)]
    view = view.transpose(np.argsort(perm)) if nd > 1 else view
    assert view.shape == tuple(shape)
    if not draw(st.sampled_from([True, True, True, False])):
        view.flags.writeable = False
    return view


def values(rng, shape, dtype, fill):
    """Finite values: a complex product in another rounding order could change a NaN's bits,
    which the rule does not fix; tiny values keep subnormal results in play."""
    if dtype.kind == "c":
        scale = rng.choice([1.0, 1e3, 1e-20, 1e-38], size=shape)
        return (rng.standard_normal(shape) + 1j * rng.standard_normal(shape)) * scale
    if dtype.kind == "f" and fill == "logits":
        special = rng.choice([0.0, -0.0, 1.0, np.inf, -np.inf, np.nan, 3.0], size=shape)
        plain = rng.standard_normal(shape) * rng.choice([1.0, 30.0, 1e-3], size=shape)
        pick = rng.random(shape) < 0.15
        return np.where(pick, special, plain)
    if dtype.kind in "iu":
        return rng.integers(0, 5, size=shape)
    if dtype.kind == "b":
        return rng.integers(0, 2, size=shape).astype(bool)
    return rng.standard_normal(shape)


OTHER_DTYPES = ["complex128", "float32", "float64", "int64", "uint8", ">c8", "bool"]
NOT_ARRAYS = [None, 3, 1.5, "psi", [[1j, 0j]], {"a": 1}]


def sized_shape(draw, rank, extent):
    return tuple(draw(st.lists(extent, min_size=rank, max_size=rank)))


@st.composite
def any_array(draw, near_shapes, dtype="complex64"):
    """Mostly `dtype` arrays of the shapes in `near_shapes`; sometimes another dtype or rank,
    sometimes not an array at all."""
    kind = draw(st.sampled_from(["near"] * 6 + ["other dtype", "other rank", "not array"]))
    if kind == "near":
        return draw(laid_out(draw(st.sampled_from(near_shapes)), dtype))
    if kind == "other dtype":
        shape = draw(st.sampled_from(near_shapes))
        return draw(laid_out(shape, draw(st.sampled_from(OTHER_DTYPES))))
    if kind == "other rank":
        rank = draw(st.integers(0, 4))
        return draw(laid_out(sized_shape(draw, rank, st.integers(0, 3)), dtype))
    return draw(st.sampled_from(NOT_ARRAYS))


def is_array_of(value, dtype, rank=None):
    return (
        isinstance(value, np.ndarray)
        and value.dtype == np.dtype(dtype)
        and value.dtype.isnative
        and (rank is None or value.ndim == rank)
    )


def write_probe_succeeds(array):
    """A write borrow of a 1x1 view at the array's first element: refused while any borrow of
    the array is still registered (same base, same start, overlapping range)."""
    first = array[...] if array.ndim == 0 else array[(slice(0, 1),) * array.ndim]
    probe = first.reshape(1, 1)
    assert apply_gates(probe, []) is None


def probe_all(arrays):
    for array in arrays:
        if is_array_of(array, "complex64") and array.size and array.flags.writeable:
            write_probe_succeeds(array)


def snapshot(value):
    return value.tobytes() if isinstance(value, np.ndarray) else None


# ---------------------------------------------------------------------------------------------
# apply_gates


NON_SEQUENCES = {"dict": lambda: {}, "set": lambda: {1}, "generator": lambda: (g for g in []),
                 "None": lambda: None, "int": lambda: 7}


@st.composite
def bit_positions(draw, n):
    """Mostly one or two valid positions; sometimes out of range, repeated, of odd types."""
    plain = st.integers(0, max(n - 1, 0))
    element = st.one_of(
        plain, plain, plain,
        st.integers(n, n + 2), st.sampled_from([-1, 2**64 - 1, 2**64, True]),
        st.builds(np.int64, plain), st.builds(np.uint64, plain), st.builds(Index, plain),
        st.sampled_from([1.0, "1", None, np.float64(0.0)]),
    )
    length = draw(st.sampled_from([1, 1, 2, 2, 2, 0, 3]))
    items = draw(st.lists(element, min_size=length, max_size=length))
    container = draw(st.sampled_from(["list"] * 5 + ["tuple", "array", "str", "int", "set"]))
    if container == "list":
        return items
    if container == "tuple":
        return tuple(items)
    if container == "array":
        return np.array([int(i) % 8 for i in items if isinstance(i, int)], dtype=np.int64)
    if container == "str":
        return "01"[: max(length, 1)]
    if container == "int":
        return 0
    return {0}


@st.composite
def gate_items(draw, batch, n, psi):
    bits = draw(bit_positions(n))
    k = len(bits) if isinstance(bits, (list, tuple, np.ndarray)) else 1
    d = 2 if k < 2 else 4
    shapes = [(d, d), (d, d), (batch, d, d), (2, 2), (4, 4), (batch, 2, 2), (batch + 1, d, d)]
    matrix = psi if draw(st.integers(0, 9)) == 0 else draw(any_array(shapes))
    form = draw(st.sampled_from(["tuple"] * 8 + ["namedtuple", "list", "short", "long", "int"]))
    if form == "tuple":
        return (bits, matrix)
    if form == "namedtuple":
        return Gate(bits, matrix)
    if form == "list":
        return [bits, matrix]
    if form == "short":
        return (bits,)
    if form == "long":
        return (bits, matrix, matrix)
    return 5


@st.composite
def apply_arguments(draw):
    n = draw(st.sampled_from([0, 1, 2, 3, 4, 5, 7]))
    batch = draw(st.sampled_from([0, 1, 1, 2, 3]))
    dim = draw(st.sampled_from([1 << n] * 8 + [0, 3, 6]))
    psi = draw(any_array([(batch, dim)]))
    count = draw(st.integers(0, 4))
    items = [draw(gate_items(batch, n, psi)) for _ in range(count)]
    container = draw(st.sampled_from(["list"] * 6 + ["tuple", "str"] + list(NON_SEQUENCES)))
    return psi, items, container


def make_gates(items, container):
    if container == "list":
        return list(items)
    if container == "tuple":
        return tuple(items)
    if container == "str":
        return "gates"
    return NON_SEQUENCES[container]()


def convert_int(value):
    """The integer rule: (value, None) or (None, Expect)."""
    if isinstance(value, int):
        number = int(value)
    elif isinstance(value, (float, str)) or value is None:
        return None, Expect(TypeError, prefix="argument 'gates': ")
    else:
        number = operator.index(value)
    if number < 0 or number >= 2**64:
        return None, Expect(OverflowError)
    return number, None


def convert_sequence(value):
    """(list of items, None) or (None, Expect) for the gate list and the bit positions."""
    if isinstance(value, str):
        return None, Expect(TypeError, "argument 'gates': Can't extract `str` to `Vec`")
    if not isinstance(value, (list, tuple, np.ndarray)):
        return None, Expect(
            TypeError, f"argument 'gates': '{qualname(value)}' object cannot be converted to "
            "'Sequence'")
    return list(value), None


def expected_apply(psi, gates):
    """The outcome the conversion rules give, checked in their order."""
    if not is_array_of(psi, "complex64", 2):
        return Expect(TypeError, f"argument 'psi': '{qualname(psi)}' object {ARRAY_TARGET}")
    if not psi.flags.writeable:
        return Expect(PanicException, "called `Result::unwrap()` on an `Err` value: NotWriteable")
    items, failure = convert_sequence(gates)
    if failure:
        return failure
    for item in items:
        if not isinstance(item, tuple):
            return Expect(TypeError, f"argument 'gates': '{qualname(item)}' object cannot be "
                          "converted to 'PyTuple'")
        if len(item) != 2:
            return Expect(ValueError, "expected tuple of length 2, but got tuple of length "
                          f"{len(item)}")
        elements, failure = convert_sequence(item[0])
        if failure:
            return failure
        for element in elements:
            _, failure = convert_int(element)
            if failure:
                return failure
        matrix = item[1]
        if not is_array_of(matrix, "complex64"):
            return Expect(TypeError, f"argument 'gates': '{qualname(matrix)}' object "
                          f"{ARRAY_TARGET}")
        if matrix is psi:
            return Expect(PanicException, "called `Result::unwrap()` on an `Err` value: "
                          "AlreadyBorrowed")

    # The gate rules (their order, the values they report) are tested natively; a call that
    # converted is either accepted or refused in one of the rules' messages.
    return Expect(RULE_REFUSAL)


def matrices_of(items):
    return [item[1] for item in items if isinstance(item, (tuple, list)) and len(item) > 1]


def run_apply(psi, items, container, well_formed=False):
    gates = make_gates(items, container)
    expect = Expect() if well_formed else expected_apply(psi, gates)
    arrays = [psi] + matrices_of(items)
    before = [snapshot(a) for a in arrays]
    psi_before = np.array(psi) if isinstance(psi, np.ndarray) else None
    result, raised = call(apply_gates, psi, gates)
    event(f"apply_gates: {type(raised).__name__ if raised else 'success'}")
    expect.check(raised)
    if raised is None:
        assert result is None
        # The reference itself refuses matrices of shapes the rules do not accept.
        plain = [([int(b) for b in bits], np.array(m)) for bits, m in items]
        reference = reference_apply(psi_before, plain)
        assert_bits_equal(np.array(psi), reference)
        before[0] = snapshot(reference)
    assert [snapshot(a) for a in arrays] == before, "an argument changed"
    probe_all(arrays)


@FUZZ
@given(apply_arguments())
def test_apply_gates_any_arguments(arguments):
    run_apply(*arguments)


@st.composite
def valid_apply_arguments(draw):
    """Well-formed calls only, over every layout of the matrices and every route's shapes."""
    batch, n = draw(st.sampled_from([(0, 3), (1, 1), (1, 4), (2, 2), (3, 6), (1, 15), (2, 12)]))
    psi = draw(laid_out((batch, 1 << n), "complex64", strided=False))
    psi.flags.writeable = True
    items = []
    for _ in range(draw(st.integers(0, 5))):
        k = 1 if n < 2 else draw(st.sampled_from([1, 2]))
        bits = draw(st.lists(st.integers(0, n - 1), min_size=k, max_size=k, unique=True))
        d = 1 << k
        items.append((bits, draw(laid_out(draw(st.sampled_from([(d, d), (batch, d, d)])),
                                          "complex64"))))
    return psi, items, "list"


def at_odd_address(values, dtype, offset=1):
    """A writeable copy of `values` starting `offset` bytes into a buffer: not aligned."""
    values = np.asarray(values, dtype)
    buffer = bytearray(values.nbytes + offset)
    out = np.frombuffer(buffer, dtype, count=values.size, offset=offset).reshape(values.shape)
    out[...] = values
    return out


def unaligned_example(batch, n):
    rng = np.random.default_rng(n)
    psi = at_odd_address(rng.standard_normal((batch, 2 << n)).view(np.complex128), "complex64")
    gates = [([b], at_odd_address(rng.standard_normal((2, 4)).view(np.complex128), "complex64"))
             for b in range(n)]
    gates.append(([n - 1, 0], at_odd_address(np.eye(4)[::-1], "complex64")))
    return psi, gates, "list"


@FUZZ
@given(valid_apply_arguments())
@example(unaligned_example(1, 3))  # every bit of the serial route, on an odd address
@example(unaligned_example(2, 2))
@example(unaligned_example(1, 7))
@example(unaligned_example(3, 5))  # row-parallel
@example(unaligned_example(1, 15))  # in-row parallel
def test_apply_gates_well_formed_calls_match_reference(arguments):
    run_apply(*arguments, well_formed=True)


# ---------------------------------------------------------------------------------------------
# sample_topp


FLOATS = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(-3, 3),
    st.integers(-3, 3),
    st.booleans(),
    st.sampled_from([10**400, "1", None, np.float32(0.5), np.float64(-0.0), Index(2)]),
)
INTEGERS = st.one_of(
    st.integers(0, 40),
    st.integers(-(2**65), 2**65),
    st.sampled_from([2**64 - 1, 2**64, -1, True, 1.0, "3", None, np.int64(3), np.uint64(2**63)]),
    st.builds(Index, st.integers(-3, 2**64)),
)


@st.composite
def sample_arguments(draw):
    size = draw(st.sampled_from([0, 1, 2, 5, 20, 21, 64, 300]))
    logits = draw(st.one_of(
        laid_out((size,), "float32", fill="logits"),
        laid_out((size,), "float32", fill="logits"),
        any_array([(size,)], "float32"),
    ))
    kwargs = {"temperature": draw(FLOATS), "top_p": draw(FLOATS)}
    for name in ("top_k", "seed"):
        if draw(st.booleans()):
            kwargs[name] = draw(INTEGERS)
    positional = draw(st.integers(1, 1 + len(kwargs)))
    return logits, kwargs, positional


def convert_float(name, value):
    if isinstance(value, float):
        return float(value), None
    if isinstance(value, int):
        try:
            return float(value), None
        except OverflowError:
            return None, Expect(OverflowError)
    if hasattr(type(value), "__float__") or hasattr(type(value), "__index__"):
        return float(value), None
    return None, Expect(TypeError, prefix=f"argument '{name}': ")


def convert_u64(name, value):
    if isinstance(value, int):
        number = int(value)
    elif hasattr(type(value), "__index__") and not isinstance(value, float):
        number = operator.index(value)
    else:
        return None, Expect(TypeError, prefix=f"argument '{name}': ")
    if number < 0 or number >= 2**64:
        return None, Expect(OverflowError)
    return number, None


def expected_sample(logits, kwargs):
    """(Expect, converted arguments or None), by the documented order of conversions."""
    if not is_array_of(logits, "float32", 1):
        return Expect(TypeError, f"argument 'logits': '{qualname(logits)}' object "
                      f"{ARRAY_TARGET}"), None
    converted = {}
    for name in ("temperature", "top_p"):
        converted[name], failure = convert_float(name, kwargs[name])
        if failure:
            return failure, None
    for name in ("top_k", "seed"):
        converted[name], failure = convert_u64(name, kwargs.get(name, 0))
        if failure:
            return failure, None
    if logits.size == 0:
        return Expect(ValueError, "empty logits"), None
    return Expect(), converted


def comparable_with_reference(values, temperature):
    """Arg-max always; the sampling path when the ranking is fixed by the rule: no NaN, and no
    tied logits beyond the first 20 candidates (the order of ties is then left open)."""
    if to_float32(temperature) <= 0:
        return True
    if np.isnan(values).any():
        return False
    return values.size <= 20 or np.unique(values).size == values.size


@FUZZ
@given(sample_arguments())
@example((at_odd_address(np.arange(64.0), "float32"), dict(temperature=0.0, top_p=1.0), 3))
@example((at_odd_address(np.arange(64.0), "float32"), dict(temperature=1.0, top_p=0.9), 1))
def test_sample_topp_any_arguments(arguments):
    logits, kwargs, positional = arguments
    names = ["temperature", "top_p", "top_k", "seed"][: positional - 1]
    if any(name not in kwargs for name in names):
        names = []  # a gap in the positional order: pass everything by keyword
    args = [logits] + [kwargs[name] for name in names]
    rest = {name: value for name, value in kwargs.items() if name not in names}
    expect, converted = expected_sample(logits, kwargs)
    before = snapshot(logits)
    result, raised = call(sample_topp, *args, **rest)
    event(f"sample_topp: {type(raised).__name__ if raised else 'success'}")
    values = np.array(logits, dtype=np.float32) if converted else None
    if converted and raised is not None and np.isnan(values).any():
        # NaN logits make the ranking relation inconsistent; detecting it is allowed.
        assert type(raised) is PanicException, repr(raised)
        assert str(raised) == (
            "user-provided comparison function does not correctly implement a total order")
    else:
        expect.check(raised)
    if raised is None:
        assert type(result) is int and 0 <= result < values.size
        if comparable_with_reference(values, converted["temperature"]):
            assert result == sample_reference(values.tolist(), converted["temperature"],
                                              converted["top_p"], converted["top_k"],
                                              converted["seed"])
    assert snapshot(logits) == before, "logits changed"
    if is_array_of(logits, "float32", 1) and logits.flags.writeable and logits.size >= 2:
        if logits.strides[0] == 4 and logits.ctypes.data % 8 == 0:
            write_probe_succeeds(logits[:2].view(np.complex64))


# ---------------------------------------------------------------------------------------------
# Arrays changed by caller code during a call


def retype(array):
    array.dtype = np.float32 if array.dtype == np.complex64 else np.uint8


def reshape(array):
    array.shape = (1,) + array.shape if array.ndim < 3 else (-1,)


def freeze(array):
    array.flags.writeable = False


def resize(array):
    array.resize(array.size + 1)  # refused: the call holds a reference to the array


MUTATIONS = {"retype": retype, "reshape": reshape, "freeze": freeze, "resize": resize}


def layout_of(array):
    return array.__array_interface__["data"], array.dtype, array.shape, array.strides


def restore(array, layout):
    array.flags.writeable = True
    array.dtype, array.shape = layout[1], layout[2]


@FUZZ
@given(
    target=st.sampled_from(["psi", "first matrix"]),
    mutation=st.sampled_from(sorted(MUTATIONS)),
    batch=st.sampled_from([1, 2, 3]),
    n=st.sampled_from([2, 3, 15]),
    per_row=st.booleans(),
    seed=st.integers(0, 2**32 - 1),
)
def test_apply_gates_refuses_arrays_changed_by_a_hook(target, mutation, batch, n, per_row, seed):
    rng = np.random.default_rng(seed)
    psi = (rng.standard_normal((batch, 2 << n)).view(np.complex128)).astype(np.complex64)
    shape = (batch, 4, 4) if per_row else (4, 4)
    matrices = [rng.standard_normal(shape + (2,)).view(np.complex128)[..., 0].astype(np.complex64)
                for _ in range(2)]
    victim = psi if target == "psi" else matrices[0]
    layout, before = layout_of(victim), [psi.tobytes()] + [m.tobytes() for m in matrices]
    # The hook sits in the last gate's bit positions: the first matrix is converted by then.
    gates = [([0, 1], matrices[0]), ([1, Hook(0, lambda: MUTATIONS[mutation](victim))],
                                     matrices[1])]
    result, raised = call(apply_gates, psi, gates)
    changed = layout_of(victim) != layout
    harmless = not changed or (mutation == "freeze" and victim is not psi)
    if mutation == "resize":
        assert raised is not None and not changed
    elif harmless:
        assert raised is None and result is None
        expected = reference_apply(np.array(psi_before(before[0], batch)), [
            ([0, 1], np.array(matrices[0])), ([1, 0], np.array(matrices[1]))])
        assert psi.tobytes() == expected.tobytes()
        return
    else:
        name = "psi" if victim is psi else "the matrix of gate 0"
        Expect(ValueError, f"{name} was changed during the call (its data, dtype, shape, "
               "strides or writeable flag)").check(raised)
    restore(victim, layout)
    assert [psi.tobytes()] + [m.tobytes() for m in matrices] == before, "an argument changed"
    probe_all([psi] + matrices)  # and no borrow is left behind


def psi_before(raw, batch):
    return np.frombuffer(raw, np.complex64).reshape(batch, -1)


@FUZZ
@given(
    mutation=st.sampled_from(sorted(MUTATIONS)),
    hooked=st.sampled_from(["temperature", "top_p", "top_k", "seed"]),
    temperature=st.sampled_from([0.0, 1.0]),
    size=st.sampled_from([1, 5, 300, 9000]),
    seed=st.integers(0, 2**32 - 1),
)
def test_sample_topp_refuses_logits_changed_by_a_hook(mutation, hooked, temperature, size, seed):
    logits = np.random.default_rng(seed).standard_normal(size).astype(np.float32)
    layout, before = layout_of(logits), logits.tobytes()
    kwargs = {"temperature": temperature, "top_p": 0.9, "top_k": 0, "seed": 5}
    kwargs[hooked] = Hook(kwargs[hooked], lambda: MUTATIONS[mutation](logits))
    result, raised = call(sample_topp, logits, **kwargs)
    changed = layout_of(logits) != layout
    if mutation == "resize":
        assert raised is not None and not changed
    elif mutation == "freeze":
        assert raised is None
        assert result == sample_reference(logits.tolist(), temperature, 0.9, 0, 5)
    else:
        Expect(ValueError, "logits was changed during the call (its data, dtype, shape, strides "
               "or writeable flag)").check(raised)
    restore(logits, layout)
    assert logits.tobytes() == before
