// Test helpers for the gate kernels: random amplitudes (with zeros of both signs, denormals and
// infinities), bit-pattern comparison, and a reference application of one- and two-qubit gates
// written straight from the gate rule, independent of the code under test.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "quantum/kernel_variants.h"
#include "quantum/prepared_gate.h"

namespace qelt::test {

// Mostly ordinary values, with a sprinkling of the values where a reordered or fused operation
// would show: signed zeros, denormals, huge values and infinities (no NaN inputs).
inline float random_float(std::mt19937_64& rng) {
  std::uniform_real_distribution<float> uniform(-2.0f, 2.0f);
  const int kind = static_cast<int>(rng() % 100);
  if (kind < 2) return (rng() & 1) ? std::numeric_limits<float>::infinity()
                                   : -std::numeric_limits<float>::infinity();
  if (kind < 4) return (rng() & 1) ? 0.0f : -0.0f;
  if (kind < 9) return uniform(rng) * 1e-39f;  // denormal
  if (kind < 11) return uniform(rng) * 1e30f;
  return uniform(rng);
}

inline std::vector<Amplitude> random_amplitudes(std::size_t count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<Amplitude> out(count);
  for (Amplitude& a : out) a = {random_float(rng), random_float(rng)};
  return out;
}

// `values` with every 23rd float (from an offset given by `seed`) made a NaN of either sign with
// a payload, quiet or signalling: the inputs whose NaN results processors form differently.
inline std::vector<Amplitude> with_nans(std::vector<Amplitude> values, std::uint64_t seed) {
  constexpr std::uint32_t nans[] = {0xFFC00000u, 0x7FC00001u, 0xFFFFFFFFu, 0x7F800001u};
  auto* floats = reinterpret_cast<unsigned char*>(values.data());
  for (std::size_t k = seed % 23, i = 0; k < 2 * values.size(); k += 23, ++i) {
    std::memcpy(floats + 4 * k, &nans[i % 4], 4);
  }
  return values;
}

// Matrices without infinities, so that the results stay mostly finite and informative.
inline std::vector<Amplitude> random_matrix(std::size_t count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<Amplitude> out(count);
  for (Amplitude& a : out) {
    float re = random_float(rng), im = random_float(rng);
    if (std::isinf(re)) re = 0.5f;
    if (std::isinf(im)) im = -0.25f;
    a = {re, im};
  }
  return out;
}

inline std::vector<std::uint32_t> bit_patterns(const std::vector<Amplitude>& values) {
  std::vector<std::uint32_t> bits(values.size() * 2);
  std::memcpy(bits.data(), values.data(), values.size() * sizeof(Amplitude));
  return bits;
}

// Empty when equal bit for bit; otherwise names the first differing amplitude.
inline std::string first_bit_difference(const std::vector<Amplitude>& got,
                                        const std::vector<Amplitude>& want) {
  if (got.size() != want.size()) return "sizes differ";
  const auto g = bit_patterns(got), w = bit_patterns(want);
  for (std::size_t k = 0; k < g.size(); ++k) {
    if (g[k] != w[k]) {
      return "amplitude " + std::to_string(k / 2) + (k % 2 ? " im" : " re") + ": got bits " +
             std::to_string(g[k]) + ", want " + std::to_string(w[k]);
    }
  }
  return {};
}

// m * a: four products each rounded to float, then the difference and the sum.
inline Amplitude ref_product(Amplitude m, Amplitude a) {
  const float rr = m.re * a.re, ii = m.im * a.im, ri = m.re * a.im, ir = m.im * a.re;
  return {rr - ii, ri + ir};
}
inline Amplitude ref_sum(Amplitude a, Amplitude b) { return {a.re + b.re, a.im + b.im}; }

// One-qubit gate on bit b over a[offset .. offset+len): pairs (k, k + 2^b) with bit b of k clear.
inline void ref_one_qubit(Amplitude* a, std::size_t len, const Amplitude* m, unsigned b) {
  const std::size_t h = std::size_t{1} << b;
  for (std::size_t k = 0; k < len; ++k) {
    if (k & h) continue;
    const Amplitude x = a[k], y = a[k + h];
    a[k] = ref_sum(ref_product(m[0], x), ref_product(m[1], y));
    a[k + h] = ref_sum(ref_product(m[2], x), ref_product(m[3], y));
  }
}

// Two-qubit gate on [b0, b1]: local index 2*bit(b0) + bit(b1).
inline void ref_two_qubit(Amplitude* a, std::size_t len, const Amplitude* m, unsigned b0,
                          unsigned b1) {
  const std::size_t s0 = std::size_t{1} << b0, s1 = std::size_t{1} << b1;
  for (std::size_t k = 0; k < len; ++k) {
    if (k & (s0 | s1)) continue;
    const std::size_t idx[4] = {k, k | s1, k | s0, k | s0 | s1};
    const Amplitude v[4] = {a[idx[0]], a[idx[1]], a[idx[2]], a[idx[3]]};
    for (int r = 0; r < 4; ++r) {
      const Amplitude* row = m + 4 * r;
      Amplitude acc = ref_sum(ref_product(row[0], v[0]), ref_product(row[1], v[1]));
      acc = ref_sum(acc, ref_product(row[2], v[2]));
      a[idx[r]] = ref_sum(acc, ref_product(row[3], v[3]));
    }
  }
}

// Every NaN the gates wrote is the positive quiet NaN without payload.
inline void ref_canonical_nans(Amplitude* a, std::size_t len) {
  constexpr std::uint32_t canonical = 0x7FC00000u;
  for (std::size_t k = 0; k < len; ++k) {
    for (float* part : {&a[k].re, &a[k].im}) {
      if (std::isnan(*part)) std::memcpy(part, &canonical, sizeof canonical);
    }
  }
}

// Every gate, in list order, to every row with that row's matrix; then the row's NaNs made
// canonical (when there was a gate to write them).
inline void ref_apply(std::vector<Amplitude>& psi, std::size_t rows, std::size_t dim,
                      const std::vector<PreparedGate>& gates) {
  for (std::size_t r = 0; r < rows; ++r) {
    for (const PreparedGate& g : gates) {
      const std::size_t s = g.bits.size() == 1 ? 4 : 16;
      const Amplitude* m = g.matrix.data() + (g.per_row ? r * s : 0);
      if (g.bits.size() == 1) {
        ref_one_qubit(psi.data() + r * dim, dim, m, static_cast<unsigned>(g.bits[0]));
      } else {
        ref_two_qubit(psi.data() + r * dim, dim, m, static_cast<unsigned>(g.bits[0]),
                      static_cast<unsigned>(g.bits[1]));
      }
    }
    if (!gates.empty()) ref_canonical_nans(psi.data() + r * dim, dim);
  }
}

inline std::string name_of(InstructionSet set) { return instruction_set_name(set); }

}  // namespace qelt::test
