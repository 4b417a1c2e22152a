// bounded_exp's AVX2 path: the steps four lanes at a time (built with -mavx2, called only when
// the processor has AVX2).
#include <immintrin.h>

#include "sample/bounded_exp.h"
#include "sample/bounded_exp_steps.h"

namespace qelt {
namespace {

struct Avx2ExpLanes {
  using V = __m256d;
  using Bits = __m256i;
  static constexpr std::size_t WIDTH = 4;
  static V load(const double* p) noexcept { return _mm256_loadu_pd(p); }
  static void store(double* p, V v) noexcept { _mm256_storeu_pd(p, v); }
  static V splat(double x) noexcept { return _mm256_set1_pd(x); }
  static V add(V a, V b) noexcept { return _mm256_add_pd(a, b); }
  static V sub(V a, V b) noexcept { return _mm256_sub_pd(a, b); }
  static V mul(V a, V b) noexcept { return _mm256_mul_pd(a, b); }
  // vmaxpd(low, a) is `low > a ? low : a`: its second operand when either is NaN or both equal.
  static V clamp_below(V low, V a) noexcept { return _mm256_max_pd(low, a); }
  static Bits bits(V v) noexcept { return _mm256_castpd_si256(v); }
  static V from_bits(Bits b) noexcept { return _mm256_castsi256_pd(b); }
  static Bits add_bits(Bits a, Bits b) noexcept { return _mm256_add_epi64(a, b); }
  static Bits sub_bits(Bits a, Bits b) noexcept { return _mm256_sub_epi64(a, b); }
  static Bits shift_exponent(Bits b) noexcept { return _mm256_slli_epi64(b, 52); }
};

}  // namespace

void bounded_exp_avx2(const double* a, double* out, std::size_t count) noexcept {
  bounded_exp_over<Avx2ExpLanes>(a, out, count);
}

}  // namespace qelt
