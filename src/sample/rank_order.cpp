// The ranking of candidates by (rank key, position): a stable radix sort for a full ranking and a
// bounded buffer selection for a small top-k, giving the same prefix of the same total order.
#include "sample/rank_order.h"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>

#include "sample/first_argmax.h"

namespace qelt {
namespace {

// A candidate while it is being ranked: its key and its position. Entries are unique (positions
// differ), and `less` is the ranking order: key first, then position.
//
// With 32-bit positions both halves fit one 64-bit word, key above position, so the ranking
// order is the integer order and the radix sort moves 8 bytes per candidate.
struct NarrowCodec {
  using Entry = std::uint64_t;
  static constexpr std::size_t WORDS = 1;

  static Entry make(std::uint32_t key, std::size_t position) noexcept {
    return (std::uint64_t{key} << 32) | static_cast<std::uint32_t>(position);
  }
  static std::uint32_t key(Entry e) noexcept { return static_cast<std::uint32_t>(e >> 32); }
  static Entry load(const std::uint64_t* words) noexcept { return words[0]; }
  static void store(std::uint64_t* words, Entry e) noexcept { words[0] = e; }
  static std::size_t position(Entry e) noexcept { return static_cast<std::uint32_t>(e); }
  static bool less(Entry a, Entry b) noexcept { return a < b; }
  static Entry largest() noexcept { return std::numeric_limits<std::uint64_t>::max(); }
};

// Positions of 2^32 and beyond need a word of their own: (position, key) in two words.
struct WideCodec {
  struct Entry {
    std::uint64_t position;
    std::uint32_t key;
  };
  static constexpr std::size_t WORDS = 2;

  static Entry make(std::uint32_t key, std::size_t position) noexcept { return {position, key}; }
  static std::uint32_t key(Entry e) noexcept { return e.key; }
  static Entry load(const std::uint64_t* words) noexcept {
    return {words[0], static_cast<std::uint32_t>(words[1])};
  }
  static void store(std::uint64_t* words, Entry e) noexcept {
    words[0] = e.position;
    words[1] = e.key;
  }
  static std::size_t position(Entry e) noexcept { return e.position; }
  static bool less(Entry a, Entry b) noexcept {
    return a.key != b.key ? a.key < b.key : a.position < b.position;
  }
  static Entry largest() noexcept {
    return {std::numeric_limits<std::uint64_t>::max(), std::numeric_limits<std::uint32_t>::max()};
  }
};

template <class Id>
using CodecFor = std::conditional_t<sizeof(Id) == 4, NarrowCodec, WideCodec>;

// Three passes of 11, 11 and 10 bits cover the 32-bit key.
constexpr int RADIX_PASSES = 3;
constexpr int RADIX_BITS = 11;
constexpr std::size_t RADIX_BUCKETS = std::size_t{1} << RADIX_BITS;

// Candidates per vector-maximum test in the selection pass.
constexpr std::size_t SELECTION_CHUNK = 128;

constexpr std::uint32_t radix_digit(std::uint32_t key, int pass) noexcept {
  return (key >> (pass * RADIX_BITS)) & (RADIX_BUCKETS - 1);
}

using RadixCounts = std::array<std::array<std::size_t, RADIX_BUCKETS>, RADIX_PASSES>;

void count_digits(RadixCounts& counts, std::uint32_t key) noexcept {
  for (int pass = 0; pass < RADIX_PASSES; ++pass) ++counts[pass][radix_digit(key, pass)];
}

// Sorts the n entries in `current` by key, stably, with `other` as the second buffer; `counts`
// holds the digit counts of the keys. Returns true when the result ended in `other`.
template <class Codec>
bool radix_passes(RadixCounts& counts, std::uint64_t* current, std::uint64_t* other,
                  std::size_t n) noexcept {
  constexpr std::size_t W = Codec::WORDS;
  bool swapped = false;
  // Least significant digit first; each pass is stable, so entries with equal keys keep the
  // order they came in (ascending position, in every caller).
  for (int pass = 0; pass < RADIX_PASSES; ++pass) {
    std::array<std::size_t, RADIX_BUCKETS>& count = counts[pass];
    if (count[radix_digit(Codec::key(Codec::load(current)), pass)] == n) continue;  // no-op pass
    std::size_t offset = 0;
    for (std::size_t& bucket : count) offset += std::exchange(bucket, offset);
    for (std::size_t i = 0; i < n; ++i) {
      const typename Codec::Entry entry = Codec::load(current + i * W);
      Codec::store(other + W * count[radix_digit(Codec::key(entry), pass)]++, entry);
    }
    std::swap(current, other);
    swapped = !swapped;
  }
  return swapped;
}

}  // namespace

std::uint64_t* sort_narrow_entries(std::uint64_t* entries, std::uint64_t* scratch,
                                   std::size_t count) {
  if (count == 0) return entries;
  const auto counts = std::make_unique<RadixCounts>();
  for (std::size_t i = 0; i < count; ++i) count_digits(*counts, NarrowCodec::key(entries[i]));
  return radix_passes<NarrowCodec>(*counts, entries, scratch, count) ? scratch : entries;
}

template <class Id>
RankedCandidates<Id> rank_by_radix(std::span<const float> logits, std::size_t k) {
  using Codec = CodecFor<Id>;
  constexpr std::size_t W = Codec::WORDS;
  const std::size_t n = logits.size();
  // Two halves of n entries each: the radix passes move entries from one half to the other,
  // and the weights later go into the half the sorted entries do not occupy (k <= n words).
  auto words = std::make_unique_for_overwrite<std::uint64_t[]>(2 * n * W);
  std::uint64_t* current = words.get();
  std::uint64_t* other = words.get() + n * W;

  // On the heap: 48 KiB would be a large bite of a small thread stack.
  const auto counts = std::make_unique<RadixCounts>();
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t key = rank_key(logits[i]);
    Codec::store(current + i * W, Codec::make(key, i));
    count_digits(*counts, key);
  }
  if (radix_passes<Codec>(*counts, current, other, n)) std::swap(current, other);
  return RankedCandidates<Id>(std::move(words), current, other, k);
}

template <class Id>
RankedCandidates<Id> rank_by_selection(std::span<const float> logits, std::size_t k) {
  using Codec = CodecFor<Id>;
  using Entry = typename Codec::Entry;
  constexpr std::size_t W = Codec::WORDS;
  const std::size_t n = logits.size();
  // Room for k kept entries plus at least k (and some slack for tiny k) newcomers between two
  // compactions, so the compaction cost per newcomer stays bounded.
  const std::size_t capacity = std::min(n, 2 * k + 256);
  auto buffer = std::make_unique_for_overwrite<Entry[]>(capacity);
  std::size_t size = 0;
  // Every entry below the threshold may still belong to the best k; the entries are unique, so
  // the k-th best entry kept after a compaction is a strict bound for later ones.
  Entry threshold = Codec::largest();
  // Whole chunks are skipped with a vector maximum once a threshold exists. The threshold entry
  // came from an earlier position than any entry still to come, so a newcomer ranks before it
  // exactly when its key is strictly smaller (an equal key loses on position), that is when the
  // newcomer is a number strictly greater than the threshold's logit `bar` (-0.0 == +0.0, and
  // NaN ranks after everything). A chunk whose largest number is not above `bar` has no
  // newcomer. With a NaN threshold logit (or before the first compaction) nothing is skipped.
  float bar = std::numeric_limits<float>::quiet_NaN();
  for (std::size_t start = 0; start < n; start += SELECTION_CHUNK) {
    const std::size_t end = std::min(n, start + SELECTION_CHUNK);
    if (bar == bar && !(largest_number(logits.subspan(start, end - start)) > bar)) continue;
    for (std::size_t i = start; i < end; ++i) {
      const Entry entry = Codec::make(rank_key(logits[i]), i);
      if (!Codec::less(entry, threshold)) continue;
      buffer[size++] = entry;
      if (size == capacity && i + 1 < n) {
        std::nth_element(buffer.get(), buffer.get() + (k - 1), buffer.get() + size, Codec::less);
        size = k;
        threshold = buffer[k - 1];
        bar = logits[Codec::position(threshold)];
      }
    }
  }
  std::nth_element(buffer.get(), buffer.get() + (k - 1), buffer.get() + size, Codec::less);
  std::sort(buffer.get(), buffer.get() + k, Codec::less);

  auto words = std::make_unique_for_overwrite<std::uint64_t[]>(k * W + k);
  for (std::size_t i = 0; i < k; ++i) Codec::store(words.get() + i * W, buffer[i]);
  const std::uint64_t* entries = words.get();
  std::uint64_t* weights = words.get() + k * W;
  return RankedCandidates<Id>(std::move(words), entries, weights, k);
}

template <class Id>
RankedCandidates<Id> rank_candidates(std::span<const float> logits, std::size_t k) {
  // A small k leaves most candidates below the threshold after a few compactions, so one
  // compare per candidate replaces three scatter passes. A short vector fits the selection
  // buffer whole, which makes the selection a plain comparison sort, cheaper there than
  // clearing and scanning the radix sort's 6144 counters.
  constexpr std::size_t SHORT_VECTOR = 256;
  if (k <= logits.size() / 16 || logits.size() <= SHORT_VECTOR) {
    return rank_by_selection<Id>(logits, k);
  }
  return rank_by_radix<Id>(logits, k);
}

template RankedCandidates<std::uint32_t> rank_candidates(std::span<const float>, std::size_t);
template RankedCandidates<std::uint64_t> rank_candidates(std::span<const float>, std::size_t);
template RankedCandidates<std::uint32_t> rank_by_radix(std::span<const float>, std::size_t);
template RankedCandidates<std::uint64_t> rank_by_radix(std::span<const float>, std::size_t);
template RankedCandidates<std::uint32_t> rank_by_selection(std::span<const float>, std::size_t);
template RankedCandidates<std::uint64_t> rank_by_selection(std::span<const float>, std::size_t);

}  // namespace qelt
