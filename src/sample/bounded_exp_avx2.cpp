// bounded_exp's AVX2 path: the scalar steps four lanes at a time (built with -mavx2, called only
// when the processor has AVX2).
#include <immintrin.h>

#include "sample/bounded_exp.h"
#include "sample/bounded_exp_steps.h"

namespace qelt {

using namespace bounded_exp_steps;

void bounded_exp_avx2(const double* a, double* out, std::size_t count) noexcept {
  const __m256d lowest = _mm256_set1_pd(LOWEST_ARGUMENT);
  const __m256d shift = _mm256_set1_pd(ROUNDING_SHIFT);
  const __m256i shift_bits = _mm256_castpd_si256(shift);
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    // maxpd(lowest, a) is `lowest > a ? lowest : a`, the scalar clamp (NaN stays NaN).
    const __m256d x = _mm256_max_pd(lowest, _mm256_loadu_pd(a + i));
    const __m256d shifted = _mm256_add_pd(_mm256_mul_pd(x, _mm256_set1_pd(LOG2_E)), shift);
    const __m256i k_bits = _mm256_sub_epi64(_mm256_castpd_si256(shifted), shift_bits);
    const __m256d k = _mm256_sub_pd(shifted, shift);
    const __m256d f = _mm256_sub_pd(_mm256_sub_pd(x, _mm256_mul_pd(k, _mm256_set1_pd(LN2_HEAD))),
                                    _mm256_mul_pd(k, _mm256_set1_pd(LN2_TAIL)));
    __m256d p = _mm256_set1_pd(TAYLOR[DEGREE]);
    for (int t = DEGREE - 1; t >= 0; --t) {
      p = _mm256_add_pd(_mm256_mul_pd(p, f), _mm256_set1_pd(TAYLOR[t]));
    }
    const __m256i scaled = _mm256_add_epi64(_mm256_castpd_si256(p), _mm256_slli_epi64(k_bits, 52));
    _mm256_storeu_pd(out + i, _mm256_castsi256_pd(scaled));
  }
  bounded_exp_scalar(a + i, out + i, count - i);
}

}  // namespace qelt
