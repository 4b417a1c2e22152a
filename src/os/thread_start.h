// Starting a detached thread with a chosen stack size.
// Any thread. A failed start returns the system's error number; nothing throws.
#pragma once

#include <cstddef>

namespace qelt::os {

// A thread's main function: receives the start's argument; its result is ignored.
using ThreadMain = void* (*)(void* argument);

// Starts main(argument) on a new detached thread whose stack is `stack_size` raised to the
// system's minimum (rounded up to whole pages if the exact size is refused). Returns 0, or the
// error number of the failure.
int start_detached_thread(std::size_t stack_size, ThreadMain main, void* argument) noexcept;

}  // namespace qelt::os
