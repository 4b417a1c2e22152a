// bounded_exp's SSE2 path: the steps two lanes at a time. Part of every x86-64 processor.
#include <emmintrin.h>

#include "sample/bounded_exp.h"
#include "sample/bounded_exp_steps.h"

namespace qelt {
namespace {

struct Sse2ExpLanes {
  using V = __m128d;
  using Bits = __m128i;
  static constexpr std::size_t WIDTH = 2;
  static V load(const double* p) noexcept { return _mm_loadu_pd(p); }
  static void store(double* p, V v) noexcept { _mm_storeu_pd(p, v); }
  static V splat(double x) noexcept { return _mm_set1_pd(x); }
  static V add(V a, V b) noexcept { return _mm_add_pd(a, b); }
  static V sub(V a, V b) noexcept { return _mm_sub_pd(a, b); }
  static V mul(V a, V b) noexcept { return _mm_mul_pd(a, b); }
  // maxpd(low, a) is `low > a ? low : a`: its second operand when either is NaN or both equal.
  static V clamp_below(V low, V a) noexcept { return _mm_max_pd(low, a); }
  static Bits bits(V v) noexcept { return _mm_castpd_si128(v); }
  static V from_bits(Bits b) noexcept { return _mm_castsi128_pd(b); }
  static Bits add_bits(Bits a, Bits b) noexcept { return _mm_add_epi64(a, b); }
  static Bits sub_bits(Bits a, Bits b) noexcept { return _mm_sub_epi64(a, b); }
  static Bits shift_exponent(Bits b) noexcept { return _mm_slli_epi64(b, 52); }
};

}  // namespace

void bounded_exp_sse2(const double* a, double* out, std::size_t count) noexcept {
  bounded_exp_over<Sse2ExpLanes>(a, out, count);
}

}  // namespace qelt
