// The exact softmax weights of the ranked candidates and their total, shared by the full
// sampling path and the nucleus shortcut, which must produce the same bits for the same
// candidates. Any thread; one instance per walk over a ranking. Never fails.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

namespace qelt {

// exp((logit - best) / temperature) in double precision, the temperature applied as a product
// with its reciprocal, through the platform's exp one value at a time, for candidates visited in
// rank order starting with the best one.
//
// Two limits of the softmax replace the formula where it would give NaN:
// - a best logit of +inf: every +inf candidate weighs 1.0 and every other 0.0, so the draw
//   picks among the +inf candidates;
// - beside a finite best logit, a -inf or NaN candidate weighs 0.0 at every temperature,
//   infinite included: at T = +inf the reciprocal is 0 and (-inf - best) * 0 would be NaN,
//   while every finite candidate weighs exp(+-0) = 1 there, the softmax's uniform limit.
// With no finite best logit (all -inf or NaN), or a NaN temperature, the formula stands and its
// NaN weights make the draw fall through to the last kept candidate.
//
// Equal logits sit next to each other in a ranking, and a logit with the same bit pattern as its
// predecessor goes through the same operations, so its weight is reused instead of calling exp
// again (logits from low-precision models repeat values a lot). Comparing bit patterns keeps that
// exact with no case analysis of -0.0, +0.0 or NaN.
class RankedWeights {
 public:
  RankedWeights(float best, float temperature) noexcept
      : best_(best),
        reciprocal_(1.0 / static_cast<double>(temperature)),
        best_is_infinite_(best == std::numeric_limits<float>::infinity()),
        lowest_weighs_zero_(std::isfinite(best) && !std::isnan(temperature)) {}

  // The weight of the next candidate in rank order.
  double next(float logit) noexcept {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(logit);
    if (first_ || bits != previous_bits_) {
      first_ = false;
      previous_bits_ = bits;
      previous_weight_ = weight(logit);
    }
    return previous_weight_;
  }

 private:
  double weight(float logit) const noexcept {
    if (best_is_infinite_) return logit == std::numeric_limits<float>::infinity() ? 1.0 : 0.0;
    // A NaN logit counts as -inf. At a finite temperature exp((-inf - best) * r) is 0.0 anyway,
    // so the shortcut to 0.0 changes no result there; it matters at T = +inf (r = 0).
    constexpr float MINUS_INF = -std::numeric_limits<float>::infinity();
    if (std::isnan(logit) || logit == MINUS_INF) {
      if (lowest_weighs_zero_) return 0.0;
      logit = MINUS_INF;
    }
    return std::exp((static_cast<double>(logit) - best_) * reciprocal_);
  }

  double best_;
  double reciprocal_;
  bool best_is_infinite_;
  bool lowest_weighs_zero_;  // a finite best logit and a temperature that is a number
  bool first_ = true;
  std::uint32_t previous_bits_ = 0;
  double previous_weight_ = 0.0;
};

// The weights of the first `count` ranked candidates, id(0) the best, each handed to
// keep(rank, weight) as it is made; returns their total, summed in rank order.
template <class IdOf, class Keep>
double weigh_ranked(std::span<const float> logits, float temperature, std::size_t count,
                    const IdOf& id, const Keep& keep) noexcept {
  RankedWeights weights(logits[id(0)], temperature);
  double total = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    const double weight = weights.next(logits[id(i)]);
    keep(i, weight);
    total += weight;
  }
  return total;
}

}  // namespace qelt
