// The gate kernels with SSE2 registers: two amplitudes per register. Part of the x86-64
// baseline, so this variant runs on every CPU the module supports.
#include <emmintrin.h>

#include "quantum/kernel_loops.h"
#include "quantum/kernel_variants.h"

namespace qelt {
namespace {

struct Sse2 {
  using V = __m128;
  static constexpr std::size_t WIDTH = 2;
  static constexpr bool PAIRED_STREAM_GROUPS = false;  // 16 registers: one group fills them

  static V load(const Amplitude* p) noexcept {
    return _mm_loadu_ps(reinterpret_cast<const float*>(p));
  }
  static void store(Amplitude* p, V v) noexcept { _mm_storeu_ps(reinterpret_cast<float*>(p), v); }
  static V mul(V a, V b) noexcept { return _mm_mul_ps(a, b); }
  static V add(V a, V b) noexcept { return _mm_add_ps(a, b); }
  static V swap_re_im(V v) noexcept { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1)); }
  static V dup_re(Amplitude m) noexcept { return _mm_set1_ps(m.re); }
  static V signed_im(Amplitude m) noexcept { return _mm_setr_ps(-m.im, m.im, -m.im, m.im); }

  // Bit 0 is the only bit inside a register: the pairs are (r0[0], r0[1]) and (r1[0], r1[1]).
  template <unsigned BIT>
  static void deinterleave(V r0, V r1, V& clear, V& set) noexcept {
    static_assert(BIT == 0);
    clear = _mm_castpd_ps(_mm_unpacklo_pd(_mm_castps_pd(r0), _mm_castps_pd(r1)));
    set = _mm_castpd_ps(_mm_unpackhi_pd(_mm_castps_pd(r0), _mm_castps_pd(r1)));
  }
  template <unsigned BIT>
  static void interleave(V clear, V set, V& r0, V& r1) noexcept {
    deinterleave<BIT>(clear, set, r0, r1);  // the same exchange undoes itself
  }
};

constexpr GateKernels SSE2_KERNELS = kernels_for<Sse2>(InstructionSet::SSE2);

}  // namespace

const GateKernels& sse2_gate_kernels() noexcept { return SSE2_KERNELS; }

}  // namespace qelt
