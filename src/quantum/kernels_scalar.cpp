// The plain scalar gate kernels: the reference every vector variant must match bit for bit,
// assembled from the scalar steps.
#include "quantum/kernel_variants.h"
#include "quantum/scalar_steps.h"

namespace qelt {
namespace {

template <bool CANONICAL>
void one_qubit(Amplitude* run, std::size_t len, const Amplitude* m, unsigned bit) noexcept {
  const std::size_t half = std::size_t{1} << bit;
  for (std::size_t t = 0; t + 2 * half <= len; t += 2 * half) {
    scalar_pairs<CANONICAL>(run + t, run + t + half, half, m);
  }
}

constexpr GateKernels SCALAR_KERNELS{
    InstructionSet::SCALAR,
    {one_qubit<false>, scalar_pairs<false>, scalar_quads<false>},
    {one_qubit<true>, scalar_pairs<true>, scalar_quads<true>}};

}  // namespace

const GateKernels& scalar_gate_kernels() noexcept { return SCALAR_KERNELS; }

}  // namespace qelt
