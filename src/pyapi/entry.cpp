// Raising an internal failure as PanicException at an entry point.
#include "pyapi/entry.h"

#include "pyapi/panic_exception.h"

namespace qelt {

PyObject* raise_panic(const std::string& message) noexcept {
  try {
    PendingError::with_message(panic_exception_type(), message).restore();
  } catch (...) {
    fatal_abort("uncaught panic at ffi boundary");
  }
  return nullptr;
}

}  // namespace qelt
