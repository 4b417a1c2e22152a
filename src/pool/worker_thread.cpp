// A worker's own side of the pool: its queue, the search for work and waiting on latches.
#include "pool/worker_thread.h"

#include <atomic>

#include "pool/stack_job.h"
#include "pool/worker_pool.h"

namespace qelt {
namespace {

thread_local WorkerThread* current_worker = nullptr;

// A 64-bit mixing hash (the finaliser of MurmurHash3) of a process-wide counter.
std::uint64_t next_seed() noexcept {
  static std::atomic<std::uint64_t> counter{0};
  while (true) {
    // Relaxed: only distinctness of the values matters, which the read-modify-write gives.
    std::uint64_t x = counter.fetch_add(1, std::memory_order_relaxed);
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ull;
    x ^= x >> 33;
    if (x != 0) return x;
  }
}

}  // namespace

WorkerThread::WorkerThread(WorkerPool& pool, std::size_t index, LocalQueue& queue) noexcept
    : pool_(pool), index_(index), queue_(queue), random_state_(next_seed()) {}

WorkerThread* WorkerThread::current() noexcept {
  return current_worker;
}

void WorkerThread::set_current(WorkerThread* worker) noexcept {
  current_worker = worker;
}

void WorkerThread::push(JobHandle job) {
  const bool was_empty = queue_.is_empty();
  queue_.push(job);
  pool_.sleep().new_internal_jobs(was_empty);
}

void WorkerThread::wait_until_cold(WorkerLatch& latch) noexcept {
  try {
    Sleep& sleep = pool_.sleep();
    auto has_injected_jobs = [this] { return !pool_.shared_queue().is_empty(); };
    auto has_pending_jobs = [this] {
      for (std::size_t i = 0; i < pool_.size(); ++i) {
        if (!pool_.queue_of(i).is_empty()) return true;
      }
      return !pool_.shared_queue().is_empty();
    };
    while (!latch.probe()) {
      // Local work first, before touching the shared idle state.
      if (std::optional<JobHandle> job = take_local()) {
        job->run();
        continue;
      }
      IdleState idle = sleep.start_looking(index_);
      std::optional<JobHandle> found;
      while (!latch.probe() && !(found = find_work())) {
        sleep.no_work_found(idle, latch, has_injected_jobs);
      }
      // Leaving idle either way: with a job, or because the latch is set.
      sleep.work_found(has_pending_jobs);
      if (!found) return;
      found->run();
    }
  } catch (...) {
    abort_with_text(UNEXPECTED_POOL_FAILURE);
  }
}

std::optional<JobHandle> WorkerThread::find_work() {
  if (std::optional<JobHandle> job = take_local()) return job;
  if (std::optional<JobHandle> job = steal_from_others()) return job;
  JobHandle job;
  while (true) {
    switch (pool_.shared_queue().steal(job)) {
      case StealResult::SUCCESS:
        return job;
      case StealResult::EMPTY:
        return std::nullopt;
      case StealResult::RETRY:
        break;
    }
  }
}

std::optional<JobHandle> WorkerThread::steal_from_others() {
  const std::size_t workers = pool_.size();
  if (workers <= 1) return std::nullopt;
  while (true) {
    bool lost_a_race = false;
    const std::size_t start = static_cast<std::size_t>(next_random() % workers);
    for (std::size_t k = 0; k < workers; ++k) {
      const std::size_t victim = start + k < workers ? start + k : start + k - workers;
      if (victim == index_) continue;
      JobHandle job;
      switch (pool_.queue_of(victim).steal(job)) {
        case StealResult::SUCCESS:
          return job;
        case StealResult::RETRY:
          lost_a_race = true;
          break;
        case StealResult::EMPTY:
          break;
      }
    }
    if (!lost_a_race) return std::nullopt;
  }
}

std::uint64_t WorkerThread::next_random() noexcept {
  std::uint64_t x = random_state_;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  random_state_ = x;
  return x * 0x2545F4914F6CDD1Dull;
}

}  // namespace qelt
