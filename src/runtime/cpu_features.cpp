// CPUID and XGETBV, read once per process.
#if defined(__x86_64__)
#include "runtime/cpu_features.h"

#include <cpuid.h>

#include <cstdint>

namespace qelt {
namespace {

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

}  // namespace

bool cpu_has_avx2() noexcept {
  return features().avx2;
}
bool cpu_has_avx512f() noexcept {
  return features().avx512f;
}

}  // namespace qelt
#endif
