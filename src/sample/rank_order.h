// The sampler's ranking: candidates ordered by logit, largest first, equal logits by ascending
// position, NaN after every number. Gives the best k candidates of that one total order.
// Any thread, no shared state. Never fails (allocation failure aside).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace qelt {

// Maps a logit to an unsigned key whose ascending order is the ranking order: larger logits get
// smaller keys, -0.0 and +0.0 get the same key (they compare equal), every NaN gets 0xFFFFFFFF,
// above the key of minus infinity (0xFF800000). Ties between equal keys are broken by position.
constexpr std::uint32_t rank_key(float logit) noexcept {
  // Adding +0.0 turns -0.0 into +0.0 and leaves every other value, NaN included, unchanged.
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(logit + 0.0f);
  // The usual order-preserving map (flip all bits of negatives, the sign bit of the rest),
  // inverted so that the largest logit comes first.
  const std::uint32_t negative_mask =
      static_cast<std::uint32_t>(static_cast<std::int32_t>(bits) >> 31);
  const std::uint32_t descending = ~(bits ^ (negative_mask | 0x80000000u));
  return logit != logit ? 0xFFFFFFFFu : descending;
}

// The first k candidates of the ranking of `logits` (1 <= k <= logits.size()), as positions of
// type Id. Id is std::uint32_t (requires logits.size() <= 2^32 - 1) or std::uint64_t.
template <class Id>
std::unique_ptr<Id[]> rank_candidates(std::span<const float> logits, std::size_t k);

// The two strategies behind rank_candidates, exposed so that tests can drive each one.
// Full ranking by a stable radix sort of the keys, truncated to k.
template <class Id>
std::unique_ptr<Id[]> rank_by_radix(std::span<const float> logits, std::size_t k);
// One pass that keeps the best candidates seen so far in a buffer of a few times k, then a
// comparison sort of the k survivors.
template <class Id>
std::unique_ptr<Id[]> rank_by_selection(std::span<const float> logits, std::size_t k);

}  // namespace qelt
