// The gate-kernel variants built for this architecture, and the one the process uses: the
// widest the CPU supports, chosen once on first use.
#include "quantum/kernel_variants.h"
#include "runtime/isa_dispatch.h"

namespace qelt {
namespace {

using KernelTable = const GateKernels& (*)() noexcept;

constexpr IsaVariant<KernelTable> GATE_KERNEL_VARIANTS[] = {
    {InstructionSet::SCALAR, scalar_gate_kernels},
#if defined(__x86_64__)
    {InstructionSet::SSE2, sse2_gate_kernels},
    {InstructionSet::AVX2, avx2_gate_kernels},
    {InstructionSet::AVX512F, avx512_gate_kernels},
#elif defined(__aarch64__)
    {InstructionSet::NEON, neon_gate_kernels},
#endif
};

}  // namespace

const GateKernels& gate_kernels(InstructionSet set) noexcept {
  const IsaVariant<KernelTable>* variant = variant_for(GATE_KERNEL_VARIANTS, set);
  return variant ? variant->entry() : scalar_gate_kernels();
}

const GateKernels& active_gate_kernels() noexcept {
  static const GateKernels& chosen = chosen_variant<GATE_KERNEL_VARIANTS>().entry();
  return chosen;
}

}  // namespace qelt
