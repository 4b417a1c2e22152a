"""Helpers shared by the test files: argument objects that convert through Python hooks, random
statevectors, bit-for-bit comparison of complex64 arrays, the borrow table seen through ctypes
in a child interpreter, and what the interpreter under test may lack."""

import importlib.util
import platform
import sysconfig

import numpy as np
import pytest

X = np.array([[0, 1], [1, 0]], np.complex64)


# ---------------------------------------------------------------------------------------------
# Arguments that convert through __index__, __float__, __len__ or __iter__


class Index:
    """An integer argument that is not an int: it converts through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value})"


class Floaty:
    """A float argument that is not a float: it converts through __float__."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Raises:
    """An integer or float argument whose conversion fails: __index__ and __float__ raise `error`,
    an exception instance (raised as it is every time) or a function giving the one to raise."""

    def __init__(self, error):
        self.error = error

    def exception(self):
        return self.error() if callable(self.error) else self.error

    def __index__(self):
        raise self.exception()

    def __float__(self):
        raise self.exception()


class Hook:
    """An integer or float argument whose conversion runs `action` first."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value

    def __float__(self):
        self.action()
        return float(self.value)


class LenRaises(list):
    """A list whose length query fails (with `error`, by default a RuntimeError): a gate list
    still converts from its iterator."""

    def __init__(self, items=(), error=None):
        super().__init__(items)
        self.error = error

    def __len__(self):
        raise self.error if self.error is not None else RuntimeError("no length")


# ---------------------------------------------------------------------------------------------
# Statevectors and bit-for-bit comparison


def complex_normal(rng, shape):
    """complex64 values with standard normal real and imaginary parts, the real ones drawn first."""
    return (rng.standard_normal(shape) + 1j * rng.standard_normal(shape)).astype(np.complex64)


def random_state(rng, batch, n):
    """A (batch, 2^n) complex64 statevector batch of complex_normal values (not normalised)."""
    return complex_normal(rng, (batch, 1 << n))


def bits_of(array):
    return np.ascontiguousarray(array).view(np.uint32)


def same_bits(a, b):
    return a.shape == b.shape and np.array_equal(bits_of(a), bits_of(b))


def assert_bits_equal(actual, expected):
    """Same shape and the same float32 words; on a difference, says how many and shows the first."""
    assert actual.shape == expected.shape
    a, e = bits_of(actual), bits_of(expected)
    if not np.array_equal(a, e):
        diff = np.argwhere(a != e)
        first = tuple(diff[0])
        raise AssertionError(
            f"{len(diff)} of {a.size} float32 words differ; first at {first}: "
            f"got {a[first]:#010x}, expected {e[first]:#010x}"
        )


# ---------------------------------------------------------------------------------------------
# The platform under test

# "glibc", "musl", or None for another C library.
if platform.libc_ver()[0] == "glibc":
    C_LIBRARY = "glibc"
elif (sysconfig.get_config_var("HOST_GNU_TYPE") or "").endswith("-musl"):
    C_LIBRARY = "musl"
else:
    C_LIBRARY = None

# An interpreter built without libffi has no _ctypes (the musl CPython that the musllinux wheel
# is tested on here).
needs_ctypes = pytest.mark.skipif(importlib.util.find_spec("_ctypes") is None,
                                  reason="needs ctypes: this interpreter has no _ctypes module")


# ---------------------------------------------------------------------------------------------
# The shared borrow table, for code run in a fresh interpreter (it is process-wide state)

# Defines NumPy's array module as `core`; `Table`, the table's layout, whose functions are
# called with the interpreter lock held (PYFUNCTYPE), as every module sharing it must;
# `install(table)`, which puts a table of another module in place before qelt_native first looks
# for one; and `installed()`, the table now in place.
BORROW_TABLE = """
import ctypes
import numpy as np
major = int(np.__version__.split(".")[0])
core = __import__("numpy._core.multiarray" if major >= 2 else "numpy.core.multiarray",
                  fromlist=["multiarray"])
CAPSULE_NAME = ctypes.c_char_p(b"_RUST_NUMPY_BORROW_CHECKING_API")  # outlives the capsule
ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)

class Table(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("registry", ctypes.c_void_p),
                ("acquire_read", ACQUIRE), ("acquire_write", ACQUIRE),
                ("release_read", RELEASE), ("release_write", RELEASE)]

KEPT = []  # tables installed, alive for as long as their capsules

def install(table):
    KEPT.append(table)
    new = ctypes.pythonapi.PyCapsule_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    core._RUST_NUMPY_BORROW_CHECKING_API = new(ctypes.addressof(table), CAPSULE_NAME, None)

def installed():
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return Table.from_address(get(core._RUST_NUMPY_BORROW_CHECKING_API, CAPSULE_NAME))
"""
