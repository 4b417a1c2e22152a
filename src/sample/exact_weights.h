// The exact softmax weights of the ranked candidates, shared by the full sampling path and the
// nucleus shortcut, which must produce the same bits for the same candidates.
// Any thread; one instance per walk over a ranking. Never fails.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace qelt {

// exp((logit - best) / temperature) in double precision, the temperature applied as a product
// with its reciprocal, through the platform's exp one value at a time, for candidates visited in
// rank order starting with the best one.
//
// Two limits of the softmax replace the formula where it would give NaN:
// - a best logit of +inf: every +inf candidate weighs 1.0 and every other 0.0, so the draw
//   picks among the +inf candidates;
// - a NaN logit counts as -inf, weighing 0.0 beside a finite best logit like a -inf one.
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
        best_is_infinite_(best == std::numeric_limits<float>::infinity()) {}

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
    const double value = std::isnan(logit) ? -std::numeric_limits<double>::infinity()
                                           : static_cast<double>(logit);
    return std::exp((value - best_) * reciprocal_);
  }

  double best_;
  double reciprocal_;
  bool best_is_infinite_;
  bool first_ = true;
  std::uint32_t previous_bits_ = 0;
  double previous_weight_ = 0.0;
};

}  // namespace qelt
