// The idle and sleep protocol of the pool's workers: counters of idle and sleeping workers and
// of job events, one sleep slot per worker, and the rules for falling asleep and waking others.
// Workers call the idle side for themselves; any thread that posts work calls the posting side.
// Never fails; a failing platform lock is a failure of the pool's machinery.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "pool/cache_line.h"
#include "pool/function_ref.h"
#include "pool/latch.h"

namespace qelt {

// A worker's place in the protocol while it looks for work: yield rounds so far and the job
// event counter it saw when it announced that it is getting sleepy.
struct IdleState {
  std::size_t worker;
  std::uint32_t rounds = 0;
  std::uint32_t jobs_counter = 0;
};

// The protocol, shared by all workers of one pool.
//
// `counters_`, one 64-bit word changed only by atomic read-modify-write:
//   bits 0-15   workers sleeping (blocked on their slot's condition variable);
//   bits 16-31  workers idle: searching for work or sleeping (a sleeper counts in both);
//   bits 32-63  the jobs event counter (JEC), which wraps. Odd: the last event was posted work;
//               even: the last event was a worker announcing that it is getting sleepy.
// Sleep slot i: `blocked` is read and written only with the slot's mutex held, by worker i
// (setting it before it waits) and by wakers (clearing it). Worker i holds no other lock then.
//
// Why no posted job waits while every worker sleeps:
// - A worker about to sleep first announces itself (JEC made even) and remembers the JEC; it
//   then, with its slot locked, re-reads the JEC and counts itself sleeping by compare-and-swap
//   only if the JEC is unchanged. A poster makes the JEC odd (changing it) before it reads the
//   sleeping count. So either the poster's change comes first and the worker sees a new JEC and
//   searches again, or the worker's count comes first and the poster sees a sleeper to wake.
// - Injected jobs (from outside the pool) are in the shared queue before the poster's full fence;
//   a worker registers as sleeping, issues a full fence and then checks that queue once more.
//   The two fences mean that the poster sees the sleeper or the sleeper sees the job.
// - A poster wakes nobody when the queue it pushed to was empty and some idle worker is awake: that
//   worker will find the job. If that worker then leaves the idle state with another job
//   (work_found), it checks every queue after its decrement and wakes one sleeper if a job waits.
//   For an injected job this check cannot miss it: the poster's fence and counter read precede the
//   decrement (the poster saw the worker idle), and the decrement precedes the check. A job on a
//   worker's own queue needs no wake for progress, since its owner runs it if nobody steals it.
// - Every counter operation is sequentially consistent, so these orders are one total order.
class Sleep {
 public:
  static constexpr std::uint32_t ROUNDS_UNTIL_SLEEPY = 32;

  explicit Sleep(std::size_t workers);

  // Idle side, called by worker `worker` for itself.
  IdleState start_looking(std::size_t worker) noexcept;
  // Leaves the idle state; wakes a sleeper if there are any and jobs are still waiting.
  void work_found(FunctionRef<bool()> has_pending_jobs);
  // One round without work: yield, announce sleepiness, or try to sleep until woken.
  void no_work_found(IdleState& idle, WorkerLatch& latch, FunctionRef<bool()> has_injected_jobs);

  // Posting side. A worker pushed onto its own queue / a thread posted to the shared queue.
  void new_internal_jobs(bool queue_was_empty);
  void new_injected_jobs(bool queue_was_empty);

  // Wakes worker `worker` if it sleeps; true if it did.
  bool wake_specific(std::size_t worker);

 private:
  struct alignas(CACHE_LINE_BYTES) SleepSlot {
    std::mutex mutex;
    bool blocked = false;
    std::condition_variable changed;
  };

  void sleep(IdleState& idle, WorkerLatch& latch, FunctionRef<bool()> has_injected_jobs);
  void new_jobs(bool queue_was_empty);
  void wake_any(std::uint32_t count);
  std::uint64_t increment_jobs_counter_if(bool when_odd) noexcept;

  std::size_t workers_;
  std::unique_ptr<SleepSlot[]> slots_;
  alignas(CACHE_LINE_BYTES) std::atomic<std::uint64_t> counters_{0};
};

}  // namespace qelt
