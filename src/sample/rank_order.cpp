// The ranking of candidates by (rank key, position): a stable radix sort for a full ranking and a
// bounded buffer selection for a small top-k, giving the same prefix of the same total order.
#include "sample/rank_order.h"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>
#include <vector>

namespace qelt {
namespace {

// A candidate while it is being ranked: its key and its position. Entries are unique (positions
// differ), and their `<` is the ranking order: key first, then position.
//
// With 32-bit positions both halves fit one 64-bit word, key above position, so the ranking
// order is the integer order and the radix sort moves 8 bytes per candidate.
struct NarrowEntry {
  std::uint64_t word;

  static NarrowEntry make(std::uint32_t key, std::size_t position) noexcept {
    return {(std::uint64_t{key} << 32) | static_cast<std::uint32_t>(position)};
  }
  std::uint32_t key() const noexcept { return static_cast<std::uint32_t>(word >> 32); }
  std::uint32_t id() const noexcept { return static_cast<std::uint32_t>(word); }
  static NarrowEntry largest() noexcept { return {std::numeric_limits<std::uint64_t>::max()}; }
  friend bool operator<(NarrowEntry a, NarrowEntry b) noexcept { return a.word < b.word; }
};

// Positions of 2^32 and beyond need the full 64 bits.
struct WideEntry {
  std::uint64_t position;
  std::uint32_t key_bits;

  static WideEntry make(std::uint32_t key, std::size_t position) noexcept {
    return {position, key};
  }
  std::uint32_t key() const noexcept { return key_bits; }
  std::uint64_t id() const noexcept { return position; }
  static WideEntry largest() noexcept {
    return {std::numeric_limits<std::uint64_t>::max(), std::numeric_limits<std::uint32_t>::max()};
  }
  friend bool operator<(WideEntry a, WideEntry b) noexcept {
    return a.key_bits != b.key_bits ? a.key_bits < b.key_bits : a.position < b.position;
  }
};

template <class Id>
using EntryFor = std::conditional_t<sizeof(Id) == 4, NarrowEntry, WideEntry>;

// Three passes of 11, 11 and 10 bits cover the 32-bit key.
constexpr int RADIX_PASSES = 3;
constexpr int RADIX_BITS = 11;
constexpr std::size_t RADIX_BUCKETS = std::size_t{1} << RADIX_BITS;

constexpr std::uint32_t radix_digit(std::uint32_t key, int pass) noexcept {
  return (key >> (pass * RADIX_BITS)) & (RADIX_BUCKETS - 1);
}

template <class Id, class Entry>
std::unique_ptr<Id[]> ids_of_prefix(const Entry* entries, std::size_t k) {
  auto ids = std::make_unique_for_overwrite<Id[]>(k);
  for (std::size_t i = 0; i < k; ++i) ids[i] = static_cast<Id>(entries[i].id());
  return ids;
}

}  // namespace

template <class Id>
std::unique_ptr<Id[]> rank_by_radix(std::span<const float> logits, std::size_t k) {
  using Entry = EntryFor<Id>;
  const std::size_t n = logits.size();
  auto current = std::make_unique_for_overwrite<Entry[]>(n);
  auto other = std::make_unique_for_overwrite<Entry[]>(n);
  std::vector<std::size_t> counts(RADIX_PASSES * RADIX_BUCKETS, 0);
  std::size_t* const count_of_pass[RADIX_PASSES] = {counts.data(), counts.data() + RADIX_BUCKETS,
                                                    counts.data() + 2 * RADIX_BUCKETS};
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t key = rank_key(logits[i]);
    current[i] = Entry::make(key, i);
    for (int pass = 0; pass < RADIX_PASSES; ++pass) ++count_of_pass[pass][radix_digit(key, pass)];
  }
  // Least significant digit first; each pass is stable, and the entries start in position
  // order, so equal keys end in ascending position order.
  for (int pass = 0; pass < RADIX_PASSES; ++pass) {
    std::size_t* const count = count_of_pass[pass];
    if (count[radix_digit(current[0].key(), pass)] == n) continue;  // one digit value: no-op
    std::size_t offset = 0;
    for (std::size_t bucket = 0; bucket < RADIX_BUCKETS; ++bucket) {
      const std::size_t bucket_size = count[bucket];
      count[bucket] = offset;
      offset += bucket_size;
    }
    for (std::size_t i = 0; i < n; ++i) {
      const Entry entry = current[i];
      other[count[radix_digit(entry.key(), pass)]++] = entry;
    }
    std::swap(current, other);
  }
  return ids_of_prefix<Id>(current.get(), k);
}

template <class Id>
std::unique_ptr<Id[]> rank_by_selection(std::span<const float> logits, std::size_t k) {
  using Entry = EntryFor<Id>;
  const std::size_t n = logits.size();
  // Room for k kept entries plus at least k (and some slack for tiny k) newcomers between two
  // compactions, so the compaction cost per newcomer stays bounded.
  const std::size_t capacity = std::min(n, 2 * k + 256);
  auto buffer = std::make_unique_for_overwrite<Entry[]>(capacity);
  std::size_t size = 0;
  // Every entry below the threshold may still belong to the best k; the entries are unique, so
  // the k-th best entry kept after a compaction is a strict bound for later ones.
  Entry threshold = Entry::largest();
  for (std::size_t i = 0; i < n; ++i) {
    const Entry entry = Entry::make(rank_key(logits[i]), i);
    if (!(entry < threshold)) continue;
    buffer[size++] = entry;
    if (size == capacity && i + 1 < n) {
      std::nth_element(buffer.get(), buffer.get() + (k - 1), buffer.get() + size);
      size = k;
      threshold = buffer[k - 1];
    }
  }
  std::nth_element(buffer.get(), buffer.get() + (k - 1), buffer.get() + size);
  std::sort(buffer.get(), buffer.get() + k);
  return ids_of_prefix<Id>(buffer.get(), k);
}

template <class Id>
std::unique_ptr<Id[]> rank_candidates(std::span<const float> logits, std::size_t k) {
  // A small k leaves most candidates below the threshold after a few compactions, so one
  // compare per candidate replaces three scatter passes.
  if (k <= logits.size() / 16) return rank_by_selection<Id>(logits, k);
  return rank_by_radix<Id>(logits, k);
}

template std::unique_ptr<std::uint32_t[]> rank_candidates<std::uint32_t>(std::span<const float>,
                                                                         std::size_t);
template std::unique_ptr<std::uint64_t[]> rank_candidates<std::uint64_t>(std::span<const float>,
                                                                         std::size_t);
template std::unique_ptr<std::uint32_t[]> rank_by_radix<std::uint32_t>(std::span<const float>,
                                                                       std::size_t);
template std::unique_ptr<std::uint64_t[]> rank_by_radix<std::uint64_t>(std::span<const float>,
                                                                       std::size_t);
template std::unique_ptr<std::uint32_t[]> rank_by_selection<std::uint32_t>(std::span<const float>,
                                                                           std::size_t);
template std::unique_ptr<std::uint64_t[]> rank_by_selection<std::uint64_t>(std::span<const float>,
                                                                           std::size_t);

}  // namespace qelt
