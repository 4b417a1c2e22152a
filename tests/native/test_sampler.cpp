// sample_token against the worked examples, the special values and a plain reference written
// from the sampling rule (stable sort, exp, running sums, SplitMix64, selection walk).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "sample/sampler.h"
#include "sample/splitmix.h"

namespace {

constexpr float INF = std::numeric_limits<float>::infinity();
const float NAN_VALUE = std::numeric_limits<float>::quiet_NaN();

std::uint64_t reference_sample(const std::vector<float>& logits, float temperature, float top_p,
                               std::uint64_t top_k, std::uint64_t seed) {
  const std::size_t n = logits.size();
  if (temperature <= 0.0f) {
    float best = -INF;
    std::uint64_t position = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (logits[i] > best) best = logits[i], position = i;
    }
    return position;
  }
  std::vector<std::uint64_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::uint64_t a, std::uint64_t b) {
    if (std::isnan(logits[a])) return false;
    if (std::isnan(logits[b])) return true;
    return logits[a] > logits[b];
  });
  const std::size_t k = (top_k == 0 || top_k >= n) ? n : top_k;
  const double m = logits[order[0]];
  const double r = 1.0 / static_cast<double>(temperature);
  std::vector<double> w(k);
  double total = 0.0;
  for (std::size_t i = 0; i < k; ++i) {
    const float x = logits[order[i]];
    if (m == INF) {
      w[i] = x == INF ? 1.0 : 0.0;  // the softmax's limit: only +inf candidates weigh
    } else if ((std::isnan(x) || x == -INF) && std::isfinite(m) && !std::isnan(temperature)) {
      w[i] = 0.0;  // below a finite best, at every temperature that is a number, +inf included
    } else {
      w[i] = std::exp(((std::isnan(x) ? -INF : static_cast<double>(x)) - m) * r);
    }
    total += w[i];
  }
  std::size_t kept = k;
  if (top_p < 1.0f) {
    const double threshold = total * static_cast<double>(top_p > 0.0f ? top_p : 0.0f);
    double running = 0.0;
    for (std::size_t i = 0; i < k; ++i) {
      running += w[i];
      if (running >= threshold) {
        kept = i + 1;
        break;
      }
    }
  }
  double mass = 0.0;
  for (std::size_t i = 0; i < kept; ++i) mass += w[i];
  std::uint64_t z = (seed ^ 0xD1B54A32D192ED03ull) + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  double target = std::ldexp(static_cast<double>(z >> 11), -53) * mass;
  for (std::size_t i = 0; i < kept; ++i) {
    target -= w[i];
    if (target <= 0.0) return order[i];
  }
  return order[kept - 1];
}

TEST(SplitmixUniform, MatchesTheKnownNumbersOfSeeds0_1_42) {
  struct Known {
    std::uint64_t seed;
    double uniform;
  };
  for (Known known : {Known{0, 0.17601256256594233}, Known{1, 0.28224809303269816},
                      Known{42, 0.7846333828452882}}) {
    const double u = qelt::splitmix_uniform(qelt::splitmix_state(known.seed));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(u), std::bit_cast<std::uint64_t>(known.uniform))
        << "seed " << known.seed << " gave " << u;
  }
  EXPECT_EQ(qelt::splitmix_state(0), 0x6FECC3EC50DD6918ull);
}

struct Example {
  std::string name;
  std::vector<float> logits;
  float temperature;
  float top_p;
  std::uint64_t top_k;
  std::uint64_t seed;
  std::uint64_t expected;
};

class WorkedExample : public ::testing::TestWithParam<Example> {};

TEST_P(WorkedExample, GivesTheExpectedToken) {
  const Example& e = GetParam();
  EXPECT_EQ(qelt::sample_token(e.logits, e.temperature, e.top_p, e.top_k, e.seed), e.expected);
  EXPECT_EQ(reference_sample(e.logits, e.temperature, e.top_p, e.top_k, e.seed), e.expected);
}

const std::vector<float> TIED = {1.0f, 3.0f, 2.0f, 3.0f};
const std::vector<float> FLAT = {0.0f, 0.0f, 0.0f, 0.0f};

INSTANTIATE_TEST_SUITE_P(
    Examples, WorkedExample,
    ::testing::Values(
        Example{"tied_seed0", TIED, 1.0f, 1.0f, 0, 0, 1},
        Example{"tied_seed42", TIED, 1.0f, 1.0f, 0, 42, 3},
        Example{"tied_topk1_seed0", TIED, 1.0f, 1.0f, 1, 0, 1},
        Example{"tied_topk1_seed42", TIED, 1.0f, 1.0f, 1, 42, 1},
        Example{"tied_topk1_seedmax", TIED, 1.0f, 1.0f, 1, ~0ull, 1},
        Example{"tied_argmax_zero", TIED, 0.0f, 1.0f, 0, 42, 1},
        Example{"tied_argmax_negative", TIED, -1.0f, 0.3f, 2, 7, 1},
        Example{"tied_argmax_negative_zero", TIED, -0.0f, 1.0f, 0, 42, 1},
        Example{"flat_seed0", FLAT, 1.0f, 1.0f, 0, 0, 0},
        Example{"flat_seed1", FLAT, 1.0f, 1.0f, 0, 1, 1},
        Example{"flat_seed42", FLAT, 1.0f, 1.0f, 0, 42, 3},
        Example{"flat_topp_half_seed42", FLAT, 1.0f, 0.5f, 0, 42, 1},
        Example{"flat_topp_above_half_seed42", FLAT, 1.0f, 0.5000001f, 0, 42, 2},
        Example{"flat_topk2_seed42", FLAT, 1.0f, 1.0f, 2, 42, 1},
        Example{"flat_topp_zero_keeps_first", FLAT, 1.0f, 0.0f, 0, 42, 0},
        Example{"flat_topp_negative_keeps_first", FLAT, 1.0f, -3.0f, 0, 42, 0},
        Example{"flat_topp_nan_keeps_all", FLAT, 1.0f, NAN_VALUE, 0, 42, 3},
        Example{"single_sampling", {5.0f}, 0.7f, 0.1f, 0, 9, 0},
        Example{"single_nan_logit", {NAN_VALUE}, 1.0f, 1.0f, 0, 9, 0},
        Example{"single_inf_logit", {INF}, 1.0f, 1.0f, 3, 9, 0},
        Example{"single_argmax", {-INF}, 0.0f, 1.0f, 0, 9, 0},
        Example{"nan_temperature_last_ranked", TIED, NAN_VALUE, 1.0f, 0, 42, 0},
        Example{"nan_temperature_kth_ranked", TIED, NAN_VALUE, 1.0f, 2, 0, 3},
        Example{"nan_temperature_kth_ranked_3", TIED, NAN_VALUE, 0.2f, 3, 0, 2},
        // A +inf best logit: only the +inf candidates weigh, so one of them is drawn.
        Example{"plus_inf_best", {2.0f, INF, 1.0f}, 1.0f, 1.0f, 0, 0, 1},
        Example{"plus_inf_best_topk2", {2.0f, INF, 1.0f}, 1.0f, 1.0f, 2, 0, 1},
        Example{"plus_inf_ties_seed0", {INF, 0.0f, INF}, 1.0f, 1.0f, 0, 0, 0},
        Example{"plus_inf_ties_seed42", {INF, 0.0f, INF}, 1.0f, 1.0f, 0, 42, 2},
        // Minus infinity below a finite best gets weight 0 and is never drawn.
        Example{"minus_inf_never_drawn_seed0", {-INF, 0.0f, -INF}, 1.0f, 1.0f, 0, 0, 1},
        Example{"minus_inf_never_drawn_seed42", {-INF, 0.0f, -INF}, 1.0f, 1.0f, 0, 42, 1},
        Example{"all_minus_inf_last_ranked", {-INF, -INF, -INF}, 1.0f, 1.0f, 0, 0, 2},
        // A NaN logit ranks last and weighs as -inf: never drawn beside a finite best.
        Example{"nan_logit_ranked_last", {NAN_VALUE, 1.0f, 2.0f}, 1.0f, 1.0f, 0, 0, 2},
        Example{"nan_logit_never_drawn", {5.0f, NAN_VALUE, 5.0f}, 1.0f, 0.9f, 0, 42, 2},
        // At an infinite temperature the finite candidates weigh 1 each, -inf and NaN 0.
        Example{"banned_at_infinite_temperature_seed0", {0.0f, -INF, 1.0f}, INF, 1.0f, 0, 0, 2},
        Example{"banned_at_infinite_temperature_seed42", {0.0f, -INF, 1.0f}, INF, 1.0f, 0, 42, 0},
        Example{"nan_at_infinite_temperature_topp", {5.0f, NAN_VALUE, 5.0f}, INF, 0.9f, 0, 42, 2},
        Example{"argmax_all_nan", {NAN_VALUE, NAN_VALUE}, 0.0f, 1.0f, 0, 0, 0},
        Example{"argmax_skips_nan", {NAN_VALUE, -INF, 1.0f, NAN_VALUE, 1.0f}, 0.0f, 1.0f, 0, 0, 2},
        // The smallest positive temperature still samples: equal best logits share the draw.
        Example{"tiny_temperature_samples", {3.0f, 1.0f, 3.0f}, 0x1.0p-149f, 1.0f, 0, 42, 2}),
    [](const ::testing::TestParamInfo<Example>& info) { return info.param.name; });

TEST(SampleToken, TopKZeroTopKVAndTopKAboveVAllMeanNoTruncation) {
  std::mt19937_64 rng(99);
  std::normal_distribution<float> normal(0.0f, 2.0f);
  for (int round = 0; round < 200; ++round) {
    std::vector<float> logits(1 + rng() % 300);
    for (float& x : logits) x = normal(rng);
    const std::uint64_t seed = rng();
    const std::uint64_t none = qelt::sample_token(logits, 0.9f, 0.95f, 0, seed);
    EXPECT_EQ(qelt::sample_token(logits, 0.9f, 0.95f, logits.size(), seed), none);
    EXPECT_EQ(qelt::sample_token(logits, 0.9f, 0.95f, logits.size() + 1, seed), none);
    EXPECT_EQ(qelt::sample_token(logits, 0.9f, 0.95f, ~0ull, seed), none);
  }
}

// Random vectors with many ties (rounded values), occasional special values, and parameters
// that reach every branch: both ranking strategies (top_k small and large), cuts that keep one,
// some or all candidates, temperatures that underflow most weights.
TEST(SampleToken, MatchesThePlainReferenceOnRandomCases) {
  std::mt19937_64 rng(2024);
  std::normal_distribution<float> normal(0.0f, 4.0f);
  const float temperatures[] = {1.0f, 0.8f, 0.05f, 3.0f, 1e-3f, 0.0f, -1.0f, NAN_VALUE, INF};
  const float top_ps[] = {1.0f, 0.9f, 0.5f, 0.0f, 0.99f, 0.999999f, -0.5f, NAN_VALUE, 2.0f};
  for (int round = 0; round < 600; ++round) {
    const std::size_t n = 1 + rng() % (round % 20 == 0 ? 40000 : 2000);
    std::vector<float> logits(n);
    const bool coarse = rng() % 2;
    for (float& x : logits) {
      x = normal(rng);
      if (coarse) x = std::round(x);
      if (rng() % 500 == 0) x = rng() % 2 ? -INF : NAN_VALUE;
    }
    const float temperature = temperatures[rng() % std::size(temperatures)];
    const float top_p = top_ps[rng() % std::size(top_ps)];
    const std::uint64_t top_ks[] = {0, 1, 2, 50, 1 + rng() % n, n / 10, n, n + 5};
    const std::uint64_t top_k = top_ks[rng() % std::size(top_ks)];
    const std::uint64_t seed = rng();
    const std::uint64_t expected = reference_sample(logits, temperature, top_p, top_k, seed);
    ASSERT_EQ(qelt::sample_token(logits, temperature, top_p, top_k, seed), expected)
        << "round " << round << " n=" << n << " T=" << temperature << " p=" << top_p
        << " k=" << top_k;
    // The 64-bit ids that vocabularies of 2^32 entries or more take, on the same cases.
    if (!(temperature <= 0.0f)) {
      ASSERT_EQ(qelt::sample_with_ids<std::uint64_t>(logits, temperature, top_p, top_k, seed),
                expected)
          << "round " << round;
    }
  }
}

}  // namespace
