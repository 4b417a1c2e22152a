// Fork handlers on Windows: there is no fork, so the handlers are accepted and never run.
#include "os/fork_handlers.h"

namespace qelt::os {

bool register_fork_handlers(ForkHandler, ForkHandler, ForkHandler) noexcept {
  return true;
}

}  // namespace qelt::os
