// WorkerPool: a fixed set of worker threads with one work-stealing queue each, a shared queue
// for injected jobs (work from outside the pool), and the sleep protocol. The process-wide pool is
// global_pool(); tests may also create private pools, which are torn down when destroyed. Any
// thread may post work with run_in_pool. create() returns the thread-creation failure as a value;
// run_in_pool raises again the failure of the operation it ran.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>

#include "pool/latch.h"
#include "pool/local_queue.h"
#include "pool/shared_queue.h"
#include "pool/sleep.h"
#include "pool/stack_job.h"
#include "pool/thread_spawn.h"
#include "pool/worker_thread.h"
#include "runtime/panic.h"

namespace qelt {

// Layout fixed at creation: `workers_` (each worker's queue, terminate latch and identity),
// `shared_`, `sleep_`. Queues and sleep are shared as their own headers describe. `running_`
// (guarded by `exit_mutex_`) counts started workers that have not yet left their loop; the
// destructor sets every terminate latch and waits for it to reach 0, so no worker touches a
// destroyed pool.
class WorkerPool {
 public:
  // Starts `workers` threads with `start`; fails with the first error number, after the workers
  // already started have ended, or with EINVAL for no workers.
  static std::expected<std::unique_ptr<WorkerPool>, int> create(
      std::size_t workers, ThreadStarter start = SYSTEM_THREAD_STARTER);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t size() const noexcept { return size_; }

  // Runs op(worker, injected) on a worker of this pool and returns its value or raises its
  // failure again. On a worker of this pool it runs at once (injected = false); elsewhere the
  // job is injected into the shared queue and the calling thread blocks until a worker has run it
  // (injected = true).
  template <class Op>
  auto run_in_pool(Op&& op) -> ValueOf<std::invoke_result_t<Op&, WorkerThread&, bool>>;

  // Injects a job into the shared queue and wakes a sleeping worker if needed.
  void inject(JobHandle job);

  Sleep& sleep() noexcept { return sleep_; }
  SharedQueue& shared_queue() noexcept { return shared_; }
  LocalQueue& queue_of(std::size_t worker) noexcept { return workers_[worker].queue; }

 private:
  struct Worker {
    LocalQueue queue;
    std::optional<WorkerLatch> terminate;
    WorkerPool* pool = nullptr;
    std::size_t index = 0;
  };

  explicit WorkerPool(std::size_t workers);
  static void* worker_main(void* worker) noexcept;
  void worker_exited();
  static void inject_and_wait(WorkerPool& pool, JobHandle job, BlockingLatch& latch) noexcept;

  std::size_t size_;
  std::unique_ptr<Worker[]> workers_;
  SharedQueue shared_;
  Sleep sleep_;
  std::mutex exit_mutex_;
  std::condition_variable exited_;
  std::size_t running_ = 0;
};

template <class Op>
auto WorkerPool::run_in_pool(Op&& op) -> ValueOf<std::invoke_result_t<Op&, WorkerThread&, bool>> {
  WorkerThread* current = WorkerThread::current();
  if (current != nullptr && &current->pool() == this) return call_for_value(op, *current, false);

  auto body = [&op](bool injected) {
    WorkerThread* worker = WorkerThread::current();
    if (worker == nullptr) panic("internal error: entered unreachable code");
    return op(*worker, injected);
  };
  BlockingLatch& latch = this_thread_blocking_latch();
  StackJob<BlockingLatchRef, decltype(body)> job(body, BlockingLatchRef{&latch});
  inject_and_wait(*this, job.handle(), latch);
  return job.into_result();
}

}  // namespace qelt
