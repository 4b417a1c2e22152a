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
  // NaN tested on the bits, not with a float comparison, so that loops over many logits
  // compile to branch-free vector code.
  const std::uint32_t nan_mask = (bits & 0x7FFFFFFFu) > 0x7F800000u ? 0xFFFFFFFFu : 0u;
  return descending | nan_mask;
}

// The first k candidates of the ranking, and room for one double weight per candidate, in one
// block of 64-bit words. Candidates with 32-bit ids take one word each (key above id), those
// with 64-bit ids two (id, then key); weights are stored as their bit patterns. One block
// instead of several keeps the working set small, and lets the allocator hand the same pages
// back on the next call instead of mapping (and faulting in) fresh ones.
template <class Id>
class RankedCandidates {
 public:
  static constexpr std::size_t WORDS_PER_ENTRY = sizeof(Id) == 4 ? 1 : 2;

  RankedCandidates(std::unique_ptr<std::uint64_t[]> words, const std::uint64_t* entries,
                   std::uint64_t* weights, std::size_t count) noexcept
      : words_(std::move(words)), entries_(entries), weights_(weights), count_(count) {}

  std::size_t size() const noexcept { return count_; }
  Id id(std::size_t rank) const noexcept {
    if constexpr (WORDS_PER_ENTRY == 1) {
      return static_cast<std::uint32_t>(entries_[rank]);
    } else {
      return entries_[2 * rank];
    }
  }
  double weight(std::size_t rank) const noexcept { return std::bit_cast<double>(weights_[rank]); }
  void set_weight(std::size_t rank, double weight) noexcept {
    weights_[rank] = std::bit_cast<std::uint64_t>(weight);
  }

 private:
  std::unique_ptr<std::uint64_t[]> words_;
  const std::uint64_t* entries_;
  std::uint64_t* weights_;
  std::size_t count_;
};

// The first k candidates of the ranking of `logits` (1 <= k <= logits.size()). Id is
// std::uint32_t (requires logits.size() <= 2^32 - 1) or std::uint64_t.
template <class Id>
RankedCandidates<Id> rank_candidates(std::span<const float> logits, std::size_t k);

// Sorts `count` candidates given as 32-bit-id words ((key << 32) | position) by key, stably, so
// that entries that come in ascending position order leave in ranking order. `scratch` has room
// for `count` words; returns whichever of the two buffers holds the result.
std::uint64_t* sort_narrow_entries(std::uint64_t* entries, std::uint64_t* scratch,
                                   std::size_t count);

// The two strategies behind rank_candidates, exposed so that tests can drive each one.
// Full ranking by a stable radix sort of the keys, truncated to k.
template <class Id>
RankedCandidates<Id> rank_by_radix(std::span<const float> logits, std::size_t k);
// One pass that keeps the best candidates seen so far in a buffer of a few times k, then a
// comparison sort of the k survivors.
template <class Id>
RankedCandidates<Id> rank_by_selection(std::span<const float> logits, std::size_t k);

}  // namespace qelt
