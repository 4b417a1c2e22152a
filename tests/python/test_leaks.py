"""No leaks: thousands of calls of every success and error path leave memory flat.

Each case runs its call in a loop (after a warm-up that fills the process-wide caches) and then
requires three things:
- the reference count of every argument object, and of the exception class raised, is exactly
  what it was (a lost reference to an argument, or a leaked exception, moves it);
- tracemalloc's traced Python memory has grown by less than TRACED_TOLERANCE (a leaked Python
  object per call, 16 bytes or more, would add at least CALLS * 16 bytes);
- the resident size (from /proc/self/statm; on Windows the working set) has grown by less than
  RSS_TOLERANCE (a native buffer leaked per call: the prepared gate copies, the logits copy, a
  pending error's text).
  Under AddressSanitizer, whose quarantine holds freed memory, the resident size is not checked.

QELT_LEAK_CALLS sets the number of calls per case (default 10000).

The borrow registry, which keeps the entries of a few hundred bases after their last borrow
ended, is checked in a fresh interpreter against fresh arrays at distinct addresses.
"""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

from helpers import (BORROW_TABLE, C_LIBRARY, X, Floaty, Index, LenRaises, Raises, complex_normal,
                     needs_ctypes)
from panic_class import PanicException, internal_failure
from qelt_native import apply_gates, sample_topp

CALLS = int(os.environ.get("QELT_LEAK_CALLS", "10000"))
TRACED_TOLERANCE = 64 * 1024
RSS_TOLERANCE = 2 * 1024 * 1024
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

RNG = np.random.default_rng(5)
CZ = np.diag([1, 1, 1, -1]).astype(np.complex64)
LOGITS = RNG.standard_normal(1024).astype(np.float32)


def state(batch, dim):
    return complex_normal(RNG, (batch, dim))


def per_row(batch, d):
    """Anti-diagonal permutations, one per row: the amplitudes stay finite over many calls."""
    return np.ascontiguousarray(np.broadcast_to(np.eye(d, dtype=np.complex64)[::-1], (batch, d, d)))


def raises_fresh(kind):
    """Raises a fresh exception from every conversion hook; the TypeError one carries a cause."""

    def make():
        error = kind("from user code")
        if kind is TypeError:
            error.__cause__ = KeyError("root")
        return error

    return Raises(make)


class IterFails:
    """A sequence whose iterator yields one valid gate, then fails."""

    def __init__(self, gate):
        self.gate = gate

    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise AssertionError("never indexed")

    def __iter__(self):
        yield self.gate
        raise KeyError("iterator failed")


# name -> (call, objects whose reference counts must not move, expected exception or None)
def success_cases():
    psi_serial, psi_rows, psi_long = state(1, 64), state(4, 256), state(1, 1 << 15)
    rows_matrix, serial_matrix = per_row(4, 4), per_row(1, 2)
    gates_serial = [([0], X), ([5, 2], CZ), ([3], serial_matrix), ([1, 4], CZ)]
    gates_rows = [([7], X), ([0, 6], rows_matrix), ([2], X)]
    gates_long = [([14], X), ([3, 9], CZ)]
    bits = [Index(1)]
    len_raises = LenRaises([([0], X)])
    strided = LOGITS[::-3]
    return {
        "apply serial": (lambda: apply_gates(psi_serial, gates_serial),
                         [psi_serial, serial_matrix, X, CZ, gates_serial], None),
        "apply row-parallel": (lambda: apply_gates(psi_rows, gates_rows),
                               [psi_rows, rows_matrix, X, gates_rows], None),
        "apply in-row": (lambda: apply_gates(psi_long, gates_long),
                         [psi_long, X, CZ, gates_long], None),
        "apply keywords, tuple list, index bits": (
            lambda: apply_gates(gates=((bits, X),), psi=psi_serial), [psi_serial, X, bits[0]], None),
        "apply length fails": (lambda: apply_gates(psi_serial, len_raises),
                               [psi_serial, len_raises, X], None),
        "apply empty list": (lambda: apply_gates(psi_rows, []), [psi_rows], None),
        "sample argmax": (lambda: sample_topp(LOGITS, 0.0, 1.0), [LOGITS], None),
        "sample nucleus": (lambda: sample_topp(LOGITS, 0.8, 0.9, seed=12345), [LOGITS], None),
        "sample keywords, strided, objects": (
            lambda: sample_topp(top_k=Index(7), seed=Index(2**64 - 1), logits=strided,
                                temperature=Floaty(0.5), top_p=0.5),
            [strided, LOGITS], None),
    }


def error_cases():
    psi = state(2, 8)
    psi6, psi_wide = state(1, 6), psi.astype(np.complex128)
    fortran = np.asfortranarray(state(2, 8))
    readonly = state(1, 4)
    readonly.flags.writeable = False
    base = np.zeros(16, np.complex64)
    psi_view, overlap = base[0:8].reshape(1, 8), base[4:8].reshape(2, 2)
    gate = ([0], X)
    iter_fails = IterFails(gate)
    raises_type, raises_value = raises_fresh(TypeError), raises_fresh(ValueError)
    # Re-raises a caught PanicException from __index__: the resumed-failure path. A fresh
    # traceback each time: re-raising one instance would chain every old one.
    panic = internal_failure()
    rethrow = Raises(lambda: panic.with_traceback(None))
    big = 2**64
    E = np.zeros(0, np.float32)
    L = LOGITS
    cases = {
        # binding
        "apply missing": (lambda: apply_gates(), [], TypeError),
        "apply too many": (lambda: apply_gates(psi, [], 3), [psi], TypeError),
        "apply twice psi": (lambda: apply_gates(psi, [], psi=psi), [psi], TypeError),
        "sample unexpected keyword": (lambda: sample_topp(L, 1.0, 1.0, topk=3), [L], TypeError),
        "sample surrogate keyword": (lambda: sample_topp(L, 1.0, 1.0, **{"\udcff": 1}), [L],
                                     TypeError),
        "sample missing": (lambda: sample_topp(L), [L], TypeError),
        # conversion
        "psi list": (lambda: apply_gates([[1j]], []), [], TypeError),
        "psi complex128": (lambda: apply_gates(psi_wide, []), [psi_wide], TypeError),
        "gates str": (lambda: apply_gates(psi, "gates"), [psi], TypeError),
        "gates set": (lambda: apply_gates(psi, {1}), [psi], TypeError),
        "gates generator": (lambda: apply_gates(psi, (g for g in [gate])), [psi, X], TypeError),
        "gate as list": (lambda: apply_gates(psi, [gate, [[0], X]]), [psi, X], TypeError),
        "gate of three": (lambda: apply_gates(psi, [gate, ([0], X, X)]), [psi, X], ValueError),
        "bits str": (lambda: apply_gates(psi, [gate, ("0", X)]), [psi, X], TypeError),
        "bits int": (lambda: apply_gates(psi, [gate, (0, X)]), [psi, X], TypeError),
        "bit negative": (lambda: apply_gates(psi, [gate, ([-1], X)]), [psi, X], OverflowError),
        "bit too large": (lambda: apply_gates(psi, [gate, ([big], X)]), [psi, X, big],
                          OverflowError),
        "bit raises TypeError": (lambda: apply_gates(psi, [gate, ([raises_type], X)]),
                                 [psi, X, raises_type], TypeError),
        "bit raises ValueError": (lambda: apply_gates(psi, [gate, ([raises_value], X)]),
                                  [psi, X, raises_value], ValueError),
        "matrix complex128": (lambda: apply_gates(psi, [gate, ([0], psi_wide)]),
                              [psi, X, psi_wide], TypeError),
        "iterator fails": (lambda: apply_gates(psi, iter_fails), [psi, X, iter_fails], KeyError),
        "logits list": (lambda: sample_topp([1.0], 1.0, 1.0), [], TypeError),
        "temperature str": (lambda: sample_topp(L, "1", 1.0), [L], TypeError),
        "temperature overflow": (lambda: sample_topp(L, 10**400, 1.0), [L], OverflowError),
        "top_p raises": (lambda: sample_topp(L, 1.0, raises_type), [L, raises_type], TypeError),
        "top_k None": (lambda: sample_topp(L, 1.0, 1.0, None), [L], TypeError),
        "seed negative": (lambda: sample_topp(L, 1.0, 1.0, seed=-1), [L], OverflowError),
        "seed too large": (lambda: sample_topp(L, 1.0, 1.0, 0, big), [L, big], OverflowError),
        "seed raises ValueError": (lambda: sample_topp(L, 1.0, 1.0, seed=raises_value),
                                   [L, raises_value], ValueError),
        # validation
        "dim not a power of two": (lambda: apply_gates(psi6, [gate]), [psi6, X], ValueError),
        "no qubit": (lambda: apply_gates(psi, [gate, ([], X)]), [psi, X], ValueError),
        "three qubits": (lambda: apply_gates(psi, [gate, ([0, 1, 2], X)]), [psi, X], ValueError),
        "bit out of range": (lambda: apply_gates(psi, [gate, ([1, 9], CZ)]), [psi, X, CZ],
                             ValueError),
        "bits not distinct": (lambda: apply_gates(psi, [gate, ([1, 1], CZ)]), [psi, X, CZ],
                              ValueError),
        "matrix shape": (lambda: apply_gates(psi, [gate, ([1], CZ)]), [psi, X, CZ], ValueError),
        "psi not contiguous": (lambda: apply_gates(fortran, [gate]), [fortran, X], ValueError),
        "empty logits": (lambda: sample_topp(E, 1.0, 1.0), [E], ValueError),
        # borrows and internal failures
        "psi as its own matrix": (lambda: apply_gates(psi, [gate, ([0], psi)]),
                                  [psi, X, PanicException], PanicException),
        "psi not writeable": (lambda: apply_gates(readonly, [gate]), [readonly, X, PanicException],
                              PanicException),
        "overlapping views": (lambda: apply_gates(psi_view, [([0], overlap)]),
                              [psi_view, overlap, base, PanicException], PanicException),
        "panic resumed from user code": (lambda: sample_topp(L, 1.0, 1.0, seed=rethrow),
                                         [L, rethrow, panic, PanicException],
                                         PanicException),
    }
    return cases


SUCCESS = success_cases()
ERRORS = error_cases()


def resident_bytes():
    if sys.platform == "win32":
        import ctypes
        from ctypes import wintypes

        class Counters(ctypes.Structure):
            _fields_ = [("cb", wintypes.DWORD), ("PageFaultCount", wintypes.DWORD)] + [
                (name, ctypes.c_size_t) for name in (
                    "PeakWorkingSetSize", "WorkingSetSize", "QuotaPeakPagedPoolUsage",
                    "QuotaPagedPoolUsage", "QuotaPeakNonPagedPoolUsage",
                    "QuotaNonPagedPoolUsage", "PagefileUsage", "PeakPagefileUsage")]

        kernel32 = ctypes.WinDLL("kernel32")
        kernel32.GetCurrentProcess.restype = wintypes.HANDLE
        kernel32.K32GetProcessMemoryInfo.argtypes = [wintypes.HANDLE, ctypes.c_void_p,
                                                     wintypes.DWORD]
        counters = Counters(cb=ctypes.sizeof(Counters))
        assert kernel32.K32GetProcessMemoryInfo(
            kernel32.GetCurrentProcess(), ctypes.byref(counters), counters.cb)
        return counters.WorkingSetSize
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGESIZE")


@pytest.fixture(scope="module", autouse=True)
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


def run_flat(call, tracked, error, calls):
    catch = error or ()

    def loop(count):
        for _ in range(count):
            try:
                call()
            except catch:
                pass

    loop(max(calls // 5, 50))
    gc.collect()
    refs = [sys.getrefcount(o) for o in tracked]
    traced_before = tracemalloc.get_traced_memory()[0]
    rss_before = resident_bytes()
    loop(calls)
    gc.collect()
    assert [sys.getrefcount(o) for o in tracked] == refs, "an argument's reference count moved"
    traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    assert traced_growth < TRACED_TOLERANCE, f"traced memory grew by {traced_growth} bytes"
    if not UNDER_ASAN:
        rss_growth = resident_bytes() - rss_before
        assert rss_growth < RSS_TOLERANCE, f"resident size grew by {rss_growth} bytes"


@pytest.mark.timeout(120)
@pytest.mark.parametrize("name", list(SUCCESS))
def test_success_paths_do_not_leak(name):
    call, tracked, _ = SUCCESS[name]
    run_flat(call, tracked, None, CALLS)


@pytest.mark.timeout(120)
@pytest.mark.parametrize("name", list(ERRORS))
def test_error_paths_do_not_leak(name, capfd):
    call, tracked, error = ERRORS[name]
    with pytest.raises(error):  # the case really takes its error path
        call()
    # The resumed panic prints a traceback per call; a tenth of the calls is plenty.
    calls = CALLS // 10 if name == "panic resumed from user code" else CALLS
    run_flat(call, tracked, error, calls)
    capfd.readouterr()


# In a fresh interpreter: every call borrows arrays it has never seen, all kept alive so that
# their addresses stay distinct, far more of them than the registry keeps empty entries for.
# Prints the growth of the C heap in use (glibc's count of the main arena, where the calling
# thread allocates the registry; "unmeasured" elsewhere, where no such count exists), then what the table answers while it holds more bases than
# that: a view still read-borrowed must refuse a writer after the borrow of its base (under the
# same entry) has ended, and take one once its own borrow has ended too; then a call with psi as
# its own matrix.
FRESH_ARRAYS = """
import gc, sys
from qelt_native import apply_gates, sample_topp

class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]
if sys.platform == "linux":
    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = MallInfo2
    heap_in_use = lambda: mallinfo2().uordblks
else:
    heap_in_use = lambda: 0
X = np.array([[0, 1], [1, 0]], np.complex64)

def fresh_calls(count, held):
    for _ in range(count):
        psi, matrix, logits = np.zeros((1, 2), np.complex64), X.copy(), np.ones(4, np.float32)
        psi[0, 0] = 1
        apply_gates(psi, [([0], matrix)])
        sample_topp(logits, 0.0, 1.0)
        held.append((psi, matrix, logits))

fresh_calls(1000, [])
gc.collect()
before = heap_in_use()
held = []
fresh_calls(CALLS, held)
assert all(psi[0].tolist() == [0, 1] for psi, _, _ in held)
del held
gc.collect()
print(heap_in_use() - before if sys.platform == "linux" else "unmeasured")

table, base = installed(), np.zeros(8, np.complex64)
registry, view = table.registry, base[2:6]
others = [np.zeros(1, np.float32) for _ in range(1000)]  # the registry is past its limit
assert all(table.acquire_read(registry, other) == 0 for other in others)
print(table.acquire_read(registry, base), table.acquire_read(registry, view))
table.release_read(registry, base)
print(table.acquire_write(registry, view))
table.release_read(registry, view)
print(table.acquire_write(registry, view))
table.release_write(registry, view)
for other in others:
    table.release_read(registry, other)
psi = np.zeros((1, 2), np.complex64)
try:
    apply_gates(psi, [([0], psi)])
except BaseException as error:
    print(str(error))
apply_gates(psi, [([0], X)])
"""


@needs_ctypes
@pytest.mark.skipif(C_LIBRARY != "glibc", reason="reads the heap with glibc's mallinfo2")
def test_registry_of_fresh_arrays_stays_bounded_and_keeps_its_rules(run_python):
    """Without the trim every base ever borrowed keeps an entry: these calls would leave about
    7 MB behind; with it the heap comes back to within a few kilobytes."""
    result = run_python(BORROW_TABLE + FRESH_ARRAYS.replace("CALLS", "25000"), timeout=240)
    assert result.returncode == 0, result.stderr
    growth, *answers = result.stdout.splitlines()
    # The sanitizer's allocator keeps its own books; mallinfo2 is glibc's.
    if not UNDER_ASAN and growth != "unmeasured":
        assert int(growth) < 1024 * 1024, f"the C heap grew by {growth} bytes"
    already = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
    assert answers == ["0 0", "-1", "0", already]
