"""The module's internal-failure exception class, reached the only way Python code can: by
catching an instance (it is not an attribute of the module)."""

import numpy as np

from qelt_native import apply_gates


def internal_failure():
    """A fresh instance of the internal-failure exception: psi passed as its own gate matrix."""
    psi = np.zeros((1, 2), np.complex64)
    try:
        apply_gates(psi, [([0], psi)])
    except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
        return error
    raise AssertionError("passing psi as its own matrix did not fail")


PanicException = type(internal_failure())
