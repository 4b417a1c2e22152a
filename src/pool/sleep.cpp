// The idle and sleep protocol; the reasoning that makes it safe is in sleep.h.
#include "pool/sleep.h"

#include "os/yield.h"
#include "pool/full_fence.h"

namespace qelt {
namespace {

constexpr std::uint64_t ONE_SLEEPING = 1;
constexpr std::uint64_t ONE_IDLE = std::uint64_t{1} << 16;
constexpr std::uint64_t ONE_JOB_EVENT = std::uint64_t{1} << 32;

std::uint32_t sleeping_count(std::uint64_t counters) noexcept {
  return static_cast<std::uint32_t>(counters & 0xFFFF);
}
std::uint32_t idle_count(std::uint64_t counters) noexcept {
  return static_cast<std::uint32_t>((counters >> 16) & 0xFFFF);
}
std::uint32_t jobs_counter(std::uint64_t counters) noexcept {
  return static_cast<std::uint32_t>(counters >> 32);
}

}  // namespace

Sleep::Sleep(std::size_t workers) : workers_(workers), slots_(new SleepSlot[workers]) {}

IdleState Sleep::start_looking(std::size_t worker) noexcept {
  counters_.fetch_add(ONE_IDLE, std::memory_order_seq_cst);
  return IdleState{worker};
}

void Sleep::work_found(FunctionRef<bool()> has_pending_jobs) {
  const std::uint64_t before = counters_.fetch_sub(ONE_IDLE, std::memory_order_seq_cst);
  if (sleeping_count(before) != 0 && has_pending_jobs()) wake_any(1);
}

void Sleep::no_work_found(IdleState& idle, WorkerLatch& latch,
                          FunctionRef<bool()> has_injected_jobs) {
  if (idle.rounds < ROUNDS_UNTIL_SLEEPY) {
    os::yield_processor();
    ++idle.rounds;
  } else if (idle.rounds == ROUNDS_UNTIL_SLEEPY) {
    idle.jobs_counter = jobs_counter(increment_jobs_counter_if(/*when_odd=*/true));
    ++idle.rounds;
    os::yield_processor();
  } else {
    sleep(idle, latch, has_injected_jobs);
  }
}

void Sleep::sleep(IdleState& idle, WorkerLatch& latch, FunctionRef<bool()> has_injected_jobs) {
  if (!latch.get_sleepy()) return;  // set meanwhile: the caller's loop sees it

  SleepSlot& slot = slots_[idle.worker];
  std::unique_lock lock(slot.mutex);
  if (!latch.fall_asleep()) {  // set meanwhile
    idle.rounds = 0;
    return;
  }
  while (true) {
    std::uint64_t counters = counters_.load(std::memory_order_seq_cst);
    if (jobs_counter(counters) != idle.jobs_counter) {
      // Work was posted since the announcement: search again, announcing anew before sleeping.
      lock.unlock();
      idle.rounds = ROUNDS_UNTIL_SLEEPY;
      latch.wake_up();
      return;
    }
    if (counters_.compare_exchange_weak(counters, counters + ONE_SLEEPING,
                                        std::memory_order_seq_cst)) {
      break;
    }
  }

  // Pairs with the fence after posting to the shared queue (new_injected_jobs).
  full_fence();
  if (has_injected_jobs()) {
    counters_.fetch_sub(ONE_SLEEPING, std::memory_order_seq_cst);
  } else {
    slot.blocked = true;
    slot.changed.wait(lock, [&slot] { return !slot.blocked; });
  }
  lock.unlock();
  idle.rounds = 0;
  latch.wake_up();
}

void Sleep::new_internal_jobs(bool queue_was_empty) {
  new_jobs(queue_was_empty);
}

void Sleep::new_injected_jobs(bool queue_was_empty) {
  // Pairs with the fence a worker issues after counting itself sleeping (sleep above): either
  // it sees the job in the shared queue, or the counters read below show it sleeping.
  full_fence();
  new_jobs(queue_was_empty);
}

void Sleep::new_jobs(bool queue_was_empty) {
  const std::uint64_t counters = increment_jobs_counter_if(/*when_odd=*/false);
  const std::uint32_t sleeping = sleeping_count(counters);
  if (sleeping == 0) return;
  const std::uint32_t awake_but_idle = idle_count(counters) - sleeping;
  // A non-empty queue means the idle workers have not kept up; otherwise an awake idle worker
  // will find the one new job by itself.
  if (!queue_was_empty || awake_but_idle == 0) wake_any(1);
}

std::uint64_t Sleep::increment_jobs_counter_if(bool when_odd) noexcept {
  std::uint64_t counters = counters_.load(std::memory_order_seq_cst);
  while (true) {
    if (((jobs_counter(counters) & 1) != 0) != when_odd) return counters;
    // The counter occupies the top bits, so adding wraps it without touching the others.
    const std::uint64_t incremented = counters + ONE_JOB_EVENT;
    if (counters_.compare_exchange_weak(counters, incremented, std::memory_order_seq_cst)) {
      return incremented;
    }
  }
}

void Sleep::wake_any(std::uint32_t count) {
  for (std::size_t i = 0; i < workers_ && count > 0; ++i) {
    if (wake_specific(i)) --count;
  }
}

bool Sleep::wake_specific(std::size_t worker) {
  SleepSlot& slot = slots_[worker];
  std::lock_guard lock(slot.mutex);
  if (!slot.blocked) return false;
  slot.blocked = false;
  slot.changed.notify_one();
  // The waker, not the sleeper, uncounts it, so that posters do not try to wake it again.
  counters_.fetch_sub(ONE_SLEEPING, std::memory_order_seq_cst);
  return true;
}

}  // namespace qelt
