"""Array acceptance and borrowing: types, ranks, views, conflicts, and the internal-failure path."""

import json
import textwrap

import numpy as np
import pytest

from helpers import BORROW_TABLE, X, LenRaises, Raises, needs_ctypes
from qelt_native import apply_gates, sample_topp

ARRAY_TARGET = "cannot be converted to 'PyArray<T, D>'"


def panic_of(call):
    """Runs a call that must fail internally; returns the PanicException instance."""
    try:
        call()
    except Exception as error:  # an internal failure must not be an Exception
        pytest.fail(f"internal failure surfaced as an Exception: {error!r}")
    except BaseException as error:  # noqa: B036 - the point of the test
        return error
    pytest.fail("no internal failure was raised")


@pytest.mark.parametrize(
    "logits, shown",
    [
        (np.zeros(3, np.float64), "ndarray"),
        (np.zeros((1, 3), np.float32), "ndarray"),
        (np.zeros(3, np.complex64), "ndarray"),
        ([1.0, 2.0], "list"),
        ({"a": 1}, "dict"),
        (3, "int"),
    ],
)
def test_logits_refused(logits, shown):
    with pytest.raises(TypeError) as caught:
        sample_topp(logits, 1.0, 1.0)
    assert str(caught.value) == f"argument 'logits': '{shown}' object {ARRAY_TARGET}"


@pytest.mark.parametrize(
    "psi",
    [np.zeros(4, np.complex64), np.zeros((1, 1, 4), np.complex64), np.zeros((1, 4), np.complex128)],
)
def test_psi_refused_by_rank_and_type(psi):
    with pytest.raises(TypeError, match=f"^argument 'psi': 'ndarray' object {ARRAY_TARGET}"):
        apply_gates(psi, [])


def test_views_are_read_in_logical_order():
    base = np.array([5.0, 1.0, 9.0, 2.0, 3.0, 0.0], np.float32)
    assert sample_topp(base[::-1], 0.0, 1.0) == 3  # 9.0 sits at logical position 3
    assert sample_topp(base[::2], 0.0, 1.0) == 1
    assert sample_topp(base[::-2], 0.0, 1.0) == 1  # [0, 2, 1]
    readonly = base.copy()
    readonly.flags.writeable = False
    assert sample_topp(readonly, 0.0, 1.0) == 2


def test_array_subclass_is_accepted():
    class Mine(np.ndarray):
        pass

    psi = np.zeros((1, 2), np.complex64).view(Mine)
    psi[0, 0] = 1
    apply_gates(psi, [([0], X.view(Mine))])
    assert psi[0, 1] == 1
    assert sample_topp(np.array([0, 2, 1], np.float32).view(Mine), 0.0, 1.0) == 1


def test_psi_as_its_own_gate_matrix_is_an_internal_failure_then_the_module_recovers():
    psi = np.zeros((2, 2), np.complex64)
    psi[:, 0] = 1
    before = psi.copy()
    error = panic_of(lambda: apply_gates(psi, [([0], psi)]))
    cls = type(error)
    assert cls.__name__ == "PanicException" and cls.__module__ == "pyo3_runtime"
    assert [c.__name__ for c in cls.__mro__] == ["PanicException", "BaseException", "object"]
    assert len(error.args) == 1 and isinstance(error.args[0], str)
    assert error.args[0].endswith("AlreadyBorrowed")
    assert np.array_equal(psi, before)
    apply_gates(psi, [([0], X)])  # the borrow of the failed call is gone
    assert np.array_equal(psi[:, 1], [1, 1])


def test_non_writeable_psi():
    psi = np.zeros((1, 2), np.complex64)
    psi.flags.writeable = False
    error = panic_of(lambda: apply_gates(psi, []))
    assert str(error) == "called `Result::unwrap()` on an `Err` value: NotWriteable"


@pytest.mark.parametrize("where", ["seed", "gate list length", "bit positions length"])
def test_panic_raised_again_from_user_code_is_resumed(capfd, where):
    psi = np.zeros((1, 2), np.complex64)
    first = panic_of(lambda: apply_gates(psi, [([0], psi)]))
    psi[0, 0] = 1
    if where == "seed":
        call = lambda: sample_topp(np.ones(2, np.float32), 1.0, 1.0, seed=Raises(first))  # noqa: E731
    elif where == "gate list length":
        call = lambda: apply_gates(psi, LenRaises([([0], X)], first))  # noqa: E731
    else:
        call = lambda: apply_gates(psi, [(LenRaises([0], first), X)])  # noqa: E731
    again = panic_of(call)
    assert type(again) is type(first) and str(again) == str(first)
    assert "Python stack trace below:" in capfd.readouterr().err
    assert psi.tolist() == [[1, 0]]


@pytest.mark.parametrize(
    "psi_of, matrix_of",
    [
        # disjoint byte ranges: the first and second halves of one vector
        (lambda base: base[0:8].reshape(1, 8), lambda base: base[8:12].reshape(2, 2)),
        # interleaved: even elements against odd ones, strides sharing a divisor of 16 bytes
        (lambda base: base[0::2][None, :], lambda base: base[1::2][:4].reshape(2, 2)),
    ],
)
def test_non_overlapping_views_of_one_base_do_not_conflict(psi_of, matrix_of):
    base = np.zeros(16, np.complex64)
    psi, matrix = psi_of(base), matrix_of(base)
    assert np.shares_memory(base, psi) and np.shares_memory(base, matrix)
    if psi.flags.c_contiguous:
        apply_gates(psi, [([0], matrix)])
    else:  # the strided psi is refused only after both borrows succeeded
        with pytest.raises(ValueError, match="^statevector must be C-contiguous$"):
            apply_gates(psi, [([0], matrix)])


def test_overlapping_views_conflict():
    base = np.zeros(16, np.complex64)
    error = panic_of(lambda: apply_gates(base[0:8].reshape(1, 8), [([0], base[4:8].reshape(2, 2))]))
    assert str(error).endswith("AlreadyBorrowed")


def test_error_paths_release_every_borrow():
    psi = np.zeros((1, 4), np.complex64)
    for bad in ([([7], X)], [([0], X), "nope"], [([0], X), ([0, 1], X)]):
        with pytest.raises((ValueError, TypeError)):
            apply_gates(psi, bad)
    with pytest.raises(TypeError):
        apply_gates(psi, [([0], X)], extra=1)
    apply_gates(psi, [([0], X), ([1], X)])  # both psi and X can be borrowed again


@pytest.mark.parametrize(
    "install, reason",
    [
        ("install(Table(0, 0, ACQUIRE(), ACQUIRE(), RELEASE(), RELEASE()))",
         "Version 0 of borrow checking API is not supported"),
        ("core._RUST_NUMPY_BORROW_CHECKING_API = 42",
         "_RUST_NUMPY_BORROW_CHECKING_API is not a capsule"),
    ],
    ids=["version 0", "not a capsule"],
)
@needs_ctypes
def test_unusable_foreign_table(run_python, install, reason):
    result = run_python(
        BORROW_TABLE
        + install
        + textwrap.dedent(
            """
            import qelt_native
            try:
                qelt_native.sample_topp(np.ones(3, np.float32), 0.0, 1.0)
            except BaseException as error:
                print(type(error).__name__, str(error))
            """
        )
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("PanicException Interal borrow checking API error: ")
    assert reason in result.stdout


# Installs another module's table whose functions log each call and answer with the code set
# for the array, then prints, per call of ours, its outcome and the table calls it made.
FOREIGN_TABLE = """
import json
REGISTRY = 0x5EED0
calls, codes, names = [], {}, {}

def logged(kind):
    def function(registry, array):
        name = names.get(id(array), "?")
        calls.append([kind, registry == REGISTRY, name])
        return codes.get(name, 0) if kind.startswith("acquire") else None
    return function

install(Table(1, REGISTRY, ACQUIRE(logged("acquire_read")), ACQUIRE(logged("acquire_write")),
              RELEASE(logged("release_read")), RELEASE(logged("release_write"))))
import qelt_native
psi, x = np.zeros((1, 2), np.complex64), np.eye(2, dtype=np.complex64)
logits = np.ones(3, np.float32)
names.update({id(psi): "psi", id(x): "x", id(logits): "logits"})

def run(code_for, call):
    codes.clear()
    codes.update(code_for)
    calls.clear()
    try:
        call()
        outcome = "ok"
    except BaseException as error:
        outcome = type(error).__name__ + ": " + str(error)
    print(json.dumps([outcome, calls]))

run({}, lambda: qelt_native.apply_gates(psi, [([0], x)]))
run({}, lambda: qelt_native.sample_topp(logits, 0.0, 1.0))
run({}, lambda: qelt_native.apply_gates(psi, [([0], x), ([3], x)]))
run({"x": -1}, lambda: qelt_native.apply_gates(psi, [([0], x)]))
run({"psi": -2}, lambda: qelt_native.apply_gates(psi, [([0], x)]))
run({"logits": -2}, lambda: qelt_native.sample_topp(logits, 0.0, 1.0))
run({"x": 7}, lambda: qelt_native.apply_gates(psi, [([0], x)]))
"""

UNWRAP = "PanicException: called `Result::unwrap()` on an `Err` value: "


@needs_ctypes
def test_borrows_go_through_a_table_installed_by_another_module(run_python):
    """Every borrow of ours is taken and given back through the other module's functions, with
    its registry: each granted one released once, on success and on every error, and a refused
    one never."""
    result = run_python(BORROW_TABLE + FOREIGN_TABLE)
    assert result.returncode == 0, result.stderr
    psi_x = [["acquire_write", "psi"], ["acquire_read", "x"]]
    expected = [  # (outcome, acquisitions in order, releases in any order)
        ("ok", psi_x, [["release_read", "x"], ["release_write", "psi"]]),
        ("ok", [["acquire_read", "logits"]], [["release_read", "logits"]]),
        ("ValueError: gate bit [3] out of range for 1 qubits", psi_x + [["acquire_read", "x"]],
         [["release_read", "x"], ["release_read", "x"], ["release_write", "psi"]]),
        (UNWRAP + "AlreadyBorrowed", psi_x, [["release_write", "psi"]]),
        (UNWRAP + "NotWriteable", [["acquire_write", "psi"]], []),
        ("PanicException: Unexpected return code -2 from borrow checking API",
         [["acquire_read", "logits"]], []),
        ("PanicException: Unexpected return code 7 from borrow checking API", psi_x,
         [["release_write", "psi"]]),
    ]
    lines = [json.loads(line) for line in result.stdout.splitlines()]
    assert len(lines) == len(expected)
    for (outcome, calls), (want, acquired, released) in zip(lines, expected):
        assert outcome == want
        assert all(their_registry for _, their_registry, _ in calls), calls
        calls = [[kind, name] for kind, _, name in calls]
        assert calls[: len(acquired)] == acquired, calls
        assert sorted(calls[len(acquired) :]) == sorted(released), calls


@needs_ctypes
def test_table_is_installed_for_other_modules(run_python):
    result = run_python(
        BORROW_TABLE
        + textwrap.dedent(
            """
            import qelt_native
            assert not hasattr(core, "_RUST_NUMPY_BORROW_CHECKING_API")
            qelt_native.sample_topp(np.ones(3, np.float32), 0.0, 1.0)
            print(type(core._RUST_NUMPY_BORROW_CHECKING_API).__name__, installed().version)
            """
        )
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "PyCapsule 1"


def test_arrays_at_odd_addresses():
    # Views at a byte offset of a bytearray are writeable arrays at unaligned addresses.
    psi = np.frombuffer(bytearray(8 * 4 + 1), np.complex64, count=4, offset=1).reshape(1, 4)
    psi[0, 0] = 1
    apply_gates(psi, [([0], X), ([1], X)])
    assert np.array_equal(psi[0], [0, 0, 0, 1])
    logits = np.frombuffer(bytearray(4 * 64 + 1), np.float32, count=64, offset=1)
    logits[:] = np.arange(64)[::-1]
    assert sample_topp(logits, 0.0, 1.0) == 0
