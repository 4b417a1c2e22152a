// Parking on Linux: pause(2), again after every signal handler returns.
#include "os/park.h"

#include <unistd.h>

namespace qelt::os {

void park_forever() noexcept {
  for (;;) pause();
}

}  // namespace qelt::os
