// The process-wide worker pool: created on first use with the configured worker count, never
// destroyed. A child made by fork() starts without one and builds its own on first use.
// Any thread. global_pool() and worker_count() may panic when the pool cannot be created.
#pragma once

#include <cstddef>

#include "pool/thread_spawn.h"
#include "pool/worker_pool.h"

namespace qelt {

// The pool, created on the first call; concurrent first callers wait for that creation. If it
// fails, this call panics with the operating-system error and every later call panics with
// "... GlobalPoolAlreadyInitialized"; creation is not tried again.
WorkerPool& global_pool();

// The worker count of the pool whose worker the calling thread is; on any other thread, that
// of global_pool(), creating it if needed.
std::size_t worker_count();

// Replaces the system's thread start for the global pool's creation, so that tests can make it
// fail.
void set_global_thread_starter(ThreadStarter start);

}  // namespace qelt
