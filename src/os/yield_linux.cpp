// Yielding on Linux: sched_yield.
#include "os/yield.h"

#include <sched.h>

namespace qelt::os {

void yield_processor() noexcept {
  sched_yield();
}

}  // namespace qelt::os
