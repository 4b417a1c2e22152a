// The gate rules: the worked refusals of tests/data/gate_refusals.txt and random batches and gate
// lists, with matrices in random memory layouts, are refused or prepared exactly as the rules,
// checked one after another, say.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "quantum/prepare_gates.h"

namespace qelt {
namespace {

// A matrix laid out in its own buffer: each axis stepped (by 1 to 3, either sign), the axes
// permuted in memory, the start at an odd byte offset or not. Element i in logical row-major
// order holds (i, -i).
struct LaidOutMatrix {
  std::vector<std::ptrdiff_t> shape, strides;
  std::vector<std::byte> buffer;
  std::ptrdiff_t start = 0;

  LaidOutMatrix(std::vector<std::ptrdiff_t> extents, std::mt19937_64* rng) : shape(extents) {
    const std::size_t rank = shape.size();
    std::vector<std::size_t> order(rank);
    std::vector<std::ptrdiff_t> steps(rank, 1);
    for (std::size_t a = 0; a < rank; ++a) order[a] = a;
    std::size_t offset = 0;
    if (rng != nullptr) {
      std::shuffle(order.begin(), order.end(), *rng);
      for (auto& step : steps) step = static_cast<std::ptrdiff_t>((*rng)() % 3 + 1);
      offset = (*rng)() % 2 ? 1 : 0;
    }
    // Memory axes in `order`, the last one fastest; a negative step reads its axis backwards.
    strides.assign(rank, 0);
    std::ptrdiff_t bytes = sizeof(Amplitude), size = 1;
    for (std::size_t j = rank; j-- > 0;) {
      const std::size_t a = order[j];
      strides[a] = bytes * steps[a];
      bytes *= shape[a] * steps[a];
      size *= shape[a] * steps[a];
    }
    buffer.resize(static_cast<std::size_t>(size) * sizeof(Amplitude) + offset);
    start = static_cast<std::ptrdiff_t>(offset);
    for (std::size_t a = 0; a < rank; ++a) {
      if (rng != nullptr && (*rng)() % 2 && shape[a] > 0) {
        start += (shape[a] - 1) * strides[a];
        strides[a] = -strides[a];
      }
    }
    std::ptrdiff_t count = 1;
    for (std::ptrdiff_t extent : shape) count *= extent;
    for (std::ptrdiff_t i = 0; i < count; ++i) {
      std::ptrdiff_t at = start, rest = i;
      for (std::size_t a = rank; a-- > 0;) {
        at += (rest % shape[a]) * strides[a];
        rest /= shape[a];
      }
      const Amplitude value{static_cast<float>(i), -static_cast<float>(i)};
      std::memcpy(buffer.data() + at, &value, sizeof value);
    }
  }

  MatrixView view() const { return {buffer.data() + start, shape, strides}; }
};

struct Gate {
  std::vector<std::uint64_t> bits;
  LaidOutMatrix matrix;
};

std::vector<GateDescription> describe(const std::vector<Gate>& gates) {
  std::vector<GateDescription> out;
  for (const Gate& gate : gates) out.push_back({gate.bits, gate.matrix.view()});
  return out;
}

// The rules, checked one after another.
std::optional<GateError> reference_error(const StatevectorShape& state,
                                         const std::vector<Gate>& gates) {
  const std::uint64_t dim = state.row_length;
  if (dim == 0 || (dim & (dim - 1)) != 0) {
    return GateError{.kind = GateErrorKind::DIM_NOT_POWER_OF_TWO, .row_length = dim};
  }
  std::uint64_t n = 0;
  while ((std::uint64_t{1} << n) < dim) ++n;
  for (std::size_t i = 0; i < gates.size(); ++i) {
    const std::vector<std::uint64_t>& bits = gates[i].bits;
    const std::size_t k = bits.size();
    if (k < 1 || k > 2) {
      return GateError{.kind = GateErrorKind::UNSUPPORTED_BIT_COUNT, .gate = i, .bit_count = k};
    }
    for (std::uint64_t b : bits) {
      if (b >= n) {
        return GateError{
            .kind = GateErrorKind::BIT_OUT_OF_RANGE, .gate = i, .qubits = n, .bits = bits};
      }
    }
    if (k == 2 && bits[0] == bits[1]) {
      return GateError{.kind = GateErrorKind::REPEATED_BITS, .gate = i};
    }
    const std::ptrdiff_t d = std::ptrdiff_t{1} << k;
    const auto rows = static_cast<std::ptrdiff_t>(state.rows);
    const std::vector<std::ptrdiff_t>& shape = gates[i].matrix.shape;
    if (shape != std::vector<std::ptrdiff_t>{d, d} &&
        shape != std::vector<std::ptrdiff_t>{rows, d, d}) {
      return GateError{.kind = GateErrorKind::MATRIX_SHAPE,
                       .gate = i,
                       .rows = state.rows,
                       .bit_count = k,
                       .shape = shape};
    }
  }
  if (!state.c_contiguous) return GateError{.kind = GateErrorKind::NOT_C_CONTIGUOUS};
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// The worked refusals, shared with the Python suite: the reference gives each one's rule and
// failing gate, and the code the reference's error.

struct Refusal {
  std::string name;
  StatevectorShape state;
  std::vector<Gate> gates;
  GateErrorKind rule;
  std::size_t gate;  // the failing gate; 0 for the rules of psi
};

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
  return parts;
}

[[noreturn]] void unreadable(const std::string& line) {
  std::fprintf(stderr, "unreadable case in gate_refusals.txt: %s\n", line.c_str());
  std::abort();
}

GateErrorKind kind_named(const std::string& name) {
  const std::pair<const char*, GateErrorKind> kinds[] = {
      {"DIM_NOT_POWER_OF_TWO", GateErrorKind::DIM_NOT_POWER_OF_TWO},
      {"UNSUPPORTED_BIT_COUNT", GateErrorKind::UNSUPPORTED_BIT_COUNT},
      {"BIT_OUT_OF_RANGE", GateErrorKind::BIT_OUT_OF_RANGE},
      {"REPEATED_BITS", GateErrorKind::REPEATED_BITS},
      {"MATRIX_SHAPE", GateErrorKind::MATRIX_SHAPE},
      {"NOT_C_CONTIGUOUS", GateErrorKind::NOT_C_CONTIGUOUS}};
  for (const auto& [known, kind] : kinds) {
    if (name == known) return kind;
  }
  unreadable(name);
}

std::vector<Refusal> load_refusals() {
  std::ifstream file(QELT_TEST_DATA_DIR "/gate_refusals.txt");
  if (!file) unreadable("(file missing)");
  std::vector<Refusal> cases;
  for (std::string line; std::getline(file, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string> fields = split(line, '|');
    if (fields.size() != 5) unreadable(line);
    Refusal c;
    c.name = fields[0].substr(0, fields[0].size() - 1);
    std::istringstream state(fields[1]);
    std::string layout;
    state >> c.state.rows >> c.state.row_length >> layout;
    c.state.c_contiguous = layout != "F";
    std::istringstream gates(fields[2]);
    for (std::string gate; gates >> gate;) {
      if (gate == "-") break;
      const std::size_t colon = gate.find(':');
      if (colon == std::string::npos) unreadable(line);
      std::vector<std::uint64_t> bits;
      for (const std::string& bit : split(gate.substr(0, colon), ','))
        bits.push_back(std::stoull(bit));
      std::vector<std::ptrdiff_t> shape;
      for (const std::string& extent : split(gate.substr(colon + 1), 'x')) {
        shape.push_back(std::stoll(extent));
      }
      c.gates.push_back({std::move(bits), LaidOutMatrix(std::move(shape), nullptr)});
    }
    std::istringstream rule(fields[3]);
    std::string kind;
    c.gate = 0;
    rule >> kind >> c.gate;
    c.rule = kind_named(kind);
    cases.push_back(std::move(c));
  }
  if (cases.empty()) unreadable("(no cases)");
  return cases;
}

const std::vector<Refusal>& refusals() {
  static const std::vector<Refusal> cases = load_refusals();
  return cases;
}

class WorkedRefusal : public testing::TestWithParam<std::size_t> {};

TEST_P(WorkedRefusal, BreaksItsRuleAtItsGate) {
  const Refusal& c = refusals()[GetParam()];
  const std::optional<GateError> expected = reference_error(c.state, c.gates);
  ASSERT_TRUE(expected.has_value());
  EXPECT_EQ(expected->kind, c.rule);
  EXPECT_EQ(expected->gate, c.gate);
  auto prepared = prepare_gates(c.state, describe(c.gates));
  ASSERT_FALSE(prepared.has_value());
  EXPECT_EQ(prepared.error(), *expected);
}

INSTANTIATE_TEST_SUITE_P(GateRules, WorkedRefusal,
                         testing::Range<std::size_t>(0, refusals().size()),
                         [](const testing::TestParamInfo<std::size_t>& info) {
                           std::string name = refusals()[info.param].name;
                           for (char& ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

// ---------------------------------------------------------------------------------------------
// Random batches and gate lists, with matrices in random layouts.

TEST(PrepareGates, RandomCallsAreRefusedOrPreparedAsTheRulesSay) {
  std::mt19937_64 rng(20261210);
  auto pick = [&](std::initializer_list<std::uint64_t> values) {
    return *(values.begin() + rng() % values.size());
  };
  int refused[6] = {};
  int accepted = 0;
  for (int round = 0; round < 4000; ++round) {
    const std::uint64_t rows = pick({0, 1, 1, 2, 3});
    const std::uint64_t n = pick({0, 1, 2, 3, 5});
    const std::uint64_t dim = rng() % 10 ? std::uint64_t{1} << n : pick({0, 3, 6, 12});
    const StatevectorShape state{rows, dim, rng() % 10 != 0};
    std::vector<Gate> gates;
    for (std::uint64_t g = pick({0, 1, 2, 3, 4}); g-- > 0;) {
      std::vector<std::uint64_t> bits(pick({1, 1, 2, 2, 2, 0, 3}));
      for (auto& bit : bits) {
        bit = rng() % 8 ? rng() % std::max<std::uint64_t>(n, 1) : pick({n, n + 1, ~0ull});
      }
      const auto d = static_cast<std::ptrdiff_t>(bits.size() < 2 ? 2 : 4);
      const auto b = static_cast<std::ptrdiff_t>(rows);
      const std::vector<std::ptrdiff_t> shapes[] = {{d, d}, {d, d},      {b, d, d},     {2, 2},
                                                    {4, 4}, {b, 2, 2},   {b + 1, d, d}, {d},
                                                    {},     {1, b, d, d}};
      gates.push_back({std::move(bits), LaidOutMatrix(shapes[rng() % std::size(shapes)], &rng)});
    }
    const std::optional<GateError> expected = reference_error(state, gates);
    auto prepared = prepare_gates(state, describe(gates));
    ASSERT_EQ(prepared.has_value(), !expected.has_value()) << "round " << round;
    if (expected) {
      ++refused[static_cast<int>(expected->kind)];
      ASSERT_EQ(prepared.error(), *expected) << "round " << round;
      continue;
    }
    ++accepted;
    ASSERT_EQ(prepared->size(), gates.size());
    for (std::size_t i = 0; i < gates.size(); ++i) {
      const PreparedGate& p = (*prepared)[i];
      EXPECT_EQ(p.bits, gates[i].bits);
      EXPECT_EQ(p.per_row, gates[i].matrix.shape.size() == 3);
      // Elements in logical order: element j holds (j, -j), whatever the layout.
      std::size_t count = 1;
      for (std::ptrdiff_t extent : gates[i].matrix.shape) count *= static_cast<std::size_t>(extent);
      ASSERT_EQ(p.matrix.size(), count) << "round " << round << " gate " << i;
      for (std::size_t j = 0; j < count; ++j) {
        ASSERT_EQ(p.matrix[j].re, static_cast<float>(j)) << "round " << round << " gate " << i;
        ASSERT_EQ(p.matrix[j].im, -static_cast<float>(j));
      }
    }
  }
  // Every rule is broken, and calls are accepted, often enough to mean something.
  for (int kind = 0; kind < 6; ++kind) EXPECT_GE(refused[kind], 50) << "rule " << kind;
  EXPECT_GE(accepted, 500);
}

}  // namespace
}  // namespace qelt
