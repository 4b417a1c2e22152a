// The gate-list checks and the copies into prepared gates.
#include "quantum/prepare_gates.h"

#include <bit>
#include <cstring>

namespace qelt {
namespace {

// Copies every element of a rank-2 or rank-3 matrix in logical row-major order, addressing
// elements through the byte strides, so any layout (transposed, Fortran-ordered, stepped,
// reversed, unaligned) reads exactly the elements the view covers.
std::vector<Amplitude> copy_logical(const MatrixView& m) {
  const std::size_t nd = m.shape.size();
  const std::ptrdiff_t outer = nd == 3 ? m.shape[0] : 1;
  const std::ptrdiff_t rows = m.shape[nd - 2], cols = m.shape[nd - 1];
  const std::ptrdiff_t outer_stride = nd == 3 ? m.strides[0] : 0;
  const std::ptrdiff_t row_stride = m.strides[nd - 2], col_stride = m.strides[nd - 1];
  std::vector<Amplitude> out;
  out.reserve(static_cast<std::size_t>(outer * rows * cols));
  for (std::ptrdiff_t b = 0; b < outer; ++b) {
    const std::byte* slice = m.data + b * outer_stride;
    for (std::ptrdiff_t r = 0; r < rows; ++r) {
      for (std::ptrdiff_t c = 0; c < cols; ++c) {
        Amplitude value;
        std::memcpy(&value, slice + r * row_stride + c * col_stride, sizeof value);
        out.push_back(value);
      }
    }
  }
  return out;
}

}  // namespace

std::expected<std::vector<PreparedGate>, GateError> prepare_gates(
    const StatevectorShape& state, std::span<const GateDescription> gates) {
  if (!std::has_single_bit(state.row_length)) {
    return std::unexpected(
        GateError{.kind = GateErrorKind::DIM_NOT_POWER_OF_TWO, .row_length = state.row_length});
  }
  const auto qubits = static_cast<std::uint64_t>(std::countr_zero(state.row_length));

  std::vector<PreparedGate> prepared;
  prepared.reserve(gates.size());
  for (std::size_t i = 0; i < gates.size(); ++i) {
    const std::span<const std::uint64_t> bits = gates[i].bits;
    const std::size_t k = bits.size();
    if (k != 1 && k != 2) {
      return std::unexpected(
          GateError{.kind = GateErrorKind::UNSUPPORTED_BIT_COUNT, .gate = i, .bit_count = k});
    }
    for (std::uint64_t bit : bits) {
      if (bit >= qubits) {
        return std::unexpected(
            GateError{.kind = GateErrorKind::BIT_OUT_OF_RANGE,
                      .gate = i,
                      .qubits = qubits,
                      .bits = std::vector<std::uint64_t>(bits.begin(), bits.end())});
      }
    }
    if (k == 2 && bits[0] == bits[1]) {
      return std::unexpected(GateError{.kind = GateErrorKind::REPEATED_BITS, .gate = i});
    }
    const MatrixView& m = gates[i].matrix;
    const std::span<const std::ptrdiff_t> shape = m.shape;
    const std::ptrdiff_t d = k == 1 ? 2 : 4;
    const bool shared = shape.size() == 2 && shape[0] == d && shape[1] == d;
    // The rank decides the form, never the extents: (2, 2, 2) is per-row for two rows.
    const bool per_row = shape.size() == 3 && static_cast<std::uint64_t>(shape[0]) == state.rows &&
                         shape[1] == d && shape[2] == d;
    if (!shared && !per_row) {
      return std::unexpected(
          GateError{.kind = GateErrorKind::MATRIX_SHAPE,
                    .gate = i,
                    .rows = state.rows,
                    .bit_count = k,
                    .shape = std::vector<std::ptrdiff_t>(shape.begin(), shape.end())});
    }
    prepared.push_back(
        {std::vector<std::uint64_t>(bits.begin(), bits.end()), copy_logical(m), per_row});
  }

  // After the gates, so that a call with a bad gate and a non-contiguous batch reports the gate.
  if (!state.c_contiguous)
    return std::unexpected(GateError{.kind = GateErrorKind::NOT_C_CONTIGUOUS});
  return prepared;
}

}  // namespace qelt
