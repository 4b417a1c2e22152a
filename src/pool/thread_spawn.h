// How the pool starts its worker threads (unnamed, detached, with the worker stack size): through
// a replaceable starter. And the text of a failed pool creation.
// Any thread. Starters return error numbers; the text may throw only for a failed allocation.
#pragma once

#include <cstddef>
#include <string>

#include "os/thread_start.h"

namespace qelt {

// os::start_detached_thread's signature: the seam through which tests make thread creation fail.
using ThreadStarter = int (*)(std::size_t stack_size, os::ThreadMain main, void* argument);

// The starter pools use unless told otherwise.
inline constexpr ThreadStarter SYSTEM_THREAD_STARTER = &os::start_detached_thread;

inline constexpr std::size_t WORKER_STACK_SIZE = 2 * 1024 * 1024;

// The pool's creation failure as the pool reports it, e.g. for EAGAIN:
// ThreadPoolBuildError { kind: IOError(Os { code: 11, kind: WouldBlock,
// message: "Resource temporarily unavailable" }) }
std::string describe_pool_build_error(int os_error);

}  // namespace qelt
