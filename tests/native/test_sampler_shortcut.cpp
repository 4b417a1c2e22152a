// The nucleus shortcut and the bounded exponential under it: every vector path gives the scalar
// bits, the error bound holds against the platform's exp, and the shortcut's token is the full
// path's, also when the cut sits right at a running sum.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sample/bounded_exp.h"
#include "sample/nucleus_shortcut.h"
#include "sample/sampler.h"
#include "sample/splitmix.h"

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
const float NAN_F = std::numeric_limits<float>::quiet_NaN();

std::vector<double> exp_arguments() {
  std::vector<double> a = {0.0,  -0.0,         -1e-300, -700.0,  -700.5,  -745.2,
                           -1e9, -INF,         0.3465,  -0.3466, -0.6931, -0.6932,
                           0.25, std::nan(""), -5e-17,  -1.0,    -2.0,    -699.99};
  std::mt19937_64 rng(8);
  std::uniform_real_distribution<double> wide(-760.0, 0.0);
  std::uniform_real_distribution<double> narrow(-2.0, 0.0);
  for (int i = 0; i < 20000; ++i) a.push_back(i % 2 ? wide(rng) : narrow(rng));
  return a;
}

struct NamedExpPath {
  std::string name;
  qelt::BoundedExpPath path;
  bool runs_here;
};

// Every vector path built for this architecture, each forced, and the dispatch.
std::vector<NamedExpPath> exp_paths() {
  std::vector<NamedExpPath> paths = {{"dispatch", &qelt::bounded_exp, true}};
  for (qelt::InstructionSet set : qelt::ALL_INSTRUCTION_SETS) {
    if (set == qelt::InstructionSet::SCALAR) continue;  // the reference
    if (qelt::BoundedExpPath path = qelt::bounded_exp_path(set)) {
      paths.push_back({qelt::instruction_set_name(set), path, qelt::cpu_supports(set)});
    }
  }
  return paths;
}

class BoundedExpPath : public ::testing::TestWithParam<NamedExpPath> {};

TEST_P(BoundedExpPath, GivesTheScalarBitsForEveryLengthAndValue) {
  if (!GetParam().runs_here) GTEST_SKIP() << "this processor lacks " << GetParam().name;
  const std::vector<double> a = exp_arguments();
  std::vector<double> expected(a.size()), got(a.size());
  qelt::bounded_exp_scalar(a.data(), expected.data(), a.size());
  for (std::size_t offset : {0, 1, 3}) {  // odd starts and lengths reach the scalar tails
    const std::size_t len = a.size() - offset - offset % 2;
    GetParam().path(a.data() + offset, got.data(), len);
    for (std::size_t i = 0; i < len; ++i) {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i]),
                std::bit_cast<std::uint64_t>(expected[i + offset]))
          << "argument " << a[i + offset];
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, BoundedExpPath, ::testing::ValuesIn(exp_paths()),
                         [](const auto& info) { return info.param.name; });

TEST(BoundedExp, StaysWithinItsBoundOfThePlatformExp) {
  // The shortcut's proof needs |approximation / exp - 1| <= 2^-40 (plus the platform's own
  // error); check it over [-700, 0] and the clamp below.
  const std::vector<double> a = exp_arguments();
  std::vector<double> approx(a.size());
  qelt::bounded_exp_scalar(a.data(), approx.data(), a.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::isnan(a[i])) {
      EXPECT_TRUE(std::isnan(approx[i]));
    } else if (a[i] < -700.0) {
      EXPECT_GT(approx[i], 0.0);
      EXPECT_LE(approx[i], 0x1p-1009);
    } else if (a[i] <= 0.0) {
      const double platform = std::exp(a[i]);
      ASSERT_LE(std::fabs(approx[i] / platform - 1.0), 0x1p-40) << "argument " << a[i];
    }
  }
}

std::uint64_t full_path(const std::vector<float>& logits, float temperature, float top_p,
                        std::uint64_t seed) {
  return qelt::sample_with_ids<std::uint32_t>(logits, temperature, top_p, 0, seed);
}

TEST(NucleusShortcut, GivesTheFullPathsTokenWheneverItAnswers) {
  std::mt19937_64 rng(31337);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  const float temperatures[] = {0.3f, 0.8f, 1.0f, 2.0f};
  const float top_ps[] = {0.0f, 0.1f, 0.5f, 0.9f, 0.95f, 0.99f, -1.0f, 1.0f, NAN_F};
  int answered = 0, cases = 0;
  for (int round = 0; round < 120; ++round) {
    std::vector<float> logits(8192 + rng() % 60000);
    const float scale = 1.0f + static_cast<float>(rng() % 5);
    const int shape = round % 4;
    for (float& x : logits) {
      x = normal(rng) * scale;
      if (shape == 1) x = std::round(x * 4.0f) / 4.0f;  // many ties
      if (shape == 2) x = std::bit_cast<float>(std::bit_cast<std::uint32_t>(x) & 0xFFFF0000u);
      if (shape == 3 && rng() % 50 == 0) x = -std::numeric_limits<float>::infinity();
    }
    const float temperature = temperatures[rng() % std::size(temperatures)];
    const float top_p = top_ps[rng() % std::size(top_ps)];
    for (int draw = 0; draw < 4; ++draw) {
      const std::uint64_t seed = rng();
      const double u = qelt::splitmix_uniform(qelt::splitmix_state(seed));
      const std::optional<std::uint64_t> token =
          qelt::sample_nucleus_shortcut(logits, temperature, top_p, u);
      const std::uint64_t expected = full_path(logits, temperature, top_p, seed);
      ++cases;
      if (token) {
        ++answered;
        ASSERT_EQ(*token, expected) << "round " << round << " T=" << temperature << " p=" << top_p
                                    << " n=" << logits.size();
      }
      ASSERT_EQ(qelt::sample_token(logits, temperature, top_p, 0, seed), expected);
    }
  }
  // The shortcut must actually have been exercised.
  EXPECT_GT(answered, cases / 3) << answered << " of " << cases;
}

// 64 equal best logits (weight 1 each) and a long tail whose weights add up to `tail_share`
// times the shortcut's margin on the total. With top_p 0.5 the threshold sits just above the
// running sum 32: inside the shortcut's uncertainty when the tail is small (it must give up),
// clearly above it when the tail is larger (it must answer, with 33 kept).
TEST(NucleusShortcut, GivesUpOrAnswersCorrectlyWhenTheCutSitsAtARunningSum) {
  const std::size_t n = 16384, top = 64;
  const double margin = 4.0 * (0x1p-40 + static_cast<double>(n + 8) * 0x1p-52);
  for (double tail_share : {0.25, 0.5, 1.0, 4.0, 16.0, 1e4}) {
    const double tail_weight = top * margin * tail_share / static_cast<double>(n - top);
    const float tail_logit = static_cast<float>(std::log(tail_weight));
    std::vector<float> logits(n, tail_logit);
    for (std::size_t i = 0; i < top; ++i) logits[i * (n / top)] = 0.0f;
    int answered = 0;
    for (std::uint64_t seed = 0; seed < 64; ++seed) {
      const double u = qelt::splitmix_uniform(qelt::splitmix_state(seed));
      const std::optional<std::uint64_t> token =
          qelt::sample_nucleus_shortcut(logits, 1.0f, 0.5f, u);
      const std::uint64_t expected = full_path(logits, 1.0f, 0.5f, seed);
      if (token) {
        ++answered;
        ASSERT_EQ(*token, expected) << "tail share " << tail_share << " seed " << seed;
      }
      ASSERT_EQ(qelt::sample_token(logits, 1.0f, 0.5f, 0, seed), expected);
    }
    if (tail_share <= 1.0) {
      EXPECT_EQ(answered, 0) << "tail share " << tail_share;
    } else if (tail_share >= 4.0) {
      EXPECT_EQ(answered, 64) << "tail share " << tail_share;
    }
  }
}

// Without a cut the draw's target u * W decides: with 64 equal best logits (weight 1 each) and
// u = j / 64 the target sits just above the running sum j, by the tail's share of W. With a
// tail inside the shortcut's uncertainty it must give up; with a larger one it must answer
// candidate j (the walk that ignored the tail would stop one earlier).
TEST(NucleusShortcut, GivesUpOrAnswersCorrectlyWhenTheDrawSitsAtARunningSum) {
  const std::size_t n = 16384, top = 64, spacing = n / top;
  const double margin = 4.0 * (0x1p-40 + static_cast<double>(n + 8) * 0x1p-52);
  for (double tail_share : {0.25, 1.0, 4.0, 1e4}) {
    const double tail_weight = top * margin * tail_share / static_cast<double>(n - top);
    std::vector<float> logits(n, static_cast<float>(std::log(tail_weight)));
    for (std::size_t i = 0; i < top; ++i) logits[i * spacing] = 0.0f;
    for (std::size_t j : {std::size_t{1}, std::size_t{5}, std::size_t{40}}) {
      const double u = static_cast<double>(j) / top;
      const std::uint64_t expected =
          qelt::sample_with_uniform<std::uint32_t>(logits, 1.0f, 1.0f, 0, u);
      EXPECT_EQ(expected, j * spacing);
      const std::optional<std::uint64_t> token =
          qelt::sample_nucleus_shortcut(logits, 1.0f, 1.0f, u);
      if (tail_share <= 1.0) {
        EXPECT_FALSE(token.has_value()) << "tail share " << tail_share << " j " << j;
      } else {
        ASSERT_TRUE(token.has_value()) << "tail share " << tail_share << " j " << j;
        EXPECT_EQ(*token, expected) << "tail share " << tail_share << " j " << j;
      }
    }
  }
}

}  // namespace
