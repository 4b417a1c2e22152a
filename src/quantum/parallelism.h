// How the gate driver spreads its work: a threading policy passed in by the caller, so that the
// driver and the kernels stay ignorant of threads. Any thread; the serial policy never fails,
// the pool policy may panic as the pool does (parallel_split, worker_count).
#pragma once

#include <cstddef>

#include "pool/function_ref.h"

namespace qelt {

using PieceLeaf = FunctionRef<void(std::size_t, std::size_t)>;

struct Parallelism {
  // Runs `leaf` over pieces [start, end) that cover [0, len) once each, every piece but a lone
  // one at least min_len long, possibly at the same time; returns when all are done.
  void (*split)(std::size_t len, std::size_t min_len, PieceLeaf leaf);
  // How many pieces may run at the same time. A function, so that asking costs nothing (and
  // creates no pool) on routes that never split.
  std::size_t (*workers)();
};

// Every piece on the calling thread: leaf(0, len).
Parallelism serial_parallelism() noexcept;

// The process-wide worker pool (pool/parallel_split.h), or the pool whose worker calls.
Parallelism pool_parallelism() noexcept;

}  // namespace qelt
