// Adaptive range splitting: halves are cut while the split budget lasts, and a half that another
// worker picked up earns a fresh budget, so work spreads while workers are idle and stops being
// cut once all are busy.
#include "pool/parallel_split.h"

#include <algorithm>

#include "pool/fork_join.h"
#include "pool/global_pool.h"
#include "pool/worker_pool.h"

namespace qelt {
namespace {

using Leaf = FunctionRef<void(std::size_t, std::size_t)>;

// Copied by value into both halves at every cut.
struct RangeSplitter {
  std::size_t splits;   // the remaining split budget
  std::size_t min_len;  // at least 1: each half of a cut has at least this many indexes

  bool try_split(std::size_t len, bool stolen, std::size_t workers) noexcept {
    if (len / 2 < min_len) return false;
    if (stolen) {
      splits = std::max(workers, splits / 2);
      return true;
    }
    if (splits > 0) {
      splits /= 2;
      return true;
    }
    return false;
  }
};

void split_range(WorkerPool& pool, std::size_t start, std::size_t len, RangeSplitter splitter,
                 bool stolen, Leaf leaf) {
  // A stolen cut runs on a worker of `pool`, so pool.size() is the worker count it reads.
  if (!splitter.try_split(len, stolen, pool.size())) {
    leaf(start, start + len);
    return;
  }
  const std::size_t mid = len / 2;
  fork_join(
      pool, [&](bool left_stolen) { split_range(pool, start, mid, splitter, left_stolen, leaf); },
      [&](bool right_stolen) {
        split_range(pool, start + mid, len - mid, splitter, right_stolen, leaf);
      });
}

}  // namespace

void parallel_split(std::size_t len, std::size_t min_len, Leaf leaf) {
  WorkerThread* worker = WorkerThread::current();
  parallel_split(worker != nullptr ? worker->pool() : global_pool(), len, min_len, leaf);
}

void parallel_split(WorkerPool& pool, std::size_t len, std::size_t min_len, Leaf leaf) {
  split_range(pool, 0, len, RangeSplitter{pool.size(), std::max<std::size_t>(min_len, 1)},
              /*stolen=*/false, leaf);
}

}  // namespace qelt
