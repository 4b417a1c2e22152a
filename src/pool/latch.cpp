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
  std::lock_guard lock(mutex_);
  set_ = true;
  changed_.notify_all();
}

void BlockingLatch::wait_and_reset() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return set_; });
  set_ = false;
}

BlockingLatch& this_thread_blocking_latch() noexcept {
  thread_local BlockingLatch latch;
  return latch;
}

}  // namespace qelt
