// WorkerThread: the record of one worker of a pool, reached through a thread-local pointer that
// is null on every thread that is not a worker. Its methods run on that worker only: pushing
// onto and taking from its own queue, and waiting on a latch while executing other jobs.
// A failure of the waiting loop itself aborts the process; jobs carry their own failures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "pool/job_handle.h"
#include "pool/latch.h"
#include "pool/local_queue.h"

namespace qelt {

class WorkerPool;

class WorkerThread {
 public:
  WorkerThread(WorkerPool& pool, std::size_t index, LocalQueue& queue) noexcept;
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // The calling thread's record, or null when it is not a worker.
  static WorkerThread* current() noexcept;
  static void set_current(WorkerThread* worker) noexcept;

  WorkerPool& pool() const noexcept { return pool_; }
  std::size_t index() const noexcept { return index_; }

  // Pushes onto this worker's queue and tells sleeping workers about it.
  void push(JobHandle job);
  // This worker's newest job, if any.
  std::optional<JobHandle> take_local() { return queue_.take(); }
  // Returns once `latch` is set, executing local, stolen and injected jobs meanwhile, and sleeping
  // when there are none.
  void wait_until(WorkerLatch& latch) {
    if (!latch.probe()) wait_until_cold(latch);
  }

 private:
  void wait_until_cold(WorkerLatch& latch) noexcept;
  std::optional<JobHandle> find_work();
  std::optional<JobHandle> steal_from_others();
  std::uint64_t next_random() noexcept;

  WorkerPool& pool_;
  std::size_t index_;
  LocalQueue& queue_;
  std::uint64_t random_state_;  // xorshift64*, never 0
};

}  // namespace qelt
