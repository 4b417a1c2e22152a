// bounded_exp: the scalar path, the two-lane path of the architecture's baseline (SSE2 on x86-64,
// NEON on aarch64, part of every processor of each), and the choice among the paths built.
#include "sample/bounded_exp.h"

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "runtime/isa_dispatch.h"
#include "sample/bounded_exp_steps.h"

namespace qelt {
namespace {

#if defined(__x86_64__)
// maxpd(low, a) is the clamp's `low > a ? low : a`, NaN rule included, in one instruction.
struct Sse2ExpLanes : ExpLanes<2> {
  static V clamp_below(V low, V a) noexcept { return _mm_max_pd(low, a); }
};
#endif

constexpr IsaVariant<BoundedExpPath> BOUNDED_EXP_VARIANTS[] = {
    {InstructionSet::SCALAR, bounded_exp_scalar},
#if defined(__x86_64__)
    {InstructionSet::SSE2, bounded_exp_sse2},
    {InstructionSet::AVX2, bounded_exp_avx2},
#elif defined(__aarch64__)
    {InstructionSet::NEON, bounded_exp_neon},
#endif
};

}  // namespace

void bounded_exp_scalar(const double* a, double* out, std::size_t count) noexcept {
  bounded_exp_over<ExpLanes<1>>(a, out, count);
}

#if defined(__x86_64__)
void bounded_exp_sse2(const double* a, double* out, std::size_t count) noexcept {
  bounded_exp_over<Sse2ExpLanes>(a, out, count);
}
#elif defined(__aarch64__)
void bounded_exp_neon(const double* a, double* out, std::size_t count) noexcept {
  bounded_exp_over<ExpLanes<2>>(a, out, count);
}
#endif

void bounded_exp(const double* a, double* out, std::size_t count) noexcept {
  chosen_variant<BOUNDED_EXP_VARIANTS>().entry(a, out, count);
}

BoundedExpPath bounded_exp_path(InstructionSet set) noexcept {
  const IsaVariant<BoundedExpPath>* variant = variant_for(BOUNDED_EXP_VARIANTS, set);
  return variant ? variant->entry : nullptr;
}

InstructionSet bounded_exp_instruction_set() noexcept {
  return chosen_variant<BOUNDED_EXP_VARIANTS>().instruction_set;
}

}  // namespace qelt
