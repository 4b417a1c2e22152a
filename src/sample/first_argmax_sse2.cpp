// The arg-max's SSE2 paths: the block walk four lanes at a time. Part of every x86-64 processor.
#include <emmintrin.h>

#include <algorithm>

#include "sample/first_argmax.h"
#include "sample/first_argmax_walk.h"

namespace qelt {
namespace {

struct Sse2ArgmaxLanes {
  using Vec = __m128;
  static constexpr std::size_t LANES = 4;
  static Vec load(const float* p) noexcept { return _mm_loadu_ps(p); }
  static Vec splat(float x) noexcept { return _mm_set1_ps(x); }
  // maxps returns its second operand when either is NaN.
  static Vec max(Vec x, Vec acc) noexcept { return _mm_max_ps(x, acc); }
  static unsigned greater_mask(Vec a, Vec b) noexcept {
    return static_cast<unsigned>(_mm_movemask_ps(_mm_cmpgt_ps(a, b)));
  }
  static unsigned equal_mask(Vec a, Vec b) noexcept {
    return static_cast<unsigned>(_mm_movemask_ps(_mm_cmpeq_ps(a, b)));
  }
  static float largest_lane(Vec v) noexcept {
    alignas(16) float lanes[LANES];
    _mm_store_ps(lanes, v);
    return std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
  }
};

}  // namespace

const ArgmaxPaths& sse2_argmax_paths() noexcept { return ArgmaxWalk<Sse2ArgmaxLanes>::PATHS; }

}  // namespace qelt
