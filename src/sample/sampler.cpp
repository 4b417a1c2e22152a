// sample_token: the arg-max path, and the sampling path over the ranked candidates (weights,
// nucleus cut, one draw and the selection walk), all in the exact order of operations that
// defines the result to the bit.
#include "sample/sampler.h"

#include <algorithm>
#include <cstddef>
#include <limits>

#include "sample/exact_weights.h"
#include "sample/first_argmax.h"
#include "sample/nucleus_shortcut.h"
#include "sample/rank_order.h"
#include "sample/ranked_walks.h"
#include "sample/splitmix.h"

namespace qelt {
namespace {

// The sampling path over k ranked candidates (1 <= k <= logits.size()).
template <class Id>
std::uint64_t sample_ranked(std::span<const float> logits, float temperature, float top_p,
                            std::size_t k, double uniform) {
  RankedCandidates<Id> ranked = rank_candidates<Id>(logits, k);
  const auto id = [&](std::size_t rank) { return ranked.id(rank); };
  const auto weight = [&](std::size_t rank) { return ranked.weight(rank); };

  // Unnormalised softmax weights relative to the best logit, the total summed in rank order as
  // they are made.
  const double total = weigh_ranked(logits, temperature, k, id, [&](std::size_t i, double w) {
    ranked.set_weight(i, w);
  });

  // Nucleus cut: the shortest prefix whose running sum reaches top_p of the total. The running
  // sum where it stops is, bit for bit, the kept mass summed again from the start; when no cut
  // applies (top_p >= 1 or NaN, or the sum never reaches the threshold) the kept mass is the
  // total, which is the running sum over all k.
  std::size_t kept = k;
  double kept_mass = total;
  if (top_p < 1.0f) {
    const double threshold = total * static_cast<double>(std::max(top_p, 0.0f));
    if (const NucleusCut cut = cut_at(threshold, k, weight); cut.kept != 0) {
      kept = cut.kept;
      kept_mass = cut.running;
    }
  }

  // The draw scales the target by the kept mass instead of renormalising the weights. A walk
  // that never brings the target to zero or below (rounding, NaN) ends on the last kept one.
  return id(draw_rank(uniform * kept_mass, kept, weight).value_or(kept - 1));
}

}  // namespace

template <class Id>
std::uint64_t sample_with_uniform(std::span<const float> logits, float temperature, float top_p,
                                  std::uint64_t top_k, double uniform) {
  const std::size_t n = logits.size();
  const std::size_t k = (top_k == 0 || top_k >= n) ? n : static_cast<std::size_t>(top_k);
  return sample_ranked<Id>(logits, temperature, top_p, k, uniform);
}

template <class Id>
std::uint64_t sample_with_ids(std::span<const float> logits, float temperature, float top_p,
                              std::uint64_t top_k, std::uint64_t seed) {
  return sample_with_uniform<Id>(logits, temperature, top_p, top_k,
                                 splitmix_uniform(splitmix_state(seed)));
}

template std::uint64_t sample_with_uniform<std::uint32_t>(std::span<const float>, float, float,
                                                          std::uint64_t, double);
template std::uint64_t sample_with_uniform<std::uint64_t>(std::span<const float>, float, float,
                                                          std::uint64_t, double);
template std::uint64_t sample_with_ids<std::uint32_t>(std::span<const float>, float, float,
                                                      std::uint64_t, std::uint64_t);
template std::uint64_t sample_with_ids<std::uint64_t>(std::span<const float>, float, float,
                                                      std::uint64_t, std::uint64_t);

std::uint64_t sample_token(std::span<const float> logits, float temperature, float top_p,
                           std::uint64_t top_k, std::uint64_t seed) {
  if (sample_route(temperature) == SampleRoute::ARGMAX) return first_argmax(logits);
  // 32-bit candidate ids halve the ranking's memory traffic; a vocabulary of 2^32 or more
  // entries gets 64-bit ids, so every position stays reachable and nothing is truncated.
  if (logits.size() <= std::numeric_limits<std::uint32_t>::max()) {
    // Over the whole vocabulary, the token may be decided from a small head of the ranking.
    if (top_k == 0 || top_k >= logits.size()) {
      const double uniform = splitmix_uniform(splitmix_state(seed));
      if (auto token = sample_nucleus_shortcut(logits, temperature, top_p, uniform)) {
        return *token;
      }
    }
    return sample_with_ids<std::uint32_t>(logits, temperature, top_p, top_k, seed);
  }
  return sample_with_ids<std::uint64_t>(logits, temperature, top_p, top_k, seed);
}

}  // namespace qelt
