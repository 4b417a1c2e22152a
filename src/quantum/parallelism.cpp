// The serial and the pool threading policies of the gate driver.
#include "quantum/parallelism.h"

#include "pool/global_pool.h"
#include "pool/parallel_split.h"

namespace qelt {
namespace {

void split_serially(std::size_t len, std::size_t, PieceLeaf leaf) {
  leaf(0, len);
}

std::size_t one_worker() {
  return 1;
}

void split_over_pool(std::size_t len, std::size_t min_len, PieceLeaf leaf) {
  parallel_split(len, min_len, leaf);
}

}  // namespace

Parallelism serial_parallelism() noexcept {
  return {split_serially, one_worker};
}

Parallelism pool_parallelism() noexcept {
  return {split_over_pool, worker_count};
}

}  // namespace qelt
