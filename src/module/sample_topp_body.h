// The body of sample_topp: the empty check, the copy of the logits in logical order, then the
// sampler with the interpreter lock released.
// Interpreter threads holding the interpreter lock. Returns a pending error (ValueError) for
// empty logits.
#pragma once

#include <cstdint>

#include "numpy_access/array_borrow.h"
#include "pyapi/entry.h"

namespace qelt {

PyResult sample_topp_body(const ArrayBorrow& logits, float temperature, float top_p,
                          std::uint64_t top_k, std::uint64_t seed);

}  // namespace qelt
