// Which gate-kernel variants this CPU can run, and the one the process uses: the widest,
// chosen once on first use.
#include <iterator>

#include "quantum/kernel_variants.h"
#include "runtime/cpu_features.h"

namespace qelt {

const char* instruction_set_name(InstructionSet set) noexcept {
  switch (set) {
    case InstructionSet::SCALAR:
      return "scalar";
    case InstructionSet::SSE2:
      return "sse2";
    case InstructionSet::AVX2:
      return "avx2";
    case InstructionSet::AVX512F:
      return "avx512f";
    case InstructionSet::NEON:
      return "neon";
  }
  return "unknown";
}

#if defined(__x86_64__)
bool cpu_supports(InstructionSet set) noexcept {
  switch (set) {
    case InstructionSet::SCALAR:
    case InstructionSet::SSE2:  // part of every x86-64 processor
      return true;
    case InstructionSet::AVX2:
      return cpu_has_avx2();
    case InstructionSet::AVX512F:
      return cpu_has_avx512f();
    case InstructionSet::NEON:
      return false;
  }
  return false;
}

const GateKernels& gate_kernels(InstructionSet set) noexcept {
  switch (set) {
    case InstructionSet::SSE2:
      return sse2_gate_kernels();
    case InstructionSet::AVX2:
      return avx2_gate_kernels();
    case InstructionSet::AVX512F:
      return avx512_gate_kernels();
    case InstructionSet::SCALAR:
    case InstructionSet::NEON:
      break;
  }
  return scalar_gate_kernels();
}
#elif defined(__aarch64__)
// Advanced SIMD is part of every aarch64 processor.
bool cpu_supports(InstructionSet set) noexcept {
  return set == InstructionSet::SCALAR || set == InstructionSet::NEON;
}

const GateKernels& gate_kernels(InstructionSet set) noexcept {
  return set == InstructionSet::NEON ? neon_gate_kernels() : scalar_gate_kernels();
}
#else
bool cpu_supports(InstructionSet set) noexcept { return set == InstructionSet::SCALAR; }

const GateKernels& gate_kernels(InstructionSet) noexcept { return scalar_gate_kernels(); }
#endif

namespace {

const GateKernels& widest_supported() noexcept {
  for (auto it = std::rbegin(ALL_INSTRUCTION_SETS); it != std::rend(ALL_INSTRUCTION_SETS); ++it) {
    if (cpu_supports(*it)) return gate_kernels(*it);
  }
  return scalar_gate_kernels();
}

}  // namespace

const GateKernels& active_gate_kernels() noexcept {
  static const GateKernels& chosen = widest_supported();
  return chosen;
}

}  // namespace qelt
