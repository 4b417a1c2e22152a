// The ranking and the arg-max against plain references: std::stable_sort with the ranking's
// comparison, and the scalar running-best walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <span>
#include <vector>

#include "sample/first_argmax.h"
#include "sample/rank_order.h"

namespace {

constexpr float INF = std::numeric_limits<float>::infinity();
const float NAN_VALUE = std::numeric_limits<float>::quiet_NaN();

// Larger logits first; NaN after every number; equal values (and -0.0 with +0.0) unordered, so
// the stable sort keeps them in ascending position order.
bool ranks_before(float a, float b) {
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return a > b;
}

std::vector<std::uint64_t> reference_ranking(const std::vector<float>& logits, std::size_t k) {
  std::vector<std::uint64_t> order(logits.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::uint64_t a, std::uint64_t b) {
    return ranks_before(logits[a], logits[b]);
  });
  order.resize(k);
  return order;
}

// Vectors drawn from a small pool of values so that ties are common, with both zeros, both
// infinities, NaNs of both signs and a few ordinary numbers.
std::vector<float> tie_heavy_logits(std::mt19937_64& rng, std::size_t n) {
  const float negative_nan = -NAN_VALUE;
  const float signalling_pattern = std::bit_cast<float>(0xFFFFFFFFu);  // NaN, sign set, all ones
  const std::vector<float> pool = {0.0f,  -0.0f, INF,  -INF,   NAN_VALUE, negative_nan,
                                   1.5f,  -1.5f, 3.0f, 1e-40f, -1e-40f,   signalling_pattern,
                                   1e30f, -2.0f, 7.0f, 0.1f};
  std::vector<float> logits(n);
  std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
  std::normal_distribution<float> normal(0.0f, 3.0f);
  for (float& x : logits) x = rng() % 3 == 0 ? normal(rng) : pool[pick(rng)];
  return logits;
}

enum class Strategy { Dispatch, Radix, Selection };

struct RankingCase {
  Strategy strategy;
  bool wide_ids;
};

class RankingMatchesStableSort : public ::testing::TestWithParam<RankingCase> {
 protected:
  std::vector<std::uint64_t> rank(const std::vector<float>& logits, std::size_t k) const {
    const std::span<const float> view(logits);
    std::vector<std::uint64_t> out(k);
    auto copy = [&](const auto& ranked) {
      EXPECT_EQ(ranked.size(), k);
      for (std::size_t i = 0; i < k; ++i) out[i] = ranked.id(i);
    };
    const RankingCase c = GetParam();
    if (c.wide_ids) {
      if (c.strategy == Strategy::Radix) copy(qelt::rank_by_radix<std::uint64_t>(view, k));
      if (c.strategy == Strategy::Selection) copy(qelt::rank_by_selection<std::uint64_t>(view, k));
      if (c.strategy == Strategy::Dispatch) copy(qelt::rank_candidates<std::uint64_t>(view, k));
    } else {
      if (c.strategy == Strategy::Radix) copy(qelt::rank_by_radix<std::uint32_t>(view, k));
      if (c.strategy == Strategy::Selection) copy(qelt::rank_by_selection<std::uint32_t>(view, k));
      if (c.strategy == Strategy::Dispatch) copy(qelt::rank_candidates<std::uint32_t>(view, k));
    }
    return out;
  }
};

TEST_P(RankingMatchesStableSort, OnRandomVectorsWithTiesZerosInfinitiesAndNaN) {
  std::mt19937_64 rng(12345);
  for (int round = 0; round < 300; ++round) {
    // Sizes around the selection buffer's capacity (2k + 256) and well beyond it.
    const std::size_t n = 1 + rng() % (round % 10 == 0 ? 20000 : 700);
    const std::vector<float> logits = tie_heavy_logits(rng, n);
    const std::size_t ks[] = {1, 1 + rng() % n, std::max<std::size_t>(1, n / 2), n};
    for (std::size_t k : ks) {
      ASSERT_EQ(rank(logits, k), reference_ranking(logits, k)) << "n=" << n << " k=" << k;
    }
  }
}

TEST_P(RankingMatchesStableSort, OnMonotoneInputsThatDefeatTheSelectionThreshold) {
  // Increasing logits make every candidate a newcomer to the selection buffer; decreasing ones
  // and all-equal ones test the radix sort's skipped passes and the position tie-break.
  for (int shape = 0; shape < 3; ++shape) {
    std::vector<float> logits(5000);
    for (std::size_t i = 0; i < logits.size(); ++i) {
      const float x = static_cast<float>(i) * 0.25f - 300.0f;
      logits[i] = shape == 0 ? x : shape == 1 ? -x : 2.5f;
    }
    for (std::size_t k : {std::size_t{1}, std::size_t{7}, std::size_t{300}, logits.size()}) {
      ASSERT_EQ(rank(logits, k), reference_ranking(logits, k)) << "shape=" << shape;
    }
  }
}

TEST_P(RankingMatchesStableSort, OnNearTiesAroundTheSelectionThreshold) {
  // The selection pass skips chunks whose largest number is not above the current threshold's
  // logit. Late newcomers that beat it by one unit in the last place, equal it (either zero),
  // or are NaN must be judged exactly; a NaN threshold must disable the skipping.
  std::mt19937_64 rng(4242);
  const float bases[] = {1.0f, 0.0f, -0.0f, -3.5f, INF, -INF, NAN_VALUE};
  for (float base : bases) {
    for (int round = 0; round < 40; ++round) {
      std::vector<float> logits(3000 + rng() % 2000, base);
      const float up = std::isnan(base) ? 0.0f : std::nextafter(base, INF);
      for (int j = 0; j < 12; ++j) {
        const std::size_t at = 500 + rng() % (logits.size() - 500);
        const int kind = static_cast<int>(rng() % 4);
        logits[at] = kind == 0 ? up : kind == 1 ? -base : kind == 2 ? NAN_VALUE : base;
      }
      for (std::size_t k : {std::size_t{1}, std::size_t{3}, std::size_t{20}}) {
        ASSERT_EQ(rank(logits, k), reference_ranking(logits, k)) << "base=" << base;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllStrategies, RankingMatchesStableSort,
                         ::testing::Values(RankingCase{Strategy::Dispatch, false},
                                           RankingCase{Strategy::Radix, false},
                                           RankingCase{Strategy::Selection, false},
                                           RankingCase{Strategy::Dispatch, true},
                                           RankingCase{Strategy::Radix, true},
                                           RankingCase{Strategy::Selection, true}));

TEST(RankKey, OrdersEveryFloatClassLikeTheRankingComparison) {
  // Adjacent pairs of this list are strictly ordered, except the zeros (equal) and the NaNs
  // (equal to each other, after everything).
  const std::vector<float> descending = {INF,
                                         std::numeric_limits<float>::max(),
                                         1.0f,
                                         std::numeric_limits<float>::min(),
                                         std::numeric_limits<float>::denorm_min(),
                                         0.0f,
                                         -0.0f,
                                         -std::numeric_limits<float>::denorm_min(),
                                         -1.0f,
                                         std::numeric_limits<float>::lowest(),
                                         -INF,
                                         NAN_VALUE,
                                         -NAN_VALUE};
  for (std::size_t i = 0; i + 1 < descending.size(); ++i) {
    const float a = descending[i], b = descending[i + 1];
    const bool tie = (a == b) || (std::isnan(a) && std::isnan(b));
    if (tie) {
      EXPECT_EQ(qelt::rank_key(a), qelt::rank_key(b)) << i;
    } else {
      EXPECT_LT(qelt::rank_key(a), qelt::rank_key(b)) << i;
    }
  }
}

TEST(FirstArgmax, VectorPathMatchesTheScalarWalk) {
  std::mt19937_64 rng(777);
  for (int round = 0; round < 400; ++round) {
    // Lengths around the block size (2048) and the 16-lane step, plus long ones.
    const std::size_t lengths[] = {1 + rng() % 40, 2032 + rng() % 40, 1 + rng() % 9000};
    const std::size_t n = lengths[round % 3];
    std::vector<float> values = tie_heavy_logits(rng, n);
    if (round % 4 == 1) {  // nothing but NaN and minus infinity: the answer is position 0
      for (float& x : values) x = rng() % 2 ? NAN_VALUE : -INF;
    }
    if (round % 4 == 2) {  // the maximum only in the scalar tail of the last block
      for (float& x : values) x = rng() % 2 ? -0.0f : 0.0f;
      values.back() = 1.0f;
    }
    ASSERT_EQ(qelt::first_argmax(values), qelt::first_argmax_scalar(values)) << "n=" << n;
  }
}

TEST(FirstArgmax, ScalarWalkFollowsTheStrictlyGreaterRule) {
  const std::vector<float> ties = {1.0f, 3.0f, 2.0f, 3.0f};
  EXPECT_EQ(qelt::first_argmax_scalar(ties), 1u);
  const std::vector<float> zeros = {-INF, NAN_VALUE, -0.0f, 0.0f};
  EXPECT_EQ(qelt::first_argmax_scalar(zeros), 2u);
  const std::vector<float> hopeless = {NAN_VALUE, -INF, NAN_VALUE};
  EXPECT_EQ(qelt::first_argmax_scalar(hopeless), 0u);
  EXPECT_EQ(qelt::first_argmax(hopeless), 0u);
}

}  // namespace
