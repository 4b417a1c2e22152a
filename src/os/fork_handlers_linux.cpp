// Fork handlers on Linux: pthread_atfork.
#include "os/fork_handlers.h"

#include <pthread.h>

namespace qelt::os {

bool register_fork_handlers(ForkHandler before, ForkHandler in_parent,
                            ForkHandler in_child) noexcept {
  return pthread_atfork(before, in_parent, in_child) == 0;
}

}  // namespace qelt::os
