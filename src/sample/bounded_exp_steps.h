// The steps of bounded_exp, shared by its scalar and vector paths so that they stay the same
// sequence of operations. Internal to src/sample.
#pragma once

#include <bit>
#include <cstdint>

namespace qelt::bounded_exp_steps {

// exp(a) for a in [-700, 0]: a = k ln 2 + f with k = round(a / ln 2), |f| <= ln 2 / 2 + 2^-40;
// then the Taylor polynomial of degree 10 at f, scaled by 2^k. Relative error budget:
// truncation |f|^11 / 11! * e^|f| < 2^-41.5; Horner evaluation in double of a sum whose
// terms never exceed e^(2|f|) < 2 times the result, about 2 * 11 roundings, < 2^-47; the
// reduced argument is off by at most 2^-52 in absolute terms (k ln 2 split into a 32-bit head,
// exact for |k| < 2^21, and a tail; the subtraction of the head is exact by Sterbenz's lemma),
// so < 2^-51 relative. Scaling by 2^k is exact because the result stays normal (k >= -1011).
// Total below 2^-41.
inline constexpr double LOWEST_ARGUMENT = -700.0;
inline constexpr double LOG2_E = 0x1.71547652b82fep0;
inline constexpr double LN2_HEAD = 0x1.62e42fee00000p-1;
inline constexpr double LN2_TAIL = 0x1.a39ef35793c76p-33;
inline constexpr double ROUNDING_SHIFT = 0x1.8p52;  // adding it rounds to an integer
inline constexpr int DEGREE = 10;
inline constexpr double TAYLOR[DEGREE + 1] = {1.0,         1.0,          1.0 / 2,      1.0 / 6,
                                              1.0 / 24,    1.0 / 120,    1.0 / 720,    1.0 / 5040,
                                              1.0 / 40320, 1.0 / 362880, 1.0 / 3628800};

inline double approximate_exp(double argument) noexcept {
  const double a = LOWEST_ARGUMENT > argument ? LOWEST_ARGUMENT : argument;  // NaN stays NaN
  const double shifted = a * LOG2_E + ROUNDING_SHIFT;
  const std::uint64_t k_bits =
      std::bit_cast<std::uint64_t>(shifted) - std::bit_cast<std::uint64_t>(ROUNDING_SHIFT);
  const double k = shifted - ROUNDING_SHIFT;
  const double f = (a - k * LN2_HEAD) - k * LN2_TAIL;
  double p = TAYLOR[DEGREE];
  for (int i = DEGREE - 1; i >= 0; --i) p = p * f + TAYLOR[i];
  return std::bit_cast<double>(std::bit_cast<std::uint64_t>(p) + (k_bits << 52));
}

}  // namespace qelt::bounded_exp_steps
