// Completion signals of pool jobs. WorkerLatch: one atomic word a worker waits on while it keeps
// working; BlockingLatch: an atomic word a thread outside the pool polls briefly, then a mutex
// and condition variable it sleeps on.
// Any thread may set either; only the owning waiter waits. Setting may abort the process if the
// platform's locking fails; nothing else fails.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "pool/backoff.h"

namespace qelt {

class Sleep;

// States: unset (0), sleepy (1), sleeping (2), set (3).
// Who touches what: `state_` is moved among unset, sleepy and sleeping only by the one worker
// that waits on the latch (its target); any thread may swap in set, and set is final. `sleep_`
// and `target_` are written at construction and only read afterwards.
// Invariant: a setter that replaces sleeping wakes the target through its sleep slot; the target
// moves to sleeping only while holding that slot's mutex, so the wake cannot be lost (see Sleep).
class WorkerLatch {
 public:
  static constexpr std::uint32_t UNSET = 0;
  static constexpr std::uint32_t SLEEPY = 1;
  static constexpr std::uint32_t SLEEPING = 2;
  static constexpr std::uint32_t SET = 3;

  WorkerLatch(Sleep& sleep, std::size_t target) noexcept : sleep_(&sleep), target_(target) {}
  WorkerLatch(const WorkerLatch&) = delete;
  WorkerLatch& operator=(const WorkerLatch&) = delete;

  // Acquire: a waiter that sees set also sees everything the setter wrote before setting (the
  // job's outcome).
  bool probe() const noexcept { return state_.load(std::memory_order_acquire) == SET; }

  // The target's own moves. They are read-modify-writes of the one word, so they are totally
  // ordered with every set whatever the memory order; acq_rel keeps the sleep slot's accesses
  // on the right side of them.
  bool get_sleepy() noexcept { return cas(UNSET, SLEEPY); }
  bool fall_asleep() noexcept { return cas(SLEEPY, SLEEPING); }
  void wake_up() noexcept { cas(SLEEPING, UNSET); }

  // Sets the latch; wakes the target if it was asleep on it. Once the state is set the latch's
  // owner may leave the frame holding the latch, so nothing of *latch is read afterwards.
  static void set(WorkerLatch& latch);

 private:
  bool cas(std::uint32_t from, std::uint32_t to) noexcept {
    return state_.compare_exchange_strong(from, to, std::memory_order_acq_rel,
                                          std::memory_order_relaxed);
  }

  std::atomic<std::uint32_t> state_{UNSET};
  Sleep* sleep_;
  std::size_t target_;
};

// States of `state_`: unset (0), set (1), blocked (2).
// Who touches what: the owner thread alone waits, moves unset to blocked (holding `mutex_`) and
// resets set to unset; one setter per wait swaps in set. `woken_` is guarded by `mutex_`.
// The waiter first polls `state_` for a moment, so that a short job costs no sleep and no wake;
// then it blocks. Invariant: the setter is done with the latch before the waiter returns. A setter
// that swaps set over unset touches nothing afterwards, and the waiter can then no longer move to
// blocked; a setter that swaps set over blocked wakes the waiter through `woken_`, under the
// mutex, and the waiter returns only after retaking that mutex.
class BlockingLatch {
 public:
  // Polling steps before the waiter blocks: the pausing steps of Backoff only (a few
  // microseconds), none of its yielding ones. On a machine busy with other processes a yield
  // can hand the processor away for a whole time slice; blocking and being woken costs less.
  static constexpr unsigned SPIN_STEPS = Backoff::SPIN_LIMIT + 1;

  void set();
  void wait_and_reset();

 private:
  static constexpr std::uint32_t UNSET = 0;
  static constexpr std::uint32_t SET = 1;
  static constexpr std::uint32_t BLOCKED = 2;

  std::atomic<std::uint32_t> state_{UNSET};
  std::mutex mutex_;
  std::condition_variable changed_;
  bool woken_ = false;
};

// The calling thread's BlockingLatch, used by all of its submissions to the pool.
BlockingLatch& this_thread_blocking_latch() noexcept;

// A job's completion signal when the job comes from outside the pool: the latch lives in the
// waiting thread's storage, not in the job record.
struct BlockingLatchRef {
  BlockingLatch* latch;
  static void set(BlockingLatchRef& ref) { ref.latch->set(); }
};

}  // namespace qelt
