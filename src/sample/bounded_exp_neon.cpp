// bounded_exp with Advanced SIMD (NEON) registers, two doubles at a time: the scalar steps lane
// by lane, so the same bits as the scalar path.
#include <arm_neon.h>

#include "sample/bounded_exp.h"
#include "sample/bounded_exp_steps.h"

namespace qelt {

using namespace bounded_exp_steps;

void bounded_exp_neon(const double* a, double* out, std::size_t count) noexcept {
  const float64x2_t lowest = vdupq_n_f64(LOWEST_ARGUMENT);
  const float64x2_t shift = vdupq_n_f64(ROUNDING_SHIFT);
  const int64x2_t shift_bits = vreinterpretq_s64_f64(shift);
  std::size_t i = 0;
  for (; i + 2 <= count; i += 2) {
    // `lowest > a ? lowest : a` lane by lane, the scalar clamp (NaN stays NaN, payload kept).
    const float64x2_t in = vld1q_f64(a + i);
    const float64x2_t x = vbslq_f64(vcgtq_f64(lowest, in), lowest, in);
    const float64x2_t shifted = vaddq_f64(vmulq_f64(x, vdupq_n_f64(LOG2_E)), shift);
    const int64x2_t k_bits = vsubq_s64(vreinterpretq_s64_f64(shifted), shift_bits);
    const float64x2_t k = vsubq_f64(shifted, shift);
    const float64x2_t f = vsubq_f64(vsubq_f64(x, vmulq_f64(k, vdupq_n_f64(LN2_HEAD))),
                                    vmulq_f64(k, vdupq_n_f64(LN2_TAIL)));
    float64x2_t p = vdupq_n_f64(TAYLOR[DEGREE]);
    for (int t = DEGREE - 1; t >= 0; --t) {
      p = vaddq_f64(vmulq_f64(p, f), vdupq_n_f64(TAYLOR[t]));
    }
    const int64x2_t scaled = vaddq_s64(vreinterpretq_s64_f64(p), vshlq_n_s64(k_bits, 52));
    vst1q_f64(out + i, vreinterpretq_f64_s64(scaled));
  }
  bounded_exp_scalar(a + i, out + i, count - i);
}

}  // namespace qelt
