// bounded_exp's Advanced SIMD (NEON) path: the steps two lanes at a time. Part of every aarch64
// processor.
#include <arm_neon.h>

#include "sample/bounded_exp.h"
#include "sample/bounded_exp_steps.h"

namespace qelt {
namespace {

struct NeonExpLanes {
  using V = float64x2_t;
  using Bits = int64x2_t;
  static constexpr std::size_t WIDTH = 2;
  static V load(const double* p) noexcept { return vld1q_f64(p); }
  static void store(double* p, V v) noexcept { vst1q_f64(p, v); }
  static V splat(double x) noexcept { return vdupq_n_f64(x); }
  static V add(V a, V b) noexcept { return vaddq_f64(a, b); }
  static V sub(V a, V b) noexcept { return vsubq_f64(a, b); }
  static V mul(V a, V b) noexcept { return vmulq_f64(a, b); }
  // A select on `low > a`, so that a NaN a stays itself, payload included (the instruction's
  // own maximum would not keep it).
  static V clamp_below(V low, V a) noexcept { return vbslq_f64(vcgtq_f64(low, a), low, a); }
  static Bits bits(V v) noexcept { return vreinterpretq_s64_f64(v); }
  static V from_bits(Bits b) noexcept { return vreinterpretq_f64_s64(b); }
  static Bits add_bits(Bits a, Bits b) noexcept { return vaddq_s64(a, b); }
  static Bits sub_bits(Bits a, Bits b) noexcept { return vsubq_s64(a, b); }
  static Bits shift_exponent(Bits b) noexcept { return vshlq_n_s64(b, 52); }
};

}  // namespace

void bounded_exp_neon(const double* a, double* out, std::size_t count) noexcept {
  bounded_exp_over<NeonExpLanes>(a, out, count);
}

}  // namespace qelt
