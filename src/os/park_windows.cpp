// Parking on Windows: an alertable sleep without end, again after every queued call returns.
#include "os/park.h"

#include <windows.h>

namespace qelt::os {

void park_forever() noexcept {
  for (;;) SleepEx(INFINITE, TRUE);
}

}  // namespace qelt::os
