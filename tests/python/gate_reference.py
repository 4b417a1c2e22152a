"""Independent float32 reference for apply_gates, written from the gate rule step by step.

Every product and every sum is its own float32 NumPy operation, in the order the rule gives:
a complex product m*a is (m.re*a.re - m.im*a.im, m.re*a.im + m.im*a.re) with each of the four
products rounded to float32 before the subtraction or addition, and a row of a gate is the
left-to-right sum of its column products. Real and imaginary parts are kept as separate float32
arrays throughout, because NumPy's complex multiplication does not promise this rounding order.
The work is vectorised over all amplitude pairs or quadruples of a gate at once.
"""

import numpy as np

F32 = np.float32


def _cmul(m_re, m_im, a_re, a_im):
    """Complex product with each real product rounded to float32 on its own."""
    rr = m_re * a_re
    ii = m_im * a_im
    ri = m_re * a_im
    ir = m_im * a_re
    return rr - ii, ri + ir


def _row_sum(m_re, m_im, r, cols):
    """sum_c M[r][c]*a[c], added strictly left to right: ((p0 + p1) + p2) + p3."""
    acc_re = acc_im = None
    for c, (a_re, a_im) in enumerate(cols):
        p_re, p_im = _cmul(m_re[:, r, c], m_im[:, r, c], a_re, a_im)
        if acc_re is None:
            acc_re, acc_im = p_re, p_im
        else:
            acc_re = acc_re + p_re
            acc_im = acc_im + p_im
    return acc_re, acc_im


def _matrix_parts(matrix, batch, dim, ndim_extra):
    """Real and imaginary float32 parts of a gate matrix as (B, d, d, 1, ...) arrays.

    The matrix is read in logical row-major order (np.array copies it that way whatever its
    strides), shared matrices are broadcast to every row, and trailing unit axes make each
    element broadcast against the amplitude views of the kernel.
    """
    m = np.array(matrix, dtype=np.complex64, copy=True)
    if m.ndim == 2:
        assert m.shape == (dim, dim)
        m = np.broadcast_to(m, (batch, dim, dim))
    else:
        assert m.shape == (batch, dim, dim)
    shape = (batch, dim, dim) + (1,) * ndim_extra
    m_re = np.ascontiguousarray(m.real, dtype=F32).reshape(shape)
    m_im = np.ascontiguousarray(m.imag, dtype=F32).reshape(shape)
    return m_re, m_im


def _apply_one_qubit(re, im, bit, matrix):
    batch, d_row = re.shape
    half = 1 << bit
    shape = (batch, d_row // (2 * half), 2, half)
    vre = re.reshape(shape)
    vim = im.reshape(shape)
    m_re, m_im = _matrix_parts(matrix, batch, 2, 2)
    cols = [(vre[:, :, 0, :], vim[:, :, 0, :]), (vre[:, :, 1, :], vim[:, :, 1, :])]
    new = [_row_sum(m_re, m_im, r, cols) for r in range(2)]
    for r in range(2):
        vre[:, :, r, :] = new[r][0]
        vim[:, :, r, :] = new[r][1]


def _apply_two_qubit(re, im, bits, matrix):
    b0, b1 = bits
    lo, hi = min(b0, b1), max(b0, b1)
    batch, d_row = re.shape
    # Axes: row, blocks above hi, bit hi, bits between, bit lo, bits below lo.
    shape = (batch, d_row >> (hi + 1), 2, 1 << (hi - lo - 1), 2, 1 << lo)
    vre = re.reshape(shape)
    vim = im.reshape(shape)

    def local(index):
        # Local index = 2*bit(b0) + bit(b1): the first listed position is the high bit.
        bit_b0, bit_b1 = index >> 1, index & 1
        bit_hi, bit_lo = (bit_b0, bit_b1) if b0 == hi else (bit_b1, bit_b0)
        return (slice(None), slice(None), bit_hi, slice(None), bit_lo, slice(None))

    m_re, m_im = _matrix_parts(matrix, batch, 4, 3)
    cols = [(vre[local(c)], vim[local(c)]) for c in range(4)]
    new = [_row_sum(m_re, m_im, r, cols) for r in range(4)]
    for r in range(4):
        vre[local(r)] = new[r][0]
        vim[local(r)] = new[r][1]


def reference_apply(psi, gates):
    """Return a new complex64 array: psi after the gates, applied in list order.

    psi is a (B, 2^n) complex64 array; each gate is (bit_positions, matrix) with one or two bit
    positions and a matrix of shape (d, d) shared or (B, d, d) per row. psi is not modified.
    """
    psi = np.asarray(psi)
    assert psi.dtype == np.complex64 and psi.ndim == 2
    re = np.ascontiguousarray(psi.real, dtype=F32).copy()
    im = np.ascontiguousarray(psi.imag, dtype=F32).copy()
    with np.errstate(all="ignore"):  # overflow and invalid results are part of the rule
        for bits, matrix in gates if psi.size else []:
            bits = [int(b) for b in bits]
            if len(bits) == 1:
                _apply_one_qubit(re, im, bits[0], matrix)
            elif len(bits) == 2:
                _apply_two_qubit(re, im, bits, matrix)
            else:
                raise ValueError("reference handles one- and two-qubit gates only")
    out = np.empty(psi.shape, dtype=np.complex64)
    out.real = re
    out.imag = im
    return out
