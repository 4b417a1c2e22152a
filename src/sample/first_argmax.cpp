// The arg-max as block maxima with SSE2 (part of every x86-64 processor; a plain loop elsewhere)
// and a scalar rescan of the few blocks whose maximum beats everything before them.
#include "sample/first_argmax.h"

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstddef>
#include <limits>

namespace qelt {
namespace {

// 8 KiB of floats: large enough to amortise the horizontal reduction, small enough that the
// rescan of a block that holds a new maximum reads it from the first-level cache.
constexpr std::size_t BLOCK = 2048;

// The largest non-NaN value of the block, minus infinity if there is none. maxps returns its
// second operand when either is NaN, so a NaN lane of `x` leaves the accumulator unchanged and
// the accumulators never hold NaN.
float block_max(const float* block, std::size_t len) noexcept {
  std::size_t i = 0;
  float best = -std::numeric_limits<float>::infinity();
#if defined(__x86_64__)
  constexpr std::size_t LANES_PER_STEP = 16;  // four registers of four lanes
  const __m128 minus_inf = _mm_set1_ps(-std::numeric_limits<float>::infinity());
  __m128 acc0 = minus_inf, acc1 = minus_inf, acc2 = minus_inf, acc3 = minus_inf;
  for (; i + LANES_PER_STEP <= len; i += LANES_PER_STEP) {
    acc0 = _mm_max_ps(_mm_loadu_ps(block + i), acc0);
    acc1 = _mm_max_ps(_mm_loadu_ps(block + i + 4), acc1);
    acc2 = _mm_max_ps(_mm_loadu_ps(block + i + 8), acc2);
    acc3 = _mm_max_ps(_mm_loadu_ps(block + i + 12), acc3);
  }
  const __m128 acc = _mm_max_ps(_mm_max_ps(acc0, acc1), _mm_max_ps(acc2, acc3));
  alignas(16) float lanes[4];
  _mm_store_ps(lanes, acc);
  best = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
#endif
  for (; i < len; ++i) {
    if (block[i] > best) best = block[i];
  }
  return best;
}

}  // namespace

float largest_number(std::span<const float> values) noexcept {
  return block_max(values.data(), values.size());
}

std::uint64_t first_argmax_scalar(std::span<const float> values) noexcept {
  float best = -std::numeric_limits<float>::infinity();
  std::uint64_t best_position = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i] > best) {
      best = values[i];
      best_position = i;
    }
  }
  return best_position;
}

std::uint64_t first_argmax(std::span<const float> values) noexcept {
  float best = -std::numeric_limits<float>::infinity();
  std::uint64_t best_position = 0;
  for (std::size_t start = 0; start < values.size(); start += BLOCK) {
    const std::size_t len = std::min(BLOCK, values.size() - start);
    const float* const block = values.data() + start;
    const float candidate = block_max(block, len);
    // Only a strictly larger maximum moves the result: an equal one was seen earlier.
    if (!(candidate > best)) continue;
    // The block holds `candidate` and nothing larger, so its first equal value is the first
    // position of the new maximum (-0.0 equals +0.0, as the scalar walk treats them).
    std::size_t i = 0;
    while (!(block[i] == candidate)) ++i;
    best = candidate;
    best_position = start + i;
  }
  return best_position;
}

}  // namespace qelt
