// The process-wide pool: once-only creation, its failure messages, and the fork handlers.
#include "pool/global_pool.h"

#include <atomic>
#include <mutex>
#include <string>

#include "os/fork_handlers.h"
#include "pool/worker_count.h"
#include "runtime/interface_strings.h"

namespace qelt {
namespace {

constexpr std::string_view NOT_INITIALIZED = interface_strings::POOL_NOT_INITIALIZED;
constexpr std::string_view ALREADY_INITIALIZED = interface_strings::POOL_ALREADY_INITIALIZED;

// Who touches what: `creation` serialises creating the pool, changing the starter and fork();
// `pool` is written only with `creation` held and read without it; `failed`, `starter` and
// `fork_handlers_registered` are touched only with `creation` held.
//
// Around fork(): the prepare handler takes `creation`, so the child never inherits a creation
// half-way through. The child handler forgets the pool: its workers do not exist in the child,
// and its memory stays as it was (not destroyed, since a parent thread may have been inside one
// of its locks); the child's next parallel call creates a fresh pool and reads the environment
// again. The parent's pool is untouched.
struct GlobalPool {
  std::mutex creation;
  std::atomic<WorkerPool*> pool{nullptr};
  bool failed = false;
  bool fork_handlers_registered = false;
  ThreadStarter starter = SYSTEM_THREAD_STARTER;
};
constinit GlobalPool global;

void before_fork() noexcept {
  global.creation.lock();
}

void after_fork_in_parent() noexcept {
  global.creation.unlock();
}

void after_fork_in_child() noexcept {
  // Relaxed: the child has a single thread until it creates a pool, under `creation`.
  global.pool.store(nullptr, std::memory_order_relaxed);
  global.failed = false;
  global.creation.unlock();  // taken by this thread in before_fork
}

[[noreturn]] void fail_creation(std::string message) {
  panic(std::string(NOT_INITIALIZED) + message);
}

WorkerPool& create_global_pool() {
  std::string failure;
  {
    std::lock_guard lock(global.creation);
    // Relaxed: under `creation`, which ordered any earlier store.
    if (WorkerPool* pool = global.pool.load(std::memory_order_relaxed)) return *pool;
    if (global.failed) {
      failure = ALREADY_INITIALIZED;
    } else {
      if (!global.fork_handlers_registered) {
        global.fork_handlers_registered =
            os::register_fork_handlers(&before_fork, &after_fork_in_parent, &after_fork_in_child);
      }
      std::expected<std::unique_ptr<WorkerPool>, int> created =
          WorkerPool::create(configured_worker_count(), global.starter);
      if (created) {
        WorkerPool* pool = created->release();  // never destroyed
        // Release: a thread that acquires the pointer sees the constructed pool.
        global.pool.store(pool, std::memory_order_release);
        return *pool;
      }
      global.failed = true;
      failure = describe_pool_build_error(created.error());
    }
  }
  fail_creation(std::move(failure));
}

}  // namespace

WorkerPool& global_pool() {
  // Acquire: pairs with the release store after creation.
  if (WorkerPool* pool = global.pool.load(std::memory_order_acquire)) return *pool;
  return create_global_pool();
}

std::size_t worker_count() {
  if (WorkerThread* worker = WorkerThread::current()) return worker->pool().size();
  return global_pool().size();
}

void set_global_thread_starter(ThreadStarter start) {
  std::lock_guard lock(global.creation);
  global.starter = start;
}

}  // namespace qelt
