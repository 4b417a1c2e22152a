// Raising an internal failure as PanicException at an entry point.
#include "module/entry.h"

#include <unwind.h>

namespace qelt {

void prepare_for_foreign_unwind() noexcept {
  // Walking one frame runs the unwinder's one-time set-up (its register-size table).
  static const bool ready = [] {
    _Unwind_Backtrace([](_Unwind_Context*, void*) { return _URC_END_OF_STACK; }, nullptr);
    return true;
  }();
  static_cast<void>(ready);
}

PyObject* raise_panic(const std::string& message) noexcept {
  try {
    PendingError::with_message(panic_exception_type(), message).restore();
  } catch (...) {
    fatal_abort("uncaught panic at ffi boundary");
  }
  return nullptr;
}

}  // namespace qelt
