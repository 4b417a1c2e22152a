// The gate kernels with AVX-512F registers: eight amplitudes per register. Compiled with
// -mavx512f and called only when the CPU reports AVX-512F.
#include <immintrin.h>

#include <cstdint>

#include "quantum/kernel_loops.h"
#include "quantum/kernel_variants.h"
#include "quantum/scalar_steps.h"

namespace qelt {
namespace {

// Two-source permutation indices (index 8..15 picks from the second source) that gather the
// bit-clear or bit-set amplitudes of r0:r1 in ascending position, and that scatter them back.
template <unsigned BIT>
struct ExchangeIndices {
  alignas(64) std::int64_t clear[8];
  alignas(64) std::int64_t set[8];
  alignas(64) std::int64_t back0[8];
  alignas(64) std::int64_t back1[8];
  constexpr ExchangeIndices() : clear{}, set{}, back0{}, back1{} {
    // Positions are in amplitudes, 0..15 over the two concatenated registers.
    for (std::size_t j = 0; j < 8; ++j) {
      clear[j] = static_cast<std::int64_t>(insert_zero_bit(j, BIT));
      set[j] = static_cast<std::int64_t>(insert_zero_bit(j, BIT) | (std::size_t{1} << BIT));
    }
    for (std::size_t p = 0; p < 16; ++p) {
      const std::size_t from = remove_bit(p, BIT) + (((p >> BIT) & 1) ? 8 : 0);
      (p < 8 ? back0[p] : back1[p - 8]) = static_cast<std::int64_t>(from);
    }
  }
};
template <unsigned BIT>
constexpr ExchangeIndices<BIT> EXCHANGE{};

struct Avx512 {
  using V = __m512;
  static constexpr std::size_t WIDTH = 8;
  // Two stream groups per coefficient load (kernel_loops.h). Clang keeps none of the 32
  // coefficient registers of a two-qubit gate across the stream loop and reloads each one per
  // group, so sharing every load between two groups saves a third of the loop's time; GCC keeps
  // most of them in registers, and a second group's amplitudes would push them out.
#if defined(__clang__)
  static constexpr bool PAIRED_STREAM_GROUPS = true;
#else
  static constexpr bool PAIRED_STREAM_GROUPS = false;
#endif

  static V load(const Amplitude* p) noexcept {
    return _mm512_loadu_ps(reinterpret_cast<const float*>(p));
  }
  static void store(Amplitude* p, V v) noexcept {
    _mm512_storeu_ps(reinterpret_cast<float*>(p), v);
  }
  static V mul(V a, V b) noexcept { return _mm512_mul_ps(a, b); }
  static V add(V a, V b) noexcept { return _mm512_add_ps(a, b); }
  // The masked form with every lane selected: the plain one trips a false "may be used
  // uninitialized" warning in GCC 12's header.
  static V swap_re_im(V v) noexcept {
    return _mm512_mask_permute_ps(v, 0xFFFF, v, _MM_SHUFFLE(2, 3, 0, 1));
  }
  static V dup_re(Amplitude m) noexcept { return _mm512_set1_ps(m.re); }
  static V signed_im(Amplitude m) noexcept {
    // Mask bits select the second source: the real lanes (even floats) get -m.im.
    return _mm512_mask_blend_ps(0x5555, _mm512_set1_ps(m.im), _mm512_set1_ps(-m.im));
  }

  // Every NaN lane made the canonical NaN, in one instruction: the fix-up table sends the two
  // NaN classes (quiet and signalling, token 0) to the first operand, the canonical NaN, and
  // every other class (token 1) to the value itself.
  static V canonical_nans(V v) noexcept {
    const V canonical =
        _mm512_castsi512_ps(_mm512_set1_epi32(static_cast<int>(CANONICAL_NAN_BITS)));
    return _mm512_fixupimm_ps(canonical, v, _mm512_set1_epi32(0x11111100), 0);
  }

  // Lane j of `clear` is position insert(j, BIT) of r0:r1 and lane j of `set` its partner, so
  // every bit below BIT of a lane's position stays that of its amplitude.
  template <unsigned BIT>
  static void deinterleave(V r0, V r1, V& clear, V& set) noexcept {
    static_assert(BIT < 3);
    const __m512d a = _mm512_castps_pd(r0);
    const __m512d b = _mm512_castps_pd(r1);
    clear = _mm512_castpd_ps(_mm512_permutex2var_pd(a, index(EXCHANGE<BIT>.clear), b));
    set = _mm512_castpd_ps(_mm512_permutex2var_pd(a, index(EXCHANGE<BIT>.set), b));
  }
  template <unsigned BIT>
  static void interleave(V clear, V set, V& r0, V& r1) noexcept {
    const __m512d a = _mm512_castps_pd(clear);
    const __m512d b = _mm512_castps_pd(set);
    r0 = _mm512_castpd_ps(_mm512_permutex2var_pd(a, index(EXCHANGE<BIT>.back0), b));
    r1 = _mm512_castpd_ps(_mm512_permutex2var_pd(a, index(EXCHANGE<BIT>.back1), b));
  }

 private:
  static __m512i index(const std::int64_t* values) noexcept {
    return _mm512_load_si512(values);
  }
};

constexpr GateKernels AVX512_KERNELS = kernels_for<Avx512>(InstructionSet::AVX512F);

}  // namespace

const GateKernels& avx512_gate_kernels() noexcept { return AVX512_KERNELS; }

}  // namespace qelt
