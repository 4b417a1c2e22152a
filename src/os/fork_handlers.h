// Callbacks run around fork(): before it in the forking thread, then after it in the parent and
// in the child. Any thread; registration reports failure as false. Where the system has no
// fork, registering succeeds and the callbacks never run.
#pragma once

namespace qelt::os {

using ForkHandler = void (*)();

// Registers the three callbacks for every later fork(); true on success.
bool register_fork_handlers(ForkHandler before, ForkHandler in_parent,
                            ForkHandler in_child) noexcept;

}  // namespace qelt::os
