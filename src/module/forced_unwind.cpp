// The personality routine of this module's frames, wrapped in builds that link LLVM's libc++abi
// and libunwind statically (the zig toolchain sets QELT_WRAP_PERSONALITY and links with
// --wrap=__gxx_personality_v0). Interpreter threads; never returns on a forced unwind.
//
// An interpreter up to 3.12 ends a daemon thread that comes back during shutdown with
// pthread_exit: a forced unwind run by the system's libgcc_s, which calls the personality routine
// of each frame with libgcc's own unwind context. LLVM's statically linked accessors misread that
// context and the process crashes, so the catch in ReleasedInterpreterLock
// (pyapi/interpreter_lock.h) is never reached. The wrapper parks the thread for good as soon as a
// forced unwind reaches one of our frames, before the context is touched; the process is
// exiting. Exceptions the module throws itself are never forced and go to the real routine
// unchanged.
#if defined(QELT_WRAP_PERSONALITY)
#include <unwind.h>

#include "os/park.h"

extern "C" {

_Unwind_Reason_Code __real___gxx_personality_v0(int version, _Unwind_Action actions,
                                                _Unwind_Exception_Class exception_class,
                                                _Unwind_Exception* exception,
                                                _Unwind_Context* context);

_Unwind_Reason_Code __wrap___gxx_personality_v0(int version, _Unwind_Action actions,
                                                _Unwind_Exception_Class exception_class,
                                                _Unwind_Exception* exception,
                                                _Unwind_Context* context) {
  if (actions & _UA_FORCE_UNWIND) {
    qelt::os::park_forever();
  }
  return __real___gxx_personality_v0(version, actions, exception_class, exception, context);
}

}  // extern "C"
#endif
