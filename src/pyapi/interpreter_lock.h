// ReleasedInterpreterLock: the guard that releases the interpreter lock around numeric work and
// takes it back on every exit.
// Interpreter threads holding the interpreter lock when it is made. Never fails.
#pragma once

#include "os/park.h"
#include "pyapi/python.h"

namespace qelt {

// Makes this module's statically linked unwinder ready to run the personality routine for an
// unwind that another unwinder started; see ReleasedInterpreterLock. Once per process.
void prepare_for_foreign_unwind() noexcept;

// Releases the interpreter lock for its lifetime and takes it back on every exit, including
// unwinding by an internal failure. No Python object may be touched while it lives.
//
// A thread that comes back while the interpreter shuts down (a daemon thread still inside a
// call at exit) is ended there by interpreters up to 3.12 with pthread_exit, a forced unwind
// run by the system's shared unwinder. Letting it unwind through this destructor would end in
// std::terminate, and the destructors above would drop borrows and references without the
// lock while the interpreter is torn down. The thread is parked for good instead, as later
// interpreters do themselves; the process is exiting. Catching the unwind makes the shared
// unwinder call this module's personality routine, which uses the module's own static copy of
// the unwinder's register accessors: those abort unless that copy has walked a stack once,
// which prepare_for_foreign_unwind ensures before the lock is released.
class ReleasedInterpreterLock {
 public:
  ReleasedInterpreterLock() noexcept {
    prepare_for_foreign_unwind();
    state_ = PyEval_SaveThread();
  }
  ~ReleasedInterpreterLock() {
    try {
      PyEval_RestoreThread(state_);
    } catch (...) {  // only the forced unwind: the C call throws nothing else
      os::park_forever();
    }
  }
  ReleasedInterpreterLock(const ReleasedInterpreterLock&) = delete;
  ReleasedInterpreterLock& operator=(const ReleasedInterpreterLock&) = delete;

 private:
  PyThreadState* state_ = nullptr;
};

}  // namespace qelt
