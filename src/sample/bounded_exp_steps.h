// The steps of bounded_exp, written once over a description of the lanes they run on (a plain
// double, or a vector register of them), so that the scalar path and every vector path perform
// the same sequence of operations lane by lane and give the same bits. Included by each
// instruction-set file of bounded_exp, with internal linkage, so that each keeps its own copy
// compiled for its instruction set. Any thread; never fails.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qelt {
namespace {

// What the steps need of their lanes: V holds WIDTH doubles, Bits the same 64-bit patterns as
// integers. add, sub and mul are the double-precision operations lane by lane; clamp_below(low,
// a) is `low > a ? low : a` lane by lane (so a NaN a stays itself); bits and from_bits
// reinterpret without changing a bit; add_bits and sub_bits are 64-bit integer arithmetic
// modulo 2^64, shift_exponent a left shift by 52.
template <class L>
concept BoundedExpLanes = requires(typename L::V v, typename L::Bits b, const double* from,
                                   double* to, double x) {
  { L::WIDTH } -> std::convertible_to<std::size_t>;
  { L::load(from) } -> std::same_as<typename L::V>;
  L::store(to, v);
  { L::splat(x) } -> std::same_as<typename L::V>;
  { L::add(v, v) } -> std::same_as<typename L::V>;
  { L::sub(v, v) } -> std::same_as<typename L::V>;
  { L::mul(v, v) } -> std::same_as<typename L::V>;
  { L::clamp_below(v, v) } -> std::same_as<typename L::V>;
  { L::bits(v) } -> std::same_as<typename L::Bits>;
  { L::from_bits(b) } -> std::same_as<typename L::V>;
  { L::add_bits(b, b) } -> std::same_as<typename L::Bits>;
  { L::sub_bits(b, b) } -> std::same_as<typename L::Bits>;
  { L::shift_exponent(b) } -> std::same_as<typename L::Bits>;
};

// WIDTH doubles: one (the scalar path, and every vector path's tail), or a register of two
// (SSE2, NEON) or four (AVX2) of the instruction set the including file is compiled for, in the
// compiler's vector extension, whose +, -, * and ?: are the IEEE operations and the select lane
// by lane.
template <std::size_t LANES>
struct DoubleLanes {
  using V = double;
  using Bits = std::uint64_t;
};
template <>
struct DoubleLanes<2> {
  typedef double V __attribute__((vector_size(16)));
  typedef std::uint64_t Bits __attribute__((vector_size(16)));
};
template <>
struct DoubleLanes<4> {
  typedef double V __attribute__((vector_size(32)));
  typedef std::uint64_t Bits __attribute__((vector_size(32)));
};

template <std::size_t LANES>
struct ExpLanes {
  using V = typename DoubleLanes<LANES>::V;
  using Bits = typename DoubleLanes<LANES>::Bits;
  static constexpr std::size_t WIDTH = LANES;
  static V load(const double* p) noexcept {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  static void store(double* p, V v) noexcept { std::memcpy(p, &v, sizeof v); }
  static V splat(double x) noexcept {
    if constexpr (LANES == 1) {
      return x;
    } else {
      V v;
      for (std::size_t i = 0; i < LANES; ++i) v[i] = x;
      return v;
    }
  }
  static V add(V a, V b) noexcept { return a + b; }
  static V sub(V a, V b) noexcept { return a - b; }
  static V mul(V a, V b) noexcept { return a * b; }
  // A lane-wise select on vectors; an instruction set whose maximum has this NaN rule (x86-64's
  // maxpd) overrides it, as compilers make a compare and a blend of it.
  static V clamp_below(V low, V a) noexcept { return low > a ? low : a; }
  static Bits bits(V v) noexcept { return std::bit_cast<Bits>(v); }
  static V from_bits(Bits b) noexcept { return std::bit_cast<V>(b); }
  static Bits add_bits(Bits a, Bits b) noexcept { return a + b; }
  static Bits sub_bits(Bits a, Bits b) noexcept { return a - b; }
  static Bits shift_exponent(Bits b) noexcept { return b << 52; }
};

// exp(a) for a in [-700, 0]: a = k ln 2 + f with k = round(a / ln 2), |f| <= ln 2 / 2 + 2^-40;
// then the Taylor polynomial of degree 10 at f, scaled by 2^k. Relative error budget:
// truncation |f|^11 / 11! * e^|f| < 2^-41.5; Horner evaluation in double of a sum whose
// terms never exceed e^(2|f|) < 2 times the result, about 2 * 11 roundings, < 2^-47; the
// reduced argument is off by at most 2^-52 in absolute terms (k ln 2 split into a 32-bit head,
// exact for |k| < 2^21, and a tail; the subtraction of the head is exact by Sterbenz's lemma),
// so < 2^-51 relative. Scaling by 2^k is exact because the result stays normal (k >= -1011).
// Total below 2^-41.
struct ExpConstants {
  static constexpr double LOWEST_ARGUMENT = -700.0;
  static constexpr double LOG2_E = 0x1.71547652b82fep0;
  static constexpr double LN2_HEAD = 0x1.62e42fee00000p-1;
  static constexpr double LN2_TAIL = 0x1.a39ef35793c76p-33;
  static constexpr double ROUNDING_SHIFT = 0x1.8p52;  // adding it rounds to an integer
  static constexpr int DEGREE = 10;
  static constexpr double TAYLOR[DEGREE + 1] = {
      1.0,       1.0,        1.0 / 2,     1.0 / 6,      1.0 / 24,     1.0 / 120,
      1.0 / 720, 1.0 / 5040, 1.0 / 40320, 1.0 / 362880, 1.0 / 3628800};
};

// The approximation of exp(max(a, -700)) in every lane; NaN stays NaN.
template <BoundedExpLanes L>
typename L::V approximate_exp(typename L::V argument) noexcept {
  using C = ExpConstants;
  const typename L::V a = L::clamp_below(L::splat(C::LOWEST_ARGUMENT), argument);
  const typename L::V shift = L::splat(C::ROUNDING_SHIFT);
  const typename L::V shifted = L::add(L::mul(a, L::splat(C::LOG2_E)), shift);
  const typename L::Bits k_bits = L::sub_bits(L::bits(shifted), L::bits(shift));
  const typename L::V k = L::sub(shifted, shift);
  const typename L::V f =
      L::sub(L::sub(a, L::mul(k, L::splat(C::LN2_HEAD))), L::mul(k, L::splat(C::LN2_TAIL)));
  typename L::V p = L::splat(C::TAYLOR[C::DEGREE]);
  for (int i = C::DEGREE - 1; i >= 0; --i) p = L::add(L::mul(p, f), L::splat(C::TAYLOR[i]));
  return L::from_bits(L::add_bits(L::bits(p), L::shift_exponent(k_bits)));
}

// out[i] = approximate_exp(a[i]) for i < count: L::WIDTH lanes at a time, the rest one by one.
template <BoundedExpLanes L>
void bounded_exp_over(const double* a, double* out, std::size_t count) noexcept {
  std::size_t i = 0;
  for (; i + L::WIDTH <= count; i += L::WIDTH) {
    L::store(out + i, approximate_exp<L>(L::load(a + i)));
  }
  for (; i < count; ++i) out[i] = approximate_exp<ExpLanes<1>>(a[i]);
}

}  // namespace
}  // namespace qelt
