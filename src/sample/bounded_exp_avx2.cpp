// bounded_exp's AVX2 path: the steps four lanes at a time (built with -mavx2, called only when
// the processor has AVX2).
#include "sample/bounded_exp.h"
#include "sample/bounded_exp_steps.h"

namespace qelt {

void bounded_exp_avx2(const double* a, double* out, std::size_t count) noexcept {
  bounded_exp_over<ExpLanes<4>>(a, out, count);
}

}  // namespace qelt
