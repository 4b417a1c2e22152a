// The arg-max's vector and strided paths give the scalar walk's position on the inputs that can
// trip a block walk: NaN, ties of -0.0 and +0.0, infinities, a maximum in the scalar tail, at the
// edges of vector steps, parts and blocks, and a new maximum in every block.
#include <gtest/gtest.h>

#include <algorithm>

#include <cstddef>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "sample/first_argmax.h"

namespace {

constexpr float INF = std::numeric_limits<float>::infinity();
const float NAN_VALUE = std::numeric_limits<float>::quiet_NaN();

using Path = std::function<std::uint64_t(std::span<const float>)>;

// The values laid out `stride` floats apart (negative: last value first), through the strided
// entry.
template <std::ptrdiff_t STRIDE>
std::uint64_t strided(std::span<const float> values) {
  const std::size_t step = STRIDE < 0 ? -STRIDE : STRIDE;
  std::vector<float> spread(values.size() * step + 1, 42.0f);  // 42 lies between the values
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::size_t at = STRIDE < 0 ? (values.size() - 1 - i) * step : i * step;
    spread[at] = values[i];
  }
  const float* first = STRIDE < 0 ? spread.data() + (values.size() - 1) * step : spread.data();
  return qelt::first_argmax_strided(reinterpret_cast<const std::byte*>(first), values.size(),
                                    STRIDE * static_cast<std::ptrdiff_t>(sizeof(float)));
}

// Contiguous but one byte off float alignment.
std::uint64_t misaligned(std::span<const float> values) {
  std::vector<std::byte> bytes(values.size() * sizeof(float) + 1);
  if (!values.empty()) std::memcpy(bytes.data() + 1, values.data(), values.size_bytes());
  return qelt::first_argmax_strided(bytes.data() + 1, values.size(), sizeof(float));
}

struct NamedPath {
  std::string name;
  Path path;
  bool available = true;
};

// Lengths at and beside the edges of 4- and 8-lane steps of 8 registers, of the quarter parts
// of a 4096-float block, of the blocks, and of the strided entry's 2048-float chunks.
std::vector<std::size_t> edge_lengths() {
  std::vector<std::size_t> lengths = {0, 1, 2, 31, 33, 63, 65, 127, 129, 255, 257};
  for (std::size_t edge : {1024u, 2048u, 3072u, 4096u, 8192u, 12288u}) {
    for (std::size_t len : {edge - 1, edge, edge + 1, edge + 31}) lengths.push_back(len);
  }
  return lengths;
}

// Positions where a planted maximum tests one edge of the walk.
std::vector<std::size_t> edge_positions(std::size_t n) {
  std::vector<std::size_t> positions;
  for (std::size_t p : {0ul, 1ul, 31ul, 32ul, 63ul, 64ul, 1023ul, 1024ul, 2047ul, 2048ul, 4095ul,
                        4096ul, 4097ul, 8191ul, 8192ul}) {
    if (p < n) positions.push_back(p);
  }
  if (n > 0) positions.push_back(n - 1);
  if (n > 1) positions.push_back(n - 2);
  return positions;
}

class FirstArgmaxPath : public ::testing::TestWithParam<NamedPath> {
 protected:
  void SetUp() override {
    if (!GetParam().available) GTEST_SKIP() << "this processor lacks the path";
  }
  void expect_scalar(const std::vector<float>& values, const std::string& what) {
    ASSERT_EQ(GetParam().path(values), qelt::first_argmax_scalar(values))
        << what << ", n=" << values.size();
  }
};

// A planted maximum, alone or tied (with an equal value, or -0.0 against +0.0) further on, over
// smaller values sprinkled with NaN and minus infinity.
TEST_P(FirstArgmaxPath, FindsAPlantedMaximumAtEveryEdge) {
  std::mt19937_64 rng(11);
  std::normal_distribution<float> normal(-5.0f, 1.0f);
  for (std::size_t n : edge_lengths()) {
    std::vector<float> base(n);
    for (float& x : base) {
      const auto r = rng() % 16;
      x = r == 0 ? NAN_VALUE : r == 1 ? -INF : r == 2 ? -NAN_VALUE : normal(rng);
    }
    for (std::size_t p : edge_positions(n)) {
      for (float top : {3.0f, INF, 0.0f, -0.0f}) {
        std::vector<float> values = base;
        values[p] = top;
        expect_scalar(values, "alone at " + std::to_string(p));
        for (std::size_t later : {p + 1, p + 37, n - 1}) {
          if (later <= p || later >= n) continue;
          values[later] = top == 0.0f ? -top : top;  // -0.0 ties +0.0
          expect_scalar(values, "tied at " + std::to_string(p) + " and " + std::to_string(later));
        }
      }
    }
  }
}

// Whole inputs whose shape defeats a shortcut: nothing but NaN and minus infinity (answer 0),
// a new maximum at the end of every block, signed zeros only, and random tie-heavy values.
TEST_P(FirstArgmaxPath, MatchesTheScalarWalkOnWholeInputs) {
  std::mt19937_64 rng(5);
  const std::vector<float> pool = {0.0f, -0.0f, INF, -INF, NAN_VALUE, 1.5f, -1.5f, 1e-40f};
  for (std::size_t n : edge_lengths()) {
    std::vector<float> hopeless(n), rising(n), zeros(n), ties(n);
    for (std::size_t i = 0; i < n; ++i) {
      hopeless[i] = rng() % 2 ? NAN_VALUE : -INF;
      rising[i] = static_cast<float>(i);
      zeros[i] = rng() % 2 ? 0.0f : -0.0f;
      ties[i] = pool[rng() % pool.size()];
    }
    expect_scalar(hopeless, "NaN and -inf");
    expect_scalar(rising, "rising");
    expect_scalar(zeros, "signed zeros");
    expect_scalar(ties, "tie-heavy");
  }
}

// The first position holding largest_number's value, which is the arg-max when that value is
// right.
Path first_of_largest(float (*largest_number)(std::span<const float>) noexcept) {
  return [largest_number](std::span<const float> v) -> std::uint64_t {
    const float largest = largest_number(v);
    if (largest == -INF) return 0;
    return static_cast<std::uint64_t>(std::find(v.begin(), v.end(), largest) - v.begin());
  };
}

std::vector<NamedPath> paths() {
  std::vector<NamedPath> list = {
      {"dispatch", [](std::span<const float> v) { return qelt::first_argmax(v); }},
      {"stride3", &strided<3>},
      {"reversed", &strided<-1>},
      {"misaligned", &misaligned},
      {"largest", first_of_largest(&qelt::largest_number)}};
  // Every vector path built for this architecture, forced.
  for (qelt::InstructionSet set : qelt::ALL_INSTRUCTION_SETS) {
    const qelt::ArgmaxPaths* forced = qelt::argmax_paths(set);
    if (set == qelt::InstructionSet::SCALAR || forced == nullptr) continue;
    const std::string name = qelt::instruction_set_name(set);
    list.push_back({name, forced->first_argmax, qelt::cpu_supports(set)});
    list.push_back({name + "_largest", first_of_largest(forced->largest_number),
                    qelt::cpu_supports(set)});
  }
  return list;
}

INSTANTIATE_TEST_SUITE_P(Paths, FirstArgmaxPath, ::testing::ValuesIn(paths()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
