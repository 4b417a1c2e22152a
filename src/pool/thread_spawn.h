// Starting the pool's worker threads (unnamed, detached, with the worker stack size) through a
// replaceable starter, and the text of a failed pool creation.
// Any thread. Returns error numbers; never throws except for a failed allocation.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <string>

namespace qelt {

// pthread_create's signature: the seam through which tests make thread creation fail.
using ThreadStarter = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

inline constexpr std::size_t WORKER_STACK_SIZE = 2 * 1024 * 1024;

// The thread library's minimum stack for `attributes`: __pthread_get_minstack when the platform
// has it, else 16384 bytes.
std::size_t minimum_thread_stack(const pthread_attr_t* attributes) noexcept;

// Starts main(argument) on a new detached thread whose stack is WORKER_STACK_SIZE raised to the
// platform minimum (rounded up to whole pages if the exact size is refused). Returns 0, or the
// error number of the failure.
int start_detached_thread(ThreadStarter start, void* (*main)(void*), void* argument) noexcept;

// The pool's creation failure as the pool reports it, e.g. for EAGAIN:
// ThreadPoolBuildError { kind: IOError(Os { code: 11, kind: WouldBlock,
// message: "Resource temporarily unavailable" }) }
std::string describe_pool_build_error(int os_error);

}  // namespace qelt
