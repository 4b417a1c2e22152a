// The arg-max's Advanced SIMD (NEON) paths: the block walk four lanes at a time. Part of every
// aarch64 processor.
#include <arm_neon.h>

#include "sample/first_argmax.h"
#include "sample/first_argmax_walk.h"

namespace qelt {
namespace {

struct NeonArgmaxLanes {
  using Vec = float32x4_t;
  static constexpr std::size_t LANES = 4;
  static Vec load(const float* p) noexcept { return vld1q_f32(p); }
  static Vec splat(float x) noexcept { return vdupq_n_f32(x); }
  // `x > acc ? x : acc` lane by lane: acc when x is NaN or equal, as the x86 maximum does
  // (the instruction's own maximum would let NaN in).
  static Vec max(Vec x, Vec acc) noexcept { return vbslq_f32(vcgtq_f32(x, acc), x, acc); }
  static unsigned mask_of(uint32x4_t lanes) noexcept {
    const uint32x4_t weights = {1, 2, 4, 8};
    return vaddvq_u32(vandq_u32(lanes, weights));
  }
  static unsigned greater_mask(Vec a, Vec b) noexcept { return mask_of(vcgtq_f32(a, b)); }
  static unsigned equal_mask(Vec a, Vec b) noexcept { return mask_of(vceqq_f32(a, b)); }
  static float largest_lane(Vec v) noexcept { return vmaxvq_f32(v); }
};

}  // namespace

const ArgmaxPaths& neon_argmax_paths() noexcept { return ArgmaxWalk<NeonArgmaxLanes>::PATHS; }

}  // namespace qelt
