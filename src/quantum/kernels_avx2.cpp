// The gate kernels with AVX2 registers: four amplitudes per register. Compiled with -mavx2 and
// called only when the CPU reports AVX2.
#include <immintrin.h>

#include "quantum/kernel_loops.h"
#include "quantum/kernel_variants.h"

namespace qelt {
namespace {

struct Avx2 {
  using V = __m256;
  static constexpr std::size_t WIDTH = 4;
  static constexpr bool PAIRED_STREAM_GROUPS = false;  // 16 registers: one group fills them

  static V load(const Amplitude* p) noexcept {
    return _mm256_loadu_ps(reinterpret_cast<const float*>(p));
  }
  static void store(Amplitude* p, V v) noexcept {
    _mm256_storeu_ps(reinterpret_cast<float*>(p), v);
  }
  static V mul(V a, V b) noexcept { return _mm256_mul_ps(a, b); }
  static V add(V a, V b) noexcept { return _mm256_add_ps(a, b); }
  static V swap_re_im(V v) noexcept { return _mm256_permute_ps(v, _MM_SHUFFLE(2, 3, 0, 1)); }
  static V dup_re(Amplitude m) noexcept { return _mm256_set1_ps(m.re); }
  static V signed_im(Amplitude m) noexcept {
    return _mm256_setr_ps(-m.im, m.im, -m.im, m.im, -m.im, m.im, -m.im, m.im);
  }

  // Amplitudes are 64-bit units. Bit 0 pairs neighbours inside each 128-bit half (unpack),
  // bit 1 pairs the two halves of a register (lane exchange). Lane k of `clear` and of `set`
  // hold the two members of one pair; each exchange is its own inverse.
  template <unsigned BIT>
  static void deinterleave(V r0, V r1, V& clear, V& set) noexcept {
    static_assert(BIT < 2);
    if constexpr (BIT == 0) {
      clear = _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(r0), _mm256_castps_pd(r1)));
      set = _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(r0), _mm256_castps_pd(r1)));
    } else {
      clear = _mm256_permute2f128_ps(r0, r1, 0x20);
      set = _mm256_permute2f128_ps(r0, r1, 0x31);
    }
  }
  template <unsigned BIT>
  static void interleave(V clear, V set, V& r0, V& r1) noexcept {
    deinterleave<BIT>(clear, set, r0, r1);
  }
};

constexpr GateKernels AVX2_KERNELS = kernels_for<Avx2>(InstructionSet::AVX2);

}  // namespace

const GateKernels& avx2_gate_kernels() noexcept { return AVX2_KERNELS; }

}  // namespace qelt
