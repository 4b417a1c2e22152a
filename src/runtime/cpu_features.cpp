// The instruction sets' names, and which of them this process can use: on x86-64 from CPUID and
// XGETBV, read once; on aarch64 Advanced SIMD is part of every processor.
#include "runtime/cpu_features.h"

#if defined(__x86_64__)
#include <cpuid.h>

#include <cstdint>
#endif

namespace qelt {
namespace {

#if defined(__x86_64__)
struct Features {
  bool avx2 = false;
  bool avx512f = false;
};

Features detect() noexcept {
  Features f;
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
  const bool osxsave = c & (1u << 27), avx = c & (1u << 28);
  if (!osxsave || !avx) return f;
  // Which register states the operating system saves: SSE and AVX (bits 1, 2), and for AVX-512
  // the opmask and upper ZMM states (bits 5, 6, 7).
  unsigned lo, hi;
  __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  const std::uint64_t xcr0 = (std::uint64_t{hi} << 32) | lo;
  if ((xcr0 & 0x6) != 0x6) return f;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return f;
  f.avx2 = b & (1u << 5);
  f.avx512f = (b & (1u << 16)) && (xcr0 & 0xe6) == 0xe6;
  return f;
}

const Features& features() noexcept {
  static const Features detected = detect();
  return detected;
}
#endif

}  // namespace

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

bool cpu_supports(InstructionSet set) noexcept {
  switch (set) {
    case InstructionSet::SCALAR:
      return true;
#if defined(__x86_64__)
    case InstructionSet::SSE2:  // part of every x86-64 processor
      return true;
    case InstructionSet::AVX2:
      return features().avx2;
    case InstructionSet::AVX512F:
      return features().avx512f;
#elif defined(__aarch64__)
    case InstructionSet::NEON:  // part of every aarch64 processor
      return true;
#endif
    default:
      return false;
  }
}

}  // namespace qelt
