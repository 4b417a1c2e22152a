// The body of apply_gates: checks of the statevector and every gate in their fixed order,
// copies of every matrix into prepared gates, the contiguity check, then the kernels with the
// interpreter lock released.
// Interpreter threads holding the interpreter lock. Returns pending errors (ValueError);
// nothing is written to psi unless every check passed.
#pragma once

#include <vector>

#include "module/gate_list.h"
#include "pyapi/entry.h"

namespace qelt {

// Moves each gate's bit list out of `gates` into the prepared gate; the borrows stay.
PyResult apply_gates_body(const ArrayBorrow& psi, std::vector<GateArgument>& gates);

}  // namespace qelt
