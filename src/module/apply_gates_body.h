// The body of apply_gates: the gate list described to the core's gate rules, which check and copy
// every gate, their errors rendered as messages, then the kernels with the interpreter lock
// released.
// Interpreter threads holding the interpreter lock. Returns pending errors (ValueError);
// nothing is written to psi unless every check passed.
#pragma once

#include <vector>

#include "module/gate_list.h"
#include "pyapi/entry.h"

namespace qelt {

PyResult apply_gates_body(const ArrayBorrow& psi, const std::vector<GateArgument>& gates);

}  // namespace qelt
