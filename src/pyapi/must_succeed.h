// Interpreter calls that the module has no error path for: making the constant strings, the
// result integers and the message strings of exceptions being raised.
// Interpreter threads holding the interpreter lock only. Both panic on failure.
#pragma once

#include "pyapi/owned_ref.h"

namespace qelt {

// Prints the pending exception and panics with "Python API call failed".
[[noreturn]] void python_api_failed();
// Returns `object` as an owned reference, or fails as python_api_failed() when it is null.
PyRef must_succeed(PyObject* object);

}  // namespace qelt
