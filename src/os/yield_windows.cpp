// Yielding on Windows: SwitchToThread, which gives up the rest of the time slice to a thread
// ready on the same processor.
#include "os/yield.h"

#include <windows.h>

namespace qelt::os {

void yield_processor() noexcept {
  SwitchToThread();
}

}  // namespace qelt::os
