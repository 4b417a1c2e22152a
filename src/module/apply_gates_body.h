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

PyResult apply_gates_body(const ArrayBorrow& psi, const std::vector<GateArgument>& gates);

}  // namespace qelt
