// The gate kernels with Advanced SIMD (NEON) registers: two amplitudes per register. Part of
// every aarch64 processor, so this variant runs wherever the module does on that architecture.
#include <arm_neon.h>

#include "quantum/kernel_loops.h"
#include "quantum/kernel_variants.h"

namespace qelt {
namespace {

struct Neon {
  using V = float32x4_t;
  static constexpr std::size_t WIDTH = 2;
  static constexpr bool PAIRED_STREAM_GROUPS = false;  // 16 registers: one group fills them

  static V load(const Amplitude* p) noexcept { return vld1q_f32(reinterpret_cast<const float*>(p)); }
  static void store(Amplitude* p, V v) noexcept { vst1q_f32(reinterpret_cast<float*>(p), v); }
  static V mul(V a, V b) noexcept { return vmulq_f32(a, b); }
  static V add(V a, V b) noexcept { return vaddq_f32(a, b); }
  // (re, im) -> (im, re) in each 64-bit half.
  static V swap_re_im(V v) noexcept { return vrev64q_f32(v); }
  static V dup_re(Amplitude m) noexcept { return vdupq_n_f32(m.re); }
  static V signed_im(Amplitude m) noexcept {
    const float lanes[4] = {-m.im, m.im, -m.im, m.im};
    return vld1q_f32(lanes);
  }

  // Bit 0 is the only bit inside a register: the pairs are the low and high halves of r0, r1.
  template <unsigned BIT>
  static void deinterleave(V r0, V r1, V& clear, V& set) noexcept {
    static_assert(BIT == 0);
    clear = vcombine_f32(vget_low_f32(r0), vget_low_f32(r1));
    set = vcombine_f32(vget_high_f32(r0), vget_high_f32(r1));
  }
  template <unsigned BIT>
  static void interleave(V clear, V set, V& r0, V& r1) noexcept {
    deinterleave<BIT>(clear, set, r0, r1);  // the same exchange undoes itself
  }
};

constexpr GateKernels NEON_KERNELS = kernels_for<Neon>(InstructionSet::NEON);

}  // namespace

const GateKernels& neon_gate_kernels() noexcept { return NEON_KERNELS; }

}  // namespace qelt
