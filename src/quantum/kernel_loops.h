// The vector gate loops, written once over an instruction-set description (`Isa`) and compiled
// in each instruction-set file with that file's flags. Any thread; never fails.
//
// Everything here has internal linkage on purpose: each variant file must get its own copy of
// every helper, compiled for its own instruction set, or the linker could hand an AVX-512 copy
// of a shared inline function to the plain SSE2 path.
//
// Arithmetic. An amplitude is (re, im) in two adjacent floats, so a register of W amplitudes
// holds 2W floats. For a matrix element m the loops keep two registers: `re` = (m.re, m.re, ...)
// and `im` = (-m.im, +m.im, ...). With s = a with re and im swapped in every amplitude,
//   re*a + im*s = (m.re a.re + (-(m.im a.im)), m.re a.im + m.im a.re)
// which is the scalar product bit for bit: (-x)*y is exactly -(x*y), and p + (-q) is exactly
// p - q in IEEE arithmetic. The sums then follow the scalar order term by term.
//
// Index arithmetic. A one-qubit gate on a bit whose half block 2^b holds at least W amplitudes
// streams over the two halves of each block. On a lower bit both members of a pair sit in the
// same register; two consecutive registers are then "deinterleaved" by that bit into one
// register of bit-clear and one of bit-set amplitudes (lane k of each being the two members of
// one pair), updated, and interleaved back.
//
// A two-qubit gate on bits lo < hi visits quadruple numbers i; e = i with zero bits inserted at
// lo, then hi; its members are e, e|2^b1, e|2^b0, e|2^b0|2^b1. Three shapes:
//  - 2^lo >= W: runs of 2^lo consecutive i give consecutive e, so four plain streams.
//  - 2^lo < W <= 2^hi: W quadruples from an aligned i cover the hi-clear positions
//    q = 2i .. 2i+2W-1 (i with a bit inserted at lo), which lie in two W-runs at
//    insert(2i, hi) and insert(2i+W, hi); their hi-set partners lie 2^hi further on. Each pair
//    of registers is deinterleaved by lo.
//  - both bits inside one register: W quadruples from an aligned i occupy the 4W amplitudes from
//    4i on; deinterleave by hi, then the bit-clear and bit-set halves by lo.
// Deinterleaving by hi keeps every lower bit of a lane's position equal to the same bit of its
// amplitude index, which is what makes the second step by lo valid.
#pragma once

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstddef>

#include "quantum/kernel_variants.h"
#include "quantum/prepared_gate.h"
#include "quantum/scalar_steps.h"

// The register-level steps below are forced inline: each takes or returns registers through
// references or arrays, and an out-of-line copy passes them through memory.
#define QELT_ALWAYS_INLINE [[gnu::always_inline]]

namespace qelt {
namespace {

// What an instruction set provides to the loops below. V holds WIDTH amplitudes (2 * WIDTH
// floats, each amplitude's re before its im), WIDTH a power of two from 2 to 8. mul and add are
// the single-precision operations lane by lane, nothing fused. swap_re_im exchanges re and im
// in every amplitude; dup_re(m) is (m.re, m.re, ...) and signed_im(m) is (-m.im, +m.im, ...).
// deinterleave<B>(r0, r1, clear, set) takes two registers of consecutive amplitudes and gives
// the members with bit B of their position clear and set, lane k of both being one pair, every
// lower bit of a lane's position that of its amplitude; interleave<B> undoes it. B runs over
// the bits inside a register (below log2 WIDTH). PAIRED_STREAM_GROUPS: whether two groups
// should share each coefficient load (see two_qubit_streams). Optional: canonical_nans(v), v
// with every NaN lane the canonical NaN, used where one instruction does it (REWRITES_NANS).
template <class Isa>
concept GateKernelIsa = requires(typename Isa::V v, typename Isa::V& out, const Amplitude* from,
                                 Amplitude* to, Amplitude m) {
  requires std::has_single_bit(Isa::WIDTH) && Isa::WIDTH >= 2 && Isa::WIDTH <= 8;
  { Isa::PAIRED_STREAM_GROUPS } -> std::convertible_to<bool>;
  { Isa::load(from) } -> std::same_as<typename Isa::V>;
  Isa::store(to, v);
  { Isa::mul(v, v) } -> std::same_as<typename Isa::V>;
  { Isa::add(v, v) } -> std::same_as<typename Isa::V>;
  { Isa::swap_re_im(v) } -> std::same_as<typename Isa::V>;
  { Isa::dup_re(m) } -> std::same_as<typename Isa::V>;
  { Isa::signed_im(m) } -> std::same_as<typename Isa::V>;
  Isa::template deinterleave<0>(v, v, out, out);
  Isa::template interleave<0>(v, v, out, out);
};

// With CANONICAL, every NaN the loops write ends up the canonical NaN; the arithmetic is the
// same either way. The scalar edges store canonical NaNs directly (scalar_steps.h's stored). The
// vector loops, where an extra operation per register would show, only add up every register
// they store, one addition that the adders, less busy than the multipliers, absorb: a sum
// absorbs NaN, so a sum that is no NaN proves that they stored none. Otherwise (NaN results, or
// infinities of both signs in the sum) the entry point rewrites the NaNs of what it wrote.
template <GateKernelIsa Isa, bool CANONICAL>
struct KernelLoops {
  using V = typename Isa::V;
  static constexpr std::size_t W = Isa::WIDTH;  // amplitudes per register

  // Two sums, taken in turn, so that the additions do not wait on each other.
  struct Watch {
    V sum[2];
  };

  QELT_ALWAYS_INLINE static Watch unwatched() noexcept {
    const V zero = Isa::dup_re(Amplitude{0.0f, 0.0f});
    return {{zero, zero}};
  }

  // An instruction set that can rewrite a register's NaNs in one instruction (AVX-512) does so
  // in the one-qubit loops, where it costs less than the sums; the two-qubit loops, short of
  // registers for its constants, watch the sums there too (measured per loop shape).
  static constexpr bool REWRITES_NANS = requires(V v) {
    { Isa::canonical_nans(v) } -> std::same_as<V>;
  };

  QELT_ALWAYS_INLINE static void put(Amplitude* p, V v, V& sum) noexcept {
    if constexpr (CANONICAL) sum = Isa::add(sum, v);
    Isa::store(p, v);
  }

  // A one-qubit loop's store: rewritten where the instruction set can (and nothing is then left
  // to check), else watched.
  QELT_ALWAYS_INLINE static void put_pair(Amplitude* p, V v, V& sum) noexcept {
    if constexpr (CANONICAL && REWRITES_NANS) {
      Isa::store(p, Isa::canonical_nans(v));
    } else {
      put(p, v, sum);
    }
  }

  // Whether the sums of the stored registers show that a NaN may have been stored.
  static bool may_hold_nan(const Watch& seen) noexcept {
    if constexpr (!CANONICAL) {
      return false;
    } else {
      Amplitude lanes[W];
      Isa::store(lanes, Isa::add(seen.sum[0], seen.sum[1]));
      bool nan = false;
      for (const Amplitude& a : lanes) nan |= (a.re != a.re) | (a.im != a.im);
      return nan;
    }
  }

  struct Coefficient {
    V re;  // (m.re, m.re, ...)
    V im;  // (-m.im, m.im, ...)
  };

  QELT_ALWAYS_INLINE static Coefficient coefficient(Amplitude m) noexcept {
    return {Isa::dup_re(m), Isa::signed_im(m)};
  }

  // m * a, given a and a with re and im swapped.
  QELT_ALWAYS_INLINE static V product(const Coefficient& c, V a, V swapped) noexcept {
    return Isa::add(Isa::mul(c.re, a), Isa::mul(c.im, swapped));
  }

  QELT_ALWAYS_INLINE static void update_pair(const Coefficient* c, V& x, V& y) noexcept {
    const V xs = Isa::swap_re_im(x);
    const V ys = Isa::swap_re_im(y);
    const V new_x = Isa::add(product(c[0], x, xs), product(c[1], y, ys));
    const V new_y = Isa::add(product(c[2], x, xs), product(c[3], y, ys));
    x = new_x;
    y = new_y;
  }

  // Each of the N quadruples q[j][0..3], in local-index order, through the gate; row r of a
  // result is ((t0 + t1) + t2) + t3. With N > 1 every coefficient is used on all N before the
  // next, and each quadruple gets the same operations as alone.
  template <int N>
  QELT_ALWAYS_INLINE static void update_quads(const Coefficient* c, V* const (&q)[N]) noexcept {
    V s[N][4];
    for (int j = 0; j < N; ++j) {
      for (int k = 0; k < 4; ++k) s[j][k] = Isa::swap_re_im(q[j][k]);
    }
    V out[N][4];
    for (int r = 0; r < 4; ++r) {
      const Coefficient* row = c + 4 * r;
      V acc[N];
      for (int j = 0; j < N; ++j) {
        acc[j] = Isa::add(product(row[0], q[j][0], s[j][0]), product(row[1], q[j][1], s[j][1]));
      }
      for (int j = 0; j < N; ++j) acc[j] = Isa::add(acc[j], product(row[2], q[j][2], s[j][2]));
      for (int j = 0; j < N; ++j) out[j][r] = Isa::add(acc[j], product(row[3], q[j][3], s[j][3]));
    }
    for (int j = 0; j < N; ++j) {
      for (int k = 0; k < 4; ++k) q[j][k] = out[j][k];
    }
  }

  // q[j][2h + l] holds the members whose higher gate position is h and lower one l; the local
  // index is 2*bit(b0) + bit(b1), so q[j] is in local order exactly when b0 is the higher
  // position.
  template <int N>
  QELT_ALWAYS_INLINE static void update_quads_by_position(const Coefficient* c, V* const (&q)[N],
                                                          bool first_is_high) noexcept {
    if (first_is_high) return update_quads<N>(c, q);
    V local[N][4];
    V* local_q[N];
    for (int j = 0; j < N; ++j) {
      local[j][0] = q[j][0], local[j][1] = q[j][2], local[j][2] = q[j][1], local[j][3] = q[j][3];
      local_q[j] = local[j];
    }
    update_quads<N>(c, local_q);
    for (int j = 0; j < N; ++j) {
      q[j][0] = local[j][0], q[j][1] = local[j][2], q[j][2] = local[j][1], q[j][3] = local[j][3];
    }
  }

  // Memory-bound pair loops. Pairs from 2^6 to 2^10 amplitudes apart (half blocks of 512 B to
  // 8 KiB) confuse the hardware prefetcher and halve the bandwidth from memory; for those the
  // loop prefetches the run linearly, PREFETCH_AHEAD amplitudes ahead of the block it works
  // on. Elsewhere software prefetching only costs bandwidth, so it is left out, and so it is on
  // runs shorter than PREFETCH_MIN_LEN (a chunk of a cache block, already in cache), where its
  // instructions would compete with the arithmetic.
  static constexpr std::size_t PREFETCH_AHEAD = 4096;
  static constexpr unsigned PREFETCH_MIN_BIT = 6;
  static constexpr unsigned PREFETCH_MAX_BIT = 10;
  static constexpr std::size_t PREFETCH_MIN_LEN = std::size_t{1} << 16;

  static bool pair_stream(Amplitude* x, Amplitude* y, std::size_t count,
                          const Amplitude* m) noexcept {
    const Coefficient c[4] = {coefficient(m[0]), coefficient(m[1]), coefficient(m[2]),
                              coefficient(m[3])};
    [[maybe_unused]] Watch seen = unwatched();
    std::size_t j = 0;
    for (; j + W <= count; j += W) {
      V a = Isa::load(x + j);
      V b = Isa::load(y + j);
      update_pair(c, a, b);
      put_pair(x + j, a, seen.sum[0]);
      put_pair(y + j, b, seen.sum[1]);
    }
    scalar_pairs<CANONICAL>(x + j, y + j, count - j, m);
    return !REWRITES_NANS && may_hold_nan(seen);
  }

  static void one_qubit_pairs(Amplitude* x, Amplitude* y, std::size_t count,
                              const Amplitude* m) noexcept {
    if (pair_stream(x, y, count, m)) {
      scalar_canonical_nans(x, count);
      scalar_canonical_nans(y, count);
    }
  }

  // Every block of a run, 2^bit >= W.
  template <bool PREFETCH>
  static bool one_qubit_blocks(Amplitude* run, std::size_t len, const Amplitude* m,
                               unsigned bit) noexcept {
    const Coefficient c[4] = {coefficient(m[0]), coefficient(m[1]), coefficient(m[2]),
                              coefficient(m[3])};
    [[maybe_unused]] Watch seen = unwatched();
    const std::size_t half = std::size_t{1} << bit;
    for (std::size_t t = 0; t + 2 * half <= len; t += 2 * half) {
      Amplitude* const x = run + t;
      Amplitude* const y = x + half;
      for (std::size_t j = 0; j < half; j += W) {
        if constexpr (PREFETCH) {
          // Two amplitudes of the run per pair: t + 2j sweeps it at the loop's own pace.
          const std::size_t ahead = std::min(t + 2 * j + PREFETCH_AHEAD, len - 1);
          __builtin_prefetch(run + ahead, 1, 3);
          if constexpr (W > 4) __builtin_prefetch(run + std::min(ahead + W, len - 1), 1, 3);
        }
        V a = Isa::load(x + j);
        V b = Isa::load(y + j);
        update_pair(c, a, b);
        put_pair(x + j, a, seen.sum[0]);
        put_pair(y + j, b, seen.sum[1]);
      }
    }
    return !REWRITES_NANS && may_hold_nan(seen);
  }

  static bool prefetch_helps(unsigned bit, std::size_t len) noexcept {
    return bit >= PREFETCH_MIN_BIT && bit <= PREFETCH_MAX_BIT && len >= PREFETCH_MIN_LEN;
  }

  template <unsigned BIT>
  static bool one_qubit_in_register(Amplitude* run, std::size_t len, const Amplitude* m) noexcept {
    const Coefficient c[4] = {coefficient(m[0]), coefficient(m[1]), coefficient(m[2]),
                              coefficient(m[3])};
    [[maybe_unused]] Watch seen = unwatched();
    std::size_t t = 0;
    for (; t + 2 * W <= len; t += 2 * W) {
      V r0 = Isa::load(run + t);
      V r1 = Isa::load(run + t + W);
      V x, y;
      Isa::template deinterleave<BIT>(r0, r1, x, y);
      update_pair(c, x, y);
      Isa::template interleave<BIT>(x, y, r0, r1);
      put_pair(run + t, r0, seen.sum[0]);
      put_pair(run + t + W, r1, seen.sum[1]);
    }
    // Only a run shorter than two registers leaves whole blocks behind.
    constexpr std::size_t half = std::size_t{1} << BIT;
    for (; t + 2 * half <= len; t += 2 * half) {
      scalar_pairs<CANONICAL>(run + t, run + t + half, half, m);
    }
    return !REWRITES_NANS && may_hold_nan(seen);
  }

  static bool one_qubit_watched(Amplitude* run, std::size_t len, const Amplitude* m,
                                unsigned bit) noexcept {
    const std::size_t half = std::size_t{1} << bit;
    if (half >= W) {
      if (prefetch_helps(bit, len)) return one_qubit_blocks<true>(run, len, m, bit);
      return one_qubit_blocks<false>(run, len, m, bit);
    }
    if (bit == 0) return one_qubit_in_register<0>(run, len, m);
    if constexpr (W > 2) {
      if (bit == 1) return one_qubit_in_register<1>(run, len, m);
    }
    if constexpr (W > 4) {
      if (bit == 2) return one_qubit_in_register<2>(run, len, m);
    }
    return false;
  }

  static void one_qubit(Amplitude* run, std::size_t len, const Amplitude* m,
                        unsigned bit) noexcept {
    if (one_qubit_watched(run, len, m, bit)) scalar_canonical_nans(run, len);
  }

  // The groups whose first members are at p[j], their others at the offsets: loaded, updated,
  // stored.
  template <int N>
  QELT_ALWAYS_INLINE static void stream_groups(const Coefficient* c, Amplitude* const (&p)[N],
                                               const std::size_t (&offsets)[4],
                                               Watch& seen) noexcept {
    V a[N][4];
    V* sets[N];
    for (int j = 0; j < N; ++j) {
      for (int k = 0; k < 4; ++k) a[j][k] = Isa::load(p[j] + offsets[k]);
      sets[j] = a[j];
    }
    update_quads<N>(c, sets);
    for (int j = 0; j < N; ++j) {
      for (int k = 0; k < 4; ++k) put(p[j] + offsets[k], a[j][k], seen.sum[k & 1]);
    }
  }

  // The leading quadruples first .. up to the first multiple of W (or last), with the scalar
  // steps; returns where the vector groups start.
  QELT_ALWAYS_INLINE static std::size_t scalar_until_aligned(Amplitude* run, std::size_t first,
                                                             std::size_t last, const Amplitude* m,
                                                             unsigned b0, unsigned b1) noexcept {
    const std::size_t aligned = std::min((first + W - 1) / W * W, last);
    scalar_quads<CANONICAL>(run, first, aligned, m, b0, b1);
    return aligned;
  }

  // Four plain streams: 2^lo >= W. Groups of W quadruples from a multiple of W, which never
  // straddle a run of 2^lo (itself a multiple of W): within a run the members move on with i,
  // and only a run's first group recomputes where they are. The sixteen coefficients take 32
  // registers, more than any register file leaves free beside the amplitudes; where the
  // compiler reloads them per group, Isa::PAIRED_STREAM_GROUPS has two groups go through each
  // coefficient together, so that every load serves eight products instead of four.
  static bool two_qubit_streams(Amplitude* run, std::size_t first, std::size_t last,
                                const Coefficient* c, const Amplitude* m, unsigned b0,
                                unsigned b1) noexcept {
    [[maybe_unused]] Watch seen = unwatched();
    const OrderedBits order(b0, b1);
    const std::size_t step0 = std::size_t{1} << b0;
    const std::size_t step1 = std::size_t{1} << b1;
    const std::size_t run_mask = (std::size_t{1} << order.lo) - 1;
    std::size_t i = scalar_until_aligned(run, first, last, m, b0, b1);
    const auto first_member = [&](std::size_t q) { return run + order.first_member(q); };
    const std::size_t offsets[4] = {0, step1, step0, step0 + step1};
    Amplitude* p0 = i + W <= last ? first_member(i) : run;
    for (; Isa::PAIRED_STREAM_GROUPS && i + 2 * W <= last; i += 2 * W) {
      Amplitude* const pa = (i & run_mask) == 0 ? first_member(i) : p0;
      Amplitude* const pb = ((i + W) & run_mask) == 0 ? first_member(i + W) : pa + W;
      p0 = pb + W;
      stream_groups<2>(c, {pa, pb}, offsets, seen);
    }
    for (; i + W <= last; i += W, p0 += W) {
      if ((i & run_mask) == 0) p0 = first_member(i);
      stream_groups<1>(c, {p0}, offsets, seen);
    }
    scalar_quads<CANONICAL>(run, i, last, m, b0, b1);
    return may_hold_nan(seen);
  }

  // Quadruples first .. last-1: groups of W from a multiple of W through `group(i)`, the edges
  // with the scalar steps.
  template <class Group>
  static void in_aligned_groups(Amplitude* run, std::size_t first, std::size_t last,
                                const Amplitude* m, unsigned b0, unsigned b1,
                                Group group) noexcept {
    std::size_t i = scalar_until_aligned(run, first, last, m, b0, b1);
    for (; i + W <= last; i += W) group(i);
    scalar_quads<CANONICAL>(run, i, last, m, b0, b1);
  }

  // x0, x1: the registers whose members have the higher gate position clear, x2, x3 their
  // partners with it set; deinterleaved by the lower position LO, updated, interleaved back.
  template <unsigned LO>
  QELT_ALWAYS_INLINE static void update_by_low_position(const Coefficient* c, V& x0, V& x1, V& x2,
                                                        V& x3, bool first_is_high) noexcept {
    V q[4];
    Isa::template deinterleave<LO>(x0, x1, q[0], q[1]);
    Isa::template deinterleave<LO>(x2, x3, q[2], q[3]);
    update_quads_by_position<1>(c, {q}, first_is_high);
    Isa::template interleave<LO>(q[0], q[1], x0, x1);
    Isa::template interleave<LO>(q[2], q[3], x2, x3);
  }

  // The low bit inside a register, the high bit outside: 2^LO < W <= 2^hi. Under
  // Isa::PAIRED_STREAM_GROUPS two groups go through each coefficient together, as in the stream
  // loop.
  template <unsigned LO>
  QELT_ALWAYS_INLINE static bool two_qubit_low_bit(Amplitude* run, std::size_t first,
                                                   std::size_t last, const Coefficient* c,
                                                   const Amplitude* m, unsigned b0,
                                                   unsigned b1) noexcept {
    [[maybe_unused]] Watch seen = unwatched();
    const unsigned hi = OrderedBits(b0, b1).hi;
    const bool first_is_high = b0 == hi;
    const std::size_t hi_step = std::size_t{1} << hi;
    // Group i's registers: the two hi-clear ones, then their hi-set partners.
    const auto members = [&](std::size_t i, Amplitude** p) {
      p[0] = run + insert_zero_bit(2 * i, hi);
      p[1] = run + insert_zero_bit(2 * i + W, hi);
      p[2] = p[0] + hi_step;
      p[3] = p[1] + hi_step;
    };
    std::size_t i = scalar_until_aligned(run, first, last, m, b0, b1);
    for (; Isa::PAIRED_STREAM_GROUPS && i + 2 * W <= last; i += 2 * W) {
      Amplitude* pa[4];
      Amplitude* pb[4];
      members(i, pa);
      members(i + W, pb);
      V qa[4], qb[4];
      Isa::template deinterleave<LO>(Isa::load(pa[0]), Isa::load(pa[1]), qa[0], qa[1]);
      Isa::template deinterleave<LO>(Isa::load(pa[2]), Isa::load(pa[3]), qa[2], qa[3]);
      Isa::template deinterleave<LO>(Isa::load(pb[0]), Isa::load(pb[1]), qb[0], qb[1]);
      Isa::template deinterleave<LO>(Isa::load(pb[2]), Isa::load(pb[3]), qb[2], qb[3]);
      update_quads_by_position<2>(c, {qa, qb}, first_is_high);
      for (int k = 0; k < 4; k += 2) {
        V r0, r1;
        Isa::template interleave<LO>(qa[k], qa[k + 1], r0, r1);
        put(pa[k], r0, seen.sum[0]);
        put(pa[k + 1], r1, seen.sum[0]);
        Isa::template interleave<LO>(qb[k], qb[k + 1], r0, r1);
        put(pb[k], r0, seen.sum[0]);
        put(pb[k + 1], r1, seen.sum[0]);
      }
    }
    for (; i + W <= last; i += W) {
      Amplitude* p[4];
      members(i, p);
      V r0 = Isa::load(p[0]), r1 = Isa::load(p[1]);
      V r2 = Isa::load(p[2]), r3 = Isa::load(p[3]);
      update_by_low_position<LO>(c, r0, r1, r2, r3, first_is_high);
      put(p[0], r0, seen.sum[0]);
      put(p[1], r1, seen.sum[0]);
      put(p[2], r2, seen.sum[0]);
      put(p[3], r3, seen.sum[0]);
    }
    scalar_quads<CANONICAL>(run, i, last, m, b0, b1);
    return may_hold_nan(seen);
  }

  // Both bits inside one register: 2^LO < 2^HI < W.
  template <unsigned LO, unsigned HI>
  static bool two_qubit_in_register(Amplitude* run, std::size_t first, std::size_t last,
                                    const Coefficient* c, const Amplitude* m, unsigned b0,
                                    unsigned b1) noexcept {
    const bool first_is_high = b0 == HI;
    [[maybe_unused]] Watch seen = unwatched();
    in_aligned_groups(run, first, last, m, b0, b1, [&](std::size_t i) {
      Amplitude* const base = run + 4 * i;
      V r0 = Isa::load(base), r1 = Isa::load(base + W);
      V r2 = Isa::load(base + 2 * W), r3 = Isa::load(base + 3 * W);
      V hi_clear_a, hi_set_a, hi_clear_b, hi_set_b;
      Isa::template deinterleave<HI>(r0, r1, hi_clear_a, hi_set_a);
      Isa::template deinterleave<HI>(r2, r3, hi_clear_b, hi_set_b);
      update_by_low_position<LO>(c, hi_clear_a, hi_clear_b, hi_set_a, hi_set_b, first_is_high);
      Isa::template interleave<HI>(hi_clear_a, hi_set_a, r0, r1);
      Isa::template interleave<HI>(hi_clear_b, hi_set_b, r2, r3);
      put(base, r0, seen.sum[0]);
      put(base + W, r1, seen.sum[1]);
      put(base + 2 * W, r2, seen.sum[0]);
      put(base + 3 * W, r3, seen.sum[1]);
    });
    return may_hold_nan(seen);
  }

  static bool two_qubit_watched(Amplitude* run, std::size_t first, std::size_t last,
                                const Amplitude* m, unsigned b0, unsigned b1) noexcept {
    Coefficient c[16];
    for (int k = 0; k < 16; ++k) c[k] = coefficient(m[k]);
    const auto [lo, hi] = OrderedBits(b0, b1);
    if ((std::size_t{1} << lo) >= W) return two_qubit_streams(run, first, last, c, m, b0, b1);
    if ((std::size_t{1} << hi) >= W) {
      if (lo == 0) return two_qubit_low_bit<0>(run, first, last, c, m, b0, b1);
      if constexpr (W > 2) {
        if (lo == 1) return two_qubit_low_bit<1>(run, first, last, c, m, b0, b1);
      }
      if constexpr (W > 4) {
        if (lo == 2) return two_qubit_low_bit<2>(run, first, last, c, m, b0, b1);
      }
      return false;
    }
    if constexpr (W > 2) {
      if (lo == 0 && hi == 1) return two_qubit_in_register<0, 1>(run, first, last, c, m, b0, b1);
    }
    if constexpr (W > 4) {
      if (lo == 0 && hi == 2) return two_qubit_in_register<0, 2>(run, first, last, c, m, b0, b1);
      if (lo == 1 && hi == 2) return two_qubit_in_register<1, 2>(run, first, last, c, m, b0, b1);
    }
    return false;
  }

  static void two_qubit(Amplitude* run, std::size_t first, std::size_t last, const Amplitude* m,
                        unsigned b0, unsigned b1) noexcept {
    if (two_qubit_watched(run, first, last, m, b0, b1)) {
      scalar_canonical_quads(run, first, last, b0, b1);
    }
  }

  static constexpr GateEntryPoints entry_points() noexcept {
    return {one_qubit, one_qubit_pairs, two_qubit};
  }
};

// Both sets of entry points of an instruction set's variant.
template <GateKernelIsa Isa>
constexpr GateKernels kernels_for(InstructionSet set) noexcept {
  return {set, KernelLoops<Isa, false>::entry_points(), KernelLoops<Isa, true>::entry_points()};
}

}  // namespace
}  // namespace qelt
