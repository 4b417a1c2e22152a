// The distance that keeps two threads' data from sharing a cache line, for every structure of
// the tree that pads or aligns for that reason. Any thread; a constant.
#pragma once

#include <cstddef>

namespace qelt {

// Two 64-byte lines: x86 processors fetch lines in adjacent pairs (the spatial prefetcher), and
// some aarch64 processors have 128-byte lines, so data 64 bytes apart can still bounce between
// cores. Not std::hardware_destructive_interference_size, which varies with compiler flags.
inline constexpr std::size_t CACHE_LINE_BYTES = 128;

}  // namespace qelt
