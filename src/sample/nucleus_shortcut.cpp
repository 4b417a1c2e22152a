// The nucleus shortcut.
//
// Why its token is the full path's. Write w_i for the full path's weights in rank order, s_i for
// its running sums (s_i after i weights), W = s_n for its total, H = W * p for the threshold.
//
// 1. The head: candidates whose rank key has a top digit (key >> 21) at most `last` all rank
//    before every other candidate, so they are exactly the first h of the ranking; they are
//    ranked by the same key-and-position order, weighted by the same expression from the same
//    best logit, and summed in the same order, so their weights and running sums s_1 .. s_h are
//    the full path's, bit for bit.
// 2. The rest: every weight is >= 0 and <= 1 (no NaN or infinite logit, finite positive
//    reciprocal temperature). bounded_exp is within 2^-41 of the true exponential (proof in
//    bounded_exp_steps.h) and the platform's exp is taken to be within 2^-42 (glibc's is
//    within about one unit in the last place, 2^-52; the tests check that the two agree to
//    2^-40); for arguments under -700 both lie in [0, 2^-1009]. So the tail's weights sum to
//    within 2^-40.4 of the sum of their approximations, plus at most n * 2^-1008. The computed
//    approximate sum T (per digit, then over digits) is within (n - 1) * 2^-53 of the exact
//    sum of the approximations (recursive summation). The full path adds the t <= n tail
//    weights to s_h one at a time, each addition within a factor 1 +- 2^-53, so its total lies
//    within (1 +- 2^-53)^n of s_h plus their exact sum. As s_h >= 1 (the first weight is
//    exp(0) = 1), the relative deviation of W from s_h + T stays below
//    2^-40.4 + 2 * (n + 8) * 2^-53, and the margin, four times 2^-40 + (n + 8) * 2^-52, also
//    covers the few roundings of the bounds computed here. Hence W_lo <= W <= W_hi, and as the
//    product with p >= 0 rounds monotonically, H_lo <= H <= H_hi.
// 3. The cut: the full path keeps c = the first count with s_c >= H, and the running sums never
//    decrease. If s_c >= H_hi and s_(c-1) < H_lo, then s_c >= H and every earlier sum is < H, so
//    c is the full path's count and the kept mass is s_c. Otherwise (a running sum inside
//    [H_lo, H_hi), or a head too short to reach H_hi) the route gives up.
// 4. The draw uses u * s_c and walks w_1 .. w_c, all known exactly: the full path's token.
// 5. Without a cut (top_p >= 1 or NaN) the full path draws from t = u * W over all n weights;
//    u * W_lo <= t <= u * W_hi, and the walk's end index never decreases as t grows, so equal
//    end indexes from both bounds, inside the head, are the full path's (walk_without_cut).
#include "sample/nucleus_shortcut.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>

#include "sample/bounded_exp.h"
#include "sample/exact_weights.h"
#include "sample/first_argmax.h"
#include "sample/rank_order.h"
#include "sample/ranked_walks.h"

namespace qelt {
namespace {

// Below this many logits the full path costs little and the shortcut's fixed costs dominate.
constexpr std::size_t MIN_VOCABULARY = 8192;
// Candidates per chunk of the approximation pass (two 4 KiB arrays of working space).
constexpr std::size_t CHUNK = 512;
// Top digits of the rank key: sign, exponent and two bits of the significand.
constexpr int DIGIT_SHIFT = 21;
constexpr std::size_t DIGITS = std::size_t{1} << (32 - DIGIT_SHIFT);

constexpr std::size_t top_digit(std::uint32_t key) noexcept {
  return key >> DIGIT_SHIFT;
}

// The digits, best first, up to the first one at which the cumulative `mass` reaches `goal`:
// that digit and the number of candidates up to it, or DIGITS if the goal is never reached.
std::pair<std::size_t, std::size_t> head_digits(const std::array<double, DIGITS>& mass,
                                                const std::array<std::uint32_t, DIGITS>& counts,
                                                double goal) noexcept {
  double cumulative = 0.0;
  std::size_t candidates = 0;
  for (std::size_t d = 0; d < DIGITS; ++d) {
    cumulative += mass[d];
    candidates += counts[d];
    if (cumulative >= goal) return {d, candidates};
  }
  return {DIGITS, candidates};
}

// Candidates and approximate weight per top digit of the rank key, in LANES tables that
// consecutive logits take in turn: neighbouring logits often share a digit, and separate tables
// keep their updates from waiting on each other.
template <std::size_t LANES>
struct DigitTables {
  std::array<std::array<std::uint32_t, DIGITS>, LANES> counts{};
  std::array<std::array<double, DIGITS>, LANES> mass{};
  // Working space of add.
  std::array<double, CHUNK> arguments{};
  std::array<double, CHUNK> approximations{};

  // values[0 .. len-1] (len <= CHUNK), value j into table j % LANES, each with the approximate
  // weight bounded_exp((value - best) * reciprocal); and those weights added in order to *sum,
  // if given.
  void add(const float* values, std::size_t len, double best, double reciprocal,
           double* sum = nullptr) noexcept {
    for (std::size_t j = 0; j < len; ++j) {
      arguments[j] = (static_cast<double>(values[j]) - best) * reciprocal;
    }
    bounded_exp(arguments.data(), approximations.data(), len);
    for (std::size_t j = 0; j < len; ++j) {
      const std::size_t digit = top_digit(rank_key(values[j]));
      ++counts[j % LANES][digit];
      mass[j % LANES][digit] += approximations[j];
    }
    if (sum == nullptr) return;
    for (std::size_t j = 0; j < len; ++j) *sum += approximations[j];
  }
};

// The fraction of candidates, best first, that holds `share` of the weight, estimated from
// SAMPLE evenly spaced logits with approximate weights.
double sampled_head_fraction(std::span<const float> logits, double best, double reciprocal,
                             double share) {
  constexpr std::size_t SAMPLE = 1024;
  static_assert(SAMPLE % CHUNK == 0);
  const std::size_t stride = logits.size() / SAMPLE;
  std::array<float, SAMPLE> sample;
  for (std::size_t j = 0; j < SAMPLE; ++j) sample[j] = logits[j * stride];
  const auto tables = std::make_unique<DigitTables<1>>();
  double total = 0.0;
  for (std::size_t start = 0; start < SAMPLE; start += CHUNK) {
    tables->add(sample.data() + start, CHUNK, best, reciprocal, &total);
  }
  return static_cast<double>(
             head_digits(tables->mass[0], tables->counts[0], total * share).second) /
         SAMPLE;
}

// Without a cut the full path draws over all n weights from the target u * W. The index where
// the walk ends never decreases as its starting target grows (each step subtracts the same
// weight, and rounding is monotone), so if the walks from both ends of the target's range end
// at the same head index, so does the full path's.
template <class Weight, class Id>
std::optional<std::uint64_t> walk_without_cut(double target_low, double target_high,
                                              std::size_t head, const Weight& weight,
                                              const Id& id) {
  const std::optional<std::size_t> high = draw_rank(target_high, head, weight);
  if (!high || draw_rank(target_low, head, weight) != high) return std::nullopt;
  return id(*high);
}

}  // namespace

std::optional<std::uint64_t> sample_nucleus_shortcut(std::span<const float> logits,
                                                     float temperature, float top_p,
                                                     double uniform) {
  const std::size_t n = logits.size();
  if (n < MIN_VOCABULARY || n > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  const double reciprocal = 1.0 / static_cast<double>(temperature);
  if (!(reciprocal > 0.0) || !(reciprocal < std::numeric_limits<double>::infinity())) {
    return std::nullopt;
  }
  // The largest logit; only the approximations use this value (zeros of either sign give the
  // same arguments there), the exact weights take the first-ranked logit itself.
  const float largest = largest_number(logits);
  if (!std::isfinite(largest)) return std::nullopt;
  const double approximate_best = largest;
  const bool cut = top_p < 1.0f;
  const double p = static_cast<double>(std::max(top_p, 0.0f));

  // A look at an evenly spaced sample first: when the head would hold a large share of the
  // vocabulary anyway, the full path is cheaper than the passes below. (A guess only; it
  // decides whether to try, never what the token is.)
  const double share = cut ? p : uniform;
  if (sampled_head_fraction(logits, approximate_best, reciprocal, share) > 0.5) {
    return std::nullopt;
  }

  // One pass: candidates and approximate weight per top digit of the rank key, in LANES tables
  // added up afterwards (the bound holds for any order of summation).
  constexpr std::size_t LANES = 4;
  static_assert(CHUNK % LANES == 0);
  const auto lanes = std::make_unique<DigitTables<LANES>>();
  for (std::size_t start = 0; start < n; start += CHUNK) {
    lanes->add(logits.data() + start, std::min(CHUNK, n - start), approximate_best, reciprocal);
  }
  const auto tables = std::make_unique<DigitTables<1>>();
  std::array<std::uint32_t, DIGITS>& counts = tables->counts[0];
  std::array<double, DIGITS>& mass = tables->mass[0];
  for (std::size_t lane = 0; lane < LANES; ++lane) {
    for (std::size_t d = 0; d < DIGITS; ++d) {
      counts[d] += lanes->counts[lane][d];
      mass[d] += lanes->mass[lane][d];
    }
  }
  if (counts[DIGITS - 1] != 0) return std::nullopt;  // NaN logits: only their keys go there

  // With a cut (top_p < 1), the head must reach past the threshold; without one, past the
  // draw's target. Aim past it with room to spare; whether it reaches is checked exactly below.
  double approximate_total = 0.0;
  for (double m : mass) approximate_total += m;
  const auto [last, head] =
      head_digits(mass, counts, approximate_total * share * (1.0 + 0x1p-20));
  if (last == DIGITS || head > n / 2) return std::nullopt;

  // The head's candidates in position order (a branch-free filter), then ranked.
  auto words = std::make_unique_for_overwrite<std::uint64_t[]>(3 * head + 1);
  std::size_t taken = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t key = rank_key(logits[i]);
    words[taken] = (std::uint64_t{key} << 32) | i;  // slot `head` absorbs the final misses
    taken += top_digit(key) <= last ? 1 : 0;
  }
  const std::uint64_t* ranked = sort_narrow_entries(words.get(), words.get() + head + 1, head);
  std::uint64_t* const weight_bits = words.get() + 2 * head + 1;
  auto id = [&](std::size_t rank) { return static_cast<std::uint32_t>(ranked[rank]); };
  auto weight = [&](std::size_t rank) { return std::bit_cast<double>(weight_bits[rank]); };

  // The head's weights exactly as the full path makes them.
  const double head_sum =
      weigh_ranked(logits, temperature, head, id, [&](std::size_t i, double w) {
        weight_bits[i] = std::bit_cast<std::uint64_t>(w);
      });

  double tail = 0.0;
  for (std::size_t d = last + 1; d < DIGITS; ++d) tail += mass[d];
  const double margin = 4.0 * (0x1p-40 + static_cast<double>(n + 8) * 0x1p-52);
  const double base = head_sum + tail;
  const double total_low = base * (1.0 - margin);
  const double total_high = base * (1.0 + margin);
  if (!cut) return walk_without_cut(uniform * total_low, uniform * total_high, head, weight, id);

  const double threshold_low = total_low * p;
  const double threshold_high = total_high * p;
  const NucleusCut nucleus = cut_at(threshold_high, head, weight);
  if (nucleus.kept == 0 || (nucleus.kept > 1 && nucleus.before >= threshold_low)) {
    return std::nullopt;
  }
  return id(draw_rank(uniform * nucleus.running, nucleus.kept, weight).value_or(nucleus.kept - 1));
}

}  // namespace qelt
