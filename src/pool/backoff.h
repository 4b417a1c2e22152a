// Backoff: how a thread of the pool waits a moment for another thread without blocking. First
// a doubling number of pause instructions, then yielding the processor to other runnable
// threads. Any thread, one Backoff per waiting loop; never fails.
#pragma once

#include "os/yield.h"

namespace qelt {

// Tells the processor that this is a spin loop (saves power, frees the sibling hyperthread).
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

class Backoff {
 public:
  // Up to 2^SPIN_LIMIT pauses per step before the steps start yielding.
  static constexpr unsigned SPIN_LIMIT = 6;

  // One step of waiting.
  void snooze() noexcept {
    if (step_ <= SPIN_LIMIT) {
      for (unsigned i = 0; i < (1u << step_); ++i) cpu_relax();
    } else {
      os::yield_processor();
    }
    if (step_ < SPIN_LIMIT + 16) ++step_;
  }
  // Steps taken so far (counted up to SPIN_LIMIT + 16).
  unsigned steps() const noexcept { return step_; }

 private:
  unsigned step_ = 0;
};

}  // namespace qelt
