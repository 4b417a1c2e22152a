// The arg-max's AVX2 paths: the block walk eight lanes at a time (built with -mavx2, called only
// when the processor has AVX2).
#include <immintrin.h>

#include "sample/first_argmax.h"
#include "sample/first_argmax_walk.h"

namespace qelt {
namespace {

struct Avx2ArgmaxLanes {
  using Vec = __m256;
  static constexpr std::size_t LANES = 8;
  static Vec load(const float* p) noexcept { return _mm256_loadu_ps(p); }
  static Vec splat(float x) noexcept { return _mm256_set1_ps(x); }
  // vmaxps returns its second operand when either is NaN.
  static Vec max(Vec x, Vec acc) noexcept { return _mm256_max_ps(x, acc); }
  // Ordered, quiet compares: NaN compares false, as in the scalar walk.
  static unsigned greater_mask(Vec a, Vec b) noexcept {
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_GT_OQ)));
  }
  static unsigned equal_mask(Vec a, Vec b) noexcept {
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_EQ_OQ)));
  }
  static float largest_lane(Vec v) noexcept {
    alignas(32) float lanes[LANES];
    _mm256_store_ps(lanes, v);
    float best = lanes[0];
    for (std::size_t i = 1; i < LANES; ++i) best = lanes[i] > best ? lanes[i] : best;
    return best;
  }
};

}  // namespace

const ArgmaxPaths& avx2_argmax_paths() noexcept { return ArgmaxWalk<Avx2ArgmaxLanes>::PATHS; }

}  // namespace qelt
