// A sequentially consistent fence for the pool's protocols. Any thread; never fails.
#pragma once

namespace qelt {

// ThreadSanitizer does not model fences (GCC says so under -Wtsan). That costs it nothing here:
// these fences order only atomic accesses (queue indexes and the sleep counters), and every
// piece of data handed between threads is published by a release/acquire pair of its own, which
// ThreadSanitizer does see.
inline void full_fence() noexcept {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtsan"
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
#pragma GCC diagnostic pop
}

}  // namespace qelt
