// The one-time unwinder set-up behind ReleasedInterpreterLock.
#include "pyapi/interpreter_lock.h"

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

}  // namespace qelt
