// The gate-list rules: the checks that decide whether a statevector batch and its gate list are
// accepted, in their fixed order, and the copy of every accepted gate into a prepared gate.
// Any thread; reads only the memory the descriptions point to. Returns the first broken rule as a
// GateError; never panics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "quantum/prepared_gate.h"

namespace qelt {

// The statevector batch as the rules see it: `rows` rows of `row_length` amplitudes.
struct StatevectorShape {
  std::uint64_t rows = 0;
  std::uint64_t row_length = 0;
  bool c_contiguous = true;
};

// A complex64 matrix of any rank, read through byte strides (any sign, any alignment).
struct MatrixView {
  const std::byte* data = nullptr;          // element [0, ..., 0]
  std::span<const std::ptrdiff_t> shape;    // one extent per axis
  std::span<const std::ptrdiff_t> strides;  // bytes, one per axis
};

struct GateDescription {
  std::span<const std::uint64_t> bits;
  MatrixView matrix;
};

// The rules in the order they are checked; the first one broken decides the error.
enum class GateErrorKind {
  DIM_NOT_POWER_OF_TWO,   // row_length
  UNSUPPORTED_BIT_COUNT,  // bit_count
  BIT_OUT_OF_RANGE,       // bits, qubits
  REPEATED_BITS,
  MATRIX_SHAPE,     // shape, bit_count, rows
  NOT_C_CONTIGUOUS  // checked after every gate
};

// A broken rule with the values its report needs; fields a kind does not use stay empty.
struct GateError {
  GateErrorKind kind;
  std::size_t gate = 0;  // position of the failing gate in the list (gate rules only)
  std::uint64_t row_length = 0;
  std::uint64_t rows = 0;
  std::uint64_t qubits = 0;
  std::size_t bit_count = 0;
  std::vector<std::uint64_t> bits{};    // the failing gate's whole position list
  std::vector<std::ptrdiff_t> shape{};  // the failing gate's whole matrix shape

  bool operator==(const GateError&) const = default;
};

// Checks the row length, then every gate in list order (bit count, each position's range,
// distinct positions, matrix shape), then contiguity, and copies every gate as it passes: the
// matrix in logical row-major order, per_row when its rank is 3.
std::expected<std::vector<PreparedGate>, GateError> prepare_gates(
    const StatevectorShape& state, std::span<const GateDescription> gates);

}  // namespace qelt
