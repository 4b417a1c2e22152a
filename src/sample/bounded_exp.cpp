// bounded_exp: the scalar path, the SSE2 path (every x86-64 processor) and the choice of path;
// aarch64 takes the NEON path (bounded_exp_neon.cpp), other architectures the scalar one.
#include "sample/bounded_exp.h"

#if defined(__x86_64__)
#include <emmintrin.h>

#include "runtime/cpu_features.h"
#endif

#include "sample/bounded_exp_steps.h"

namespace qelt {

using namespace bounded_exp_steps;

void bounded_exp_scalar(const double* a, double* out, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i) out[i] = approximate_exp(a[i]);
}

#if defined(__x86_64__)
void bounded_exp_sse2(const double* a, double* out, std::size_t count) noexcept {
  const __m128d lowest = _mm_set1_pd(LOWEST_ARGUMENT);
  const __m128d shift = _mm_set1_pd(ROUNDING_SHIFT);
  const __m128i shift_bits = _mm_castpd_si128(shift);
  std::size_t i = 0;
  for (; i + 2 <= count; i += 2) {
    // maxpd(lowest, a) is `lowest > a ? lowest : a`, the scalar clamp (NaN stays NaN).
    const __m128d x = _mm_max_pd(lowest, _mm_loadu_pd(a + i));
    const __m128d shifted = _mm_add_pd(_mm_mul_pd(x, _mm_set1_pd(LOG2_E)), shift);
    const __m128i k_bits = _mm_sub_epi64(_mm_castpd_si128(shifted), shift_bits);
    const __m128d k = _mm_sub_pd(shifted, shift);
    const __m128d f = _mm_sub_pd(_mm_sub_pd(x, _mm_mul_pd(k, _mm_set1_pd(LN2_HEAD))),
                                 _mm_mul_pd(k, _mm_set1_pd(LN2_TAIL)));
    __m128d p = _mm_set1_pd(TAYLOR[DEGREE]);
    for (int t = DEGREE - 1; t >= 0; --t) {
      p = _mm_add_pd(_mm_mul_pd(p, f), _mm_set1_pd(TAYLOR[t]));
    }
    const __m128i scaled = _mm_add_epi64(_mm_castpd_si128(p), _mm_slli_epi64(k_bits, 52));
    _mm_storeu_pd(out + i, _mm_castsi128_pd(scaled));
  }
  bounded_exp_scalar(a + i, out + i, count - i);
}

bool has_avx2() noexcept {
  return cpu_has_avx2();
}

void bounded_exp(const double* a, double* out, std::size_t count) noexcept {
  if (has_avx2()) {
    bounded_exp_avx2(a, out, count);
  } else {
    bounded_exp_sse2(a, out, count);
  }
}
#elif defined(__aarch64__)
bool has_avx2() noexcept { return false; }

void bounded_exp(const double* a, double* out, std::size_t count) noexcept {
  bounded_exp_neon(a, out, count);
}
#else
bool has_avx2() noexcept { return false; }

void bounded_exp(const double* a, double* out, std::size_t count) noexcept {
  bounded_exp_scalar(a, out, count);
}
#endif

}  // namespace qelt
