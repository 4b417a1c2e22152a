// Conversion of the `gates` argument: a sequence (not a str) of 2-tuples (bit positions, matrix),
// each matrix a complex64 array of any rank, borrowed read-only until the list is dropped.
// Interpreter threads holding the interpreter lock. Returns pending errors; may panic (borrow
// failure, "capacity overflow").
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "numpy_access/array_borrow.h"
#include "pyapi/pending_error.h"

namespace qelt {

struct GateArgument {
  std::vector<std::uint64_t> bit_positions;
  ArrayBorrow matrix;
};

std::expected<std::vector<GateArgument>, PendingError> convert_gate_list(PyObject* value);

}  // namespace qelt
