// parallel_split: process the index range [0, len) with a leaf over contiguous pieces, spread
// over the process-wide worker pool, and return when every piece is done.
// Any thread, including a worker running a leaf (nested use).
// May panic: a leaf's failure is raised again here after every piece has finished; with several
// failing pieces the leftmost one wins.
#pragma once

#include <cstddef>

#include "pool/function_ref.h"

namespace qelt {

class WorkerPool;

// The leaf receives an absolute half-open range [start, end) and processes it in increasing
// index order. A range is cut only into halves of at least max(min_len, 1) indexes each.
void parallel_split(std::size_t len, std::size_t min_len,
                    FunctionRef<void(std::size_t, std::size_t)> leaf);

// The same on `pool`, from a thread outside it or from one of its workers.
void parallel_split(WorkerPool& pool, std::size_t len, std::size_t min_len,
                    FunctionRef<void(std::size_t, std::size_t)> leaf);

}  // namespace qelt
