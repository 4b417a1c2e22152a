"""Exact, fast statevector gate application and top-p token sampling on NumPy arrays."""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
from numpy.typing import NDArray

# The aliases below exist for type checkers only; the module itself has no such attributes.

# One or two bit positions, each below n; a two-qubit gate lists its high local bit first.
_BitPositions: TypeAlias = Sequence[SupportsIndex]

# (2, 2) or (4, 4) shared by every row, or (B, 2, 2) or (B, 4, 4) one per row; any strides.
_GateMatrix: TypeAlias = NDArray[np.complex64]

# One gate: a tuple (a list is refused) of its bit positions and its matrix.
_Gate: TypeAlias = tuple[_BitPositions, _GateMatrix]

# Anything that converts to a Python float: float, int, bool, or an object with __float__.
_Real: TypeAlias = SupportsFloat | SupportsIndex

__version__: str
__all__ = ["__version__", "apply_gates", "sample_topp"]

def apply_gates(psi: NDArray[np.complex64], gates: Sequence[_Gate]) -> None:
    """Apply a gate list in place to a (B, 2^n) complex64 C-contiguous
    statevector. Each gate is (bit_positions, matrix) where bit = n-1-qubit
    and the matrix is (2,2)/(4,4) shared or (B,2,2)/(B,4,4) per batch row."""

def sample_topp(
    logits: NDArray[np.float32],
    temperature: _Real,
    top_p: _Real,
    top_k: SupportsIndex = 0,
    seed: SupportsIndex = 0,
) -> int:
    """Sample one token id from a (V,) f32 logits vector.
    temperature <= 0 => argmax; top_k = 0 disables top-k; top_p >= 1 disables
    the nucleus cut. Deterministic for a given seed."""
