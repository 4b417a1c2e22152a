// Setting and waiting on the pool's completion signals.
#include "pool/latch.h"

#include "pool/sleep.h"

namespace qelt {

void WorkerLatch::set(WorkerLatch& latch) {
  Sleep* sleep = latch.sleep_;
  const std::size_t target = latch.target_;
  // Release is enough: it publishes the outcome written before the set to the target's acquiring
  // probe, and the setter reads nothing the target wrote. The wake that may follow is ordered
  // by the sleep slot's mutex.
  if (latch.state_.exchange(SET, std::memory_order_release) == SLEEPING) {
    sleep->wake_specific(target);
  }
}

void BlockingLatch::set() {
  // Release: publishes the job's outcome to the waiter's acquire. The wake below is ordered by
  // the mutex, not by this exchange. After an exchange that finds the waiter not blocked,
  // nothing of *this is touched: the waiter may return at once.
  if (state_.exchange(SET, std::memory_order_release) != BLOCKED) return;
  std::lock_guard lock(mutex_);
  woken_ = true;
  changed_.notify_one();
}

void BlockingLatch::wait_and_reset() {
  // Relaxed reset: only the owner writes unset, and the next setter reaches this latch through
  // the owner's next post to the pool, a release that orders the reset before that setter.
  for (Backoff backoff; backoff.steps() < SPIN_STEPS; backoff.snooze()) {
    // Acquire: pairs with the setter's release; the job's outcome is visible.
    if (state_.load(std::memory_order_acquire) == SET) {
      state_.store(UNSET, std::memory_order_relaxed);
      return;
    }
  }
  std::unique_lock lock(mutex_);
  std::uint32_t expected = UNSET;
  // Acquire on failure: the state is set and the outcome visible. On success there is nothing
  // to publish: `woken_` is handed over under the mutex.
  if (state_.compare_exchange_strong(expected, BLOCKED, std::memory_order_acquire)) {
    changed_.wait(lock, [this] { return woken_; });
    woken_ = false;
  }
  state_.store(UNSET, std::memory_order_relaxed);
}

BlockingLatch& this_thread_blocking_latch() noexcept {
  thread_local BlockingLatch latch;
  return latch;
}

}  // namespace qelt
