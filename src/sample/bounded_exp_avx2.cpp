// bounded_exp's AVX2 path: the steps four lanes at a time (built with -mavx2, called only when
// the processor has AVX2).
#include <immintrin.h>

#include "sample/bounded_exp.h"
#include "sample/bounded_exp_steps.h"

namespace qelt {
namespace {

// vmaxpd(low, a) is the clamp's `low > a ? low : a`, NaN rule included, in one instruction.
struct Avx2ExpLanes : ExpLanes<4> {
  static V clamp_below(V low, V a) noexcept { return _mm256_max_pd(low, a); }
};

}  // namespace

void bounded_exp_avx2(const double* a, double* out, std::size_t count) noexcept {
  bounded_exp_over<Avx2ExpLanes>(a, out, count);
}

}  // namespace qelt
