// The exact scalar steps of the gate kernels (complex product and sum, the one-qubit pair
// update, the two-qubit quadruple update) and the index helpers that address pairs, quadruples
// and blocks. The one source of each: the scalar variant is assembled from these, and the vector
// loops use them for their edges. Any thread; never fails.
//
// Internal linkage on purpose: files compiled with different -m flags include this, and each
// must get its own copy, or the linker could hand an AVX-512 copy to the baseline path.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "quantum/prepared_gate.h"

namespace qelt {
namespace {

// i with a zero bit inserted at position p: the bits of i from p upward move up by one.
constexpr std::size_t insert_zero_bit(std::size_t i, unsigned p) noexcept {
  return ((i >> p) << (p + 1)) | (i & ((std::size_t{1} << p) - 1));
}

// The inverse: x with bit p taken out, the bits above it moving down by one.
constexpr std::size_t remove_bit(std::size_t x, unsigned p) noexcept {
  return ((x >> (p + 1)) << p) | (x & ((std::size_t{1} << p) - 1));
}

// A two-qubit gate's positions [b0, b1] in ascending order, and the map between quadruple
// numbers and their lowest members.
struct OrderedBits {
  unsigned lo;
  unsigned hi;

  constexpr OrderedBits(unsigned b0, unsigned b1) noexcept
      : lo(b0 < b1 ? b0 : b1), hi(b0 < b1 ? b1 : b0) {}

  // Quadruple i's lowest member: i with zero bits inserted at lo, then hi. Inserting at the
  // lower position first makes hi refer to the final index.
  constexpr std::size_t first_member(std::size_t i) const noexcept {
    return insert_zero_bit(insert_zero_bit(i, lo), hi);
  }
  // The inverse, for an index with both positions clear.
  constexpr std::size_t quadruple_of(std::size_t e) const noexcept {
    return remove_bit(remove_bit(e, hi), lo);
  }
};

// m * a with each of the four products rounded to single precision before the difference or
// sum; the build forbids contracting them into fused multiply-adds.
inline Amplitude complex_product(Amplitude m, Amplitude a) noexcept {
  return {m.re * a.re - m.im * a.im, m.re * a.im + m.im * a.re};
}

inline Amplitude complex_sum(Amplitude a, Amplitude b) noexcept {
  return {a.re + b.re, a.im + b.im};
}

// The one NaN the gates write: positive and quiet, with no payload. IEEE arithmetic leaves the
// sign and payload of a NaN result to the processor (x86 makes inf - inf and 0 * inf negative,
// ARM positive, and with two NaN operands each keeps a different one's payload), so the same
// call would otherwise write different bytes on different machines.
inline constexpr std::uint32_t CANONICAL_NAN_BITS = 0x7FC00000;

inline float canonical_nan(float x) noexcept {
  return x != x ? std::bit_cast<float>(CANONICAL_NAN_BITS) : x;
}

// What a kernel stores: the result itself, or with CANONICAL its NaNs made the canonical one.
template <bool CANONICAL>
inline Amplitude stored(Amplitude a) noexcept {
  if constexpr (CANONICAL) return {canonical_nan(a.re), canonical_nan(a.im)};
  return a;
}

// Every NaN among `len` amplitudes made the canonical one.
inline void scalar_canonical_nans(Amplitude* run, std::size_t len) noexcept {
  for (std::size_t j = 0; j < len; ++j) run[j] = stored<true>(run[j]);
}

// `count` pairs (x[j], y[j]) become (m0 x + m1 y, m2 x + m3 y).
template <bool CANONICAL = false>
inline void scalar_pairs(Amplitude* x, Amplitude* y, std::size_t count,
                         const Amplitude* m) noexcept {
  for (std::size_t j = 0; j < count; ++j) {
    const Amplitude a0 = x[j];
    const Amplitude a1 = y[j];
    x[j] = stored<CANONICAL>(complex_sum(complex_product(m[0], a0), complex_product(m[1], a1)));
    y[j] = stored<CANONICAL>(complex_sum(complex_product(m[2], a0), complex_product(m[3], a1)));
  }
}

// Quadruples first .. last-1 of a two-qubit gate on bits [b0, b1]: quadruple i has its lowest
// member e = i with zero bits inserted at the lower, then the higher position, and local index
// 2*bit(b0) + bit(b1). Row r of the result is ((t0 + t1) + t2) + t3.
template <bool CANONICAL = false>
inline void scalar_quads(Amplitude* run, std::size_t first, std::size_t last, const Amplitude* m,
                         unsigned b0, unsigned b1) noexcept {
  const OrderedBits order(b0, b1);
  const std::size_t step0 = std::size_t{1} << b0;
  const std::size_t step1 = std::size_t{1} << b1;
  for (std::size_t i = first; i < last; ++i) {
    const std::size_t e = order.first_member(i);
    Amplitude* const p[4] = {run + e, run + (e | step1), run + (e | step0),
                             run + (e | step0 | step1)};
    const Amplitude a[4] = {*p[0], *p[1], *p[2], *p[3]};
    for (int r = 0; r < 4; ++r) {
      const Amplitude* row = m + 4 * r;
      Amplitude acc = complex_sum(complex_product(row[0], a[0]), complex_product(row[1], a[1]));
      acc = complex_sum(acc, complex_product(row[2], a[2]));
      *p[r] = stored<CANONICAL>(complex_sum(acc, complex_product(row[3], a[3])));
    }
  }
}

// Every NaN among the members of quadruples first .. last-1 (see scalar_quads) made canonical.
inline void scalar_canonical_quads(Amplitude* run, std::size_t first, std::size_t last,
                                   unsigned b0, unsigned b1) noexcept {
  const OrderedBits order(b0, b1);
  const std::size_t both = (std::size_t{1} << b0) | (std::size_t{1} << b1);
  for (std::size_t i = first; i < last; ++i) {
    const std::size_t e = order.first_member(i);
    for (std::size_t k : {e, e | (std::size_t{1} << b1), e | (std::size_t{1} << b0), e | both}) {
      run[k] = stored<true>(run[k]);
    }
  }
}

}  // namespace
}  // namespace qelt
