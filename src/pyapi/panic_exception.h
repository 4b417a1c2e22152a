// The internal-failure exception class PanicException: made on first need and kept for the
// process, and the resumption of an internal failure whose exception comes back from Python.
// Interpreter threads holding the interpreter lock only. panic_exception_type and resume_panic
// panic; is_panic_exception_class never fails.
#pragma once

#include "pyapi/python.h"

namespace qelt {

// The class, made on first call. Panics with "Failed to initialize new exception type." when it
// cannot be made.
PyObject* panic_exception_type();

// True when `type` is the class itself (a subclass does not count); false while it is not made.
bool is_panic_exception_class(PyObject* type) noexcept;

// For a fetched, normalised PanicException: writes a banner to standard error, hands the
// exception back and prints it with its traceback (which clears it), then panics with its
// message. Steals the three references.
[[noreturn]] void resume_panic(PyObject* type, PyObject* value, PyObject* traceback);

}  // namespace qelt
