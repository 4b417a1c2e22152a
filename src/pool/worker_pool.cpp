// Creating and tearing down a pool, the worker threads' main function, and posting from outside.
#include "pool/worker_pool.h"

#include <cerrno>

namespace qelt {

WorkerPool::WorkerPool(std::size_t workers)
    : size_(workers), workers_(new Worker[workers]), sleep_(workers) {
  for (std::size_t i = 0; i < workers; ++i) {
    workers_[i].terminate.emplace(sleep_, i);
    workers_[i].pool = this;
    workers_[i].index = i;
  }
}

std::expected<std::unique_ptr<WorkerPool>, int> WorkerPool::create(std::size_t workers,
                                                                   ThreadStarter start) {
  if (workers == 0) return std::unexpected(EINVAL);  // nobody would ever run a posted job
  std::unique_ptr<WorkerPool> pool(new WorkerPool(workers));
  for (std::size_t i = 0; i < workers; ++i) {
    {
      std::lock_guard lock(pool->exit_mutex_);
      ++pool->running_;
    }
    if (int error = start(WORKER_STACK_SIZE, &worker_main, &pool->workers_[i]); error != 0) {
      {
        std::lock_guard lock(pool->exit_mutex_);
        --pool->running_;
      }
      return std::unexpected(error);  // the destructor ends the workers already started
    }
  }
  return pool;
}

WorkerPool::~WorkerPool() {
  for (std::size_t i = 0; i < size_; ++i) WorkerLatch::set(*workers_[i].terminate);
  std::unique_lock lock(exit_mutex_);
  exited_.wait(lock, [this] { return running_ == 0; });
}

void* WorkerPool::worker_main(void* argument) noexcept {
  Worker& worker = *static_cast<Worker*>(argument);
  try {
    WorkerPool& pool = *worker.pool;
    {
      WorkerThread self(pool, worker.index, worker.queue);
      if (WorkerThread::current() != nullptr) abort_with_text(UNEXPECTED_POOL_FAILURE);
      WorkerThread::set_current(&self);
      self.wait_until(*worker.terminate);
      WorkerThread::set_current(nullptr);
    }
    pool.worker_exited();  // the last touch of the pool
  } catch (...) {
    abort_with_text(UNEXPECTED_POOL_FAILURE);
  }
  return nullptr;
}

void WorkerPool::worker_exited() {
  std::lock_guard lock(exit_mutex_);
  --running_;
  exited_.notify_all();
}

void WorkerPool::inject(JobHandle job) {
  const bool was_empty = shared_.is_empty();
  shared_.push(job);
  sleep_.new_injected_jobs(was_empty);
}

void WorkerPool::inject_and_wait(WorkerPool& pool, JobHandle job, BlockingLatch& latch) noexcept {
  // The job record lives in the caller's frame: leaving before the latch is set would let a
  // worker write into a dead frame, so a failure here ends the process instead.
  try {
    pool.inject(job);
    latch.wait_and_reset();
  } catch (...) {
    abort_with_text(UNEXPECTED_POOL_FAILURE);
  }
}

}  // namespace qelt
