// Range splitting on one thread: the whole range is one piece, run on the calling thread.
#include "pool/parallel_split.h"

namespace qelt {

void parallel_split(std::size_t len, std::size_t /*min_len*/,
                    FunctionRef<void(std::size_t, std::size_t)> leaf) {
  leaf(0, len);
}

}  // namespace qelt
