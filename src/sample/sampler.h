// The token sampler: arg-max, or ranking, top-k, softmax weights at a temperature, the nucleus
// cut and one seeded SplitMix64 draw, over a plain copy of the logits.
// Any thread, no shared state. Never fails, except that the sampling path throws std::bad_alloc
// when its working memory (16 bytes per logit, 32 from 2^32 logits on) cannot be allocated.
#pragma once

#include <cstdint>
#include <span>

namespace qelt {

enum class SampleRoute { ARGMAX, DRAW };

// Arg-max when the temperature is zero or less; the draw otherwise, NaN included.
constexpr SampleRoute sample_route(float temperature) noexcept {
  return temperature <= 0.0f ? SampleRoute::ARGMAX : SampleRoute::DRAW;
}

// Draws one token id from `logits` (at least one entry), deterministic for given arguments.
std::uint64_t sample_token(std::span<const float> logits, float temperature, float top_p,
                           std::uint64_t top_k, std::uint64_t seed);

// The full sampling path (temperature > 0 or NaN) with candidate ids of type Id, std::uint32_t
// (at most 2^32 - 1 logits) or std::uint64_t, and the draw's uniform number given directly;
// sample_token picks the narrow ids whenever they fit. Exposed so that tests can run the wide
// ids on small vectors and place the draw where they need it.
template <class Id>
std::uint64_t sample_with_uniform(std::span<const float> logits, float temperature, float top_p,
                                  std::uint64_t top_k, double uniform);

// The same with the uniform number of `seed`.
template <class Id>
std::uint64_t sample_with_ids(std::span<const float> logits, float temperature, float top_p,
                              std::uint64_t top_k, std::uint64_t seed);

}  // namespace qelt
