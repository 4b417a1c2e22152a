// The gate driver: every route (row-parallel, serial, in-row parallel, with cache-blocked runs)
// gives, bit for bit, what applying gate after gate by the rule gives; per-row matrices reach
// their rows; empty batches and gate lists touch nothing; a few results worked out by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "quantum/blocked_runs.h"
#include "quantum/gate_driver.h"
#include "quantum/kernel_variants.h"
#include "quantum/parallelism.h"
#include "test_kernels_reference.h"

namespace qelt {
namespace {

using test::first_bit_difference;
using test::random_amplitudes;
using test::random_matrix;

PreparedGate one_qubit_gate(unsigned bit, std::uint64_t seed, std::size_t rows = 0) {
  return {{bit}, random_matrix(rows ? 4 * rows : 4, seed), rows != 0};
}

PreparedGate two_qubit_gate(unsigned b0, unsigned b1, std::uint64_t seed, std::size_t rows = 0) {
  return {{b0, b1}, random_matrix(rows ? 16 * rows : 16, seed), rows != 0};
}

// A layered circuit: a one-qubit gate on every bit, a ladder of neighbouring pairs in both
// orders, then pairs that join far-apart bits; low and high bits alternate so that blocked runs
// are short and long and are split by high-bit gates.
std::vector<PreparedGate> mixed_circuit(unsigned n, std::uint64_t seed, std::size_t rows = 0) {
  std::vector<PreparedGate> gates;
  for (unsigned q = 0; q < n; ++q) gates.push_back(one_qubit_gate(n - 1 - q, seed + q, rows));
  for (unsigned b = 0; b + 1 < n; ++b) {
    gates.push_back(b % 2 ? two_qubit_gate(b + 1, b, seed + 100 + b, rows)
                          : two_qubit_gate(b, b + 1, seed + 100 + b, rows));
  }
  if (n < 4) return gates;
  gates.push_back(two_qubit_gate(0, n - 1, seed + 200, rows));
  gates.push_back(one_qubit_gate(0, seed + 201, rows));
  gates.push_back(two_qubit_gate(n - 1, 1, seed + 202, rows));
  gates.push_back(two_qubit_gate(n - 2, 0, seed + 203, rows));
  gates.push_back(one_qubit_gate(n - 1, seed + 204, rows));
  gates.push_back(two_qubit_gate(3, 1, seed + 205, rows));
  return gates;
}

using test::name_of;

class DriverRoutes : public testing::TestWithParam<InstructionSet> {
 protected:
  void SetUp() override {
    if (!cpu_supports(GetParam())) GTEST_SKIP() << "this CPU cannot run " << name_of(GetParam());
  }
  const GateKernels& kernels() const { return gate_kernels(GetParam()); }
};

// Serial (n <= 14) and in-row parallel (n >= 15) single rows, the latter with blocked runs of
// several block sizes, against gate-by-gate application by the rule.
TEST_P(DriverRoutes, SingleRowEqualsGateByGate) {
  for (unsigned n : {2u, 5u, 14u, 15u, 16u, 17u, 18u}) {
    const auto gates = mixed_circuit(n, 10 * n);
    auto got = random_amplitudes(std::size_t{1} << n, n);
    auto want = got;
    apply_prepared_gates(got.data(), 1, got.size(), gates, pool_parallelism(), kernels());
    test::ref_apply(want, 1, want.size(), gates);
    EXPECT_EQ(first_bit_difference(got, want), "") << "n = " << n;
  }
}

// A row alone (B = 1, serial or in-row route) equals the same row inside a batch (row-parallel
// route), and both equal the rule.
TEST_P(DriverRoutes, RowAloneEqualsRowInBatch) {
  constexpr std::size_t rows = 3;
  for (unsigned n : {3u, 10u, 15u, 17u}) {
    const std::size_t dim = std::size_t{1} << n;
    const auto gates = mixed_circuit(n, 7 * n);
    auto batch = random_amplitudes(rows * dim, 50 + n);
    auto want = batch;
    apply_prepared_gates(batch.data(), rows, dim, gates, pool_parallelism(), kernels());
    test::ref_apply(want, rows, dim, gates);
    EXPECT_EQ(first_bit_difference(batch, want), "") << "batch, n = " << n;
    for (std::size_t r = 0; r < rows; ++r) {
      std::vector<Amplitude> alone(want.begin() + r * dim, want.begin() + (r + 1) * dim);
      auto start = random_amplitudes(rows * dim, 50 + n);
      std::vector<Amplitude> row(start.begin() + r * dim, start.begin() + (r + 1) * dim);
      apply_prepared_gates(row.data(), 1, dim, gates, pool_parallelism(), kernels());
      EXPECT_EQ(first_bit_difference(row, alone), "") << "row " << r << ", n = " << n;
    }
  }
}

// Per-row matrices: row r gets slice r on the row-parallel route, and a single row gets slice 0
// on the serial and in-row routes. 300 short rows span several tiles of rows, the last one
// partial, with shared and per-row gates mixed.
TEST_P(DriverRoutes, PerRowMatricesReachTheirRows) {
  for (auto [rows, n] :
       {std::pair<std::size_t, unsigned>{4, 4}, {300, 5}, {3, 16}, {1, 6}, {1, 15}}) {
    const std::size_t dim = std::size_t{1} << n;
    std::vector<PreparedGate> gates = mixed_circuit(n, 300 + n, rows);
    gates.insert(gates.begin() + 2, one_qubit_gate(1, 400));  // shared among per-row gates
    auto got = random_amplitudes(rows * dim, 60 + n);
    auto want = got;
    apply_prepared_gates(got.data(), rows, dim, gates, pool_parallelism(), kernels());
    test::ref_apply(want, rows, dim, gates);
    EXPECT_EQ(first_bit_difference(got, want), "") << rows << " rows, n = " << n;
  }
}

// NaN inputs of either sign with payloads, and NaN made by inf - inf and 0 * inf: on every route,
// under both policies, with a lone last gate too, each NaN written is the canonical one and
// every other value is the rule's, bit for bit.
TEST_P(DriverRoutes, EveryNaNWrittenIsCanonical) {
  const std::uint32_t nan_inputs[] = {0xFFC00000u, 0x7FC00001u, 0xFFFFFFFFu, 0x7F800001u};
  for (auto [rows, n] : {std::pair<std::size_t, unsigned>{1, 2}, {1, 14}, {1, 17}, {300, 4},
                         {2, 16}}) {
    const std::size_t dim = std::size_t{1} << n;
    auto start = random_amplitudes(rows * dim, 110 + n);
    for (std::size_t k = 0; k < start.size(); k += 37) {
      std::memcpy(k % 2 ? &start[k].re : &start[k].im, &nan_inputs[k % 4], sizeof(float));
    }
    for (const auto& gates : {mixed_circuit(n, 120 + n), std::vector{one_qubit_gate(n - 1, 9)}}) {
      auto want = start;
      test::ref_apply(want, rows, dim, gates);
      for (const Parallelism& policy : {pool_parallelism(), serial_parallelism()}) {
        auto got = start;
        apply_prepared_gates(got.data(), rows, dim, gates, policy, kernels());
        EXPECT_EQ(first_bit_difference(got, want), "") << rows << " rows, n = " << n;
      }
    }
  }
}

// Nothing to do: no rows (a per-row gate then has no matrix at all) or no gates. The buffer is
// compared with a copy made before the call.
TEST_P(DriverRoutes, EmptyBatchOrGateListTouchesNothing) {
  auto canary = random_amplitudes(1 << 15, 70);
  const auto before = canary;
  const std::vector<PreparedGate> per_row_with_no_rows = {{{0}, {}, true}, {{1, 0}, {}, true}};
  for (std::size_t dim : {std::size_t{4}, std::size_t{1} << 15}) {
    apply_prepared_gates(canary.data(), 0, dim, per_row_with_no_rows, pool_parallelism(),
                         kernels());
    apply_prepared_gates(canary.data(), 0, dim, mixed_circuit(2, 1), pool_parallelism(), kernels());
    apply_prepared_gates(canary.data(), 1, dim, {}, pool_parallelism(), kernels());
  }
  apply_prepared_gates(canary.data(), 8, 4096, {}, pool_parallelism(), kernels());
  EXPECT_EQ(first_bit_difference(canary, before), "");
}

// Random circuits whose gates draw their positions from a few low and a few high bits, so that
// blocked runs form with chunks and several high positions, of many shapes.
TEST_P(DriverRoutes, RandomCircuitsEqualGateByGate) {
  for (auto [rows, n] : {std::pair<std::size_t, unsigned>{1, 16}, {1, 19}, {2, 17}}) {
    const std::size_t dim = std::size_t{1} << n;
    std::mt19937_64 rng(n * 31 + rows);
    const unsigned pool[] = {0, 1, 2, 3, 5, 8, 11, n - 5, n - 4, n - 3, n - 2, n - 1};
    std::vector<PreparedGate> gates;
    for (int g = 0; g < 60; ++g) {
      const unsigned a = pool[rng() % std::size(pool)];
      unsigned b = pool[rng() % std::size(pool)];
      if (g % 3 == 0 || a == b) {
        gates.push_back(one_qubit_gate(a, 1000 + g));
      } else {
        gates.push_back(two_qubit_gate(a, b, 1000 + g));
      }
    }
    auto got = random_amplitudes(rows * dim, 80 + n);
    auto want = got;
    apply_prepared_gates(got.data(), rows, dim, gates, pool_parallelism(), kernels());
    test::ref_apply(want, rows, dim, gates);
    EXPECT_EQ(first_bit_difference(got, want), "") << rows << " rows, n = " << n;
  }
}

// A policy that cuts every range into its smallest pieces and runs them last to first on the
// calling thread while claiming eight workers: pieces that overlap, leave gaps or depend on
// running in order show here on a machine of any size.
void split_finely_backwards(std::size_t len, std::size_t min_len, PieceLeaf leaf) {
  const std::size_t step = std::max<std::size_t>(min_len, 1);
  const std::size_t pieces = std::max<std::size_t>(len / step, 1);
  for (std::size_t k = pieces; k-- > 0;) leaf(k * step, k + 1 == pieces ? len : (k + 1) * step);
}

// Every route (row-parallel, serial, in-row) under every threading policy gives the rule's bits.
TEST_P(DriverRoutes, EveryPolicyGivesTheSameBits) {
  const Parallelism policies[] = {pool_parallelism(),
                                  serial_parallelism(),
                                  {split_finely_backwards, [] { return std::size_t{8}; }}};
  for (auto [rows, n] : {std::pair<std::size_t, unsigned>{3, 9}, {1, 12}, {1, 16}, {1, 17}}) {
    const std::size_t dim = std::size_t{1} << n;
    const auto gates = mixed_circuit(n, 5 * n);
    auto want = random_amplitudes(rows * dim, 90 + n);
    const auto start = want;
    test::ref_apply(want, rows, dim, gates);
    for (std::size_t p = 0; p < std::size(policies); ++p) {
      auto got = start;
      apply_prepared_gates(got.data(), rows, dim, gates, policies[p], kernels());
      EXPECT_EQ(first_bit_difference(got, want), "") << "policy " << p << ", n = " << n;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllVariants, DriverRoutes,
                         testing::Values(InstructionSet::SCALAR, InstructionSet::SSE2,
                                         InstructionSet::AVX2, InstructionSet::AVX512F),
                         [](const auto& info) { return name_of(info.param); });

// ---- Planning of blocked runs ----

// Gates on positions {0, 3, 17, 20, 21} of a 22-position row fit one block of 2^15: chunks of
// 2^12 with the three high positions. Gates on one high position each fit while the chunks
// stay at least 2^MIN_CHUNK_BITS long, or as long as a small block allows.
TEST(BlockedRunPlan, RunsGrowWhileTheirPositionsFitOneBlock) {
  const std::vector<PreparedGate> gates = {
      one_qubit_gate(0, 1), two_qubit_gate(21, 0, 2), one_qubit_gate(20, 3),
      two_qubit_gate(17, 3, 4)};
  BlockShape shape;
  EXPECT_EQ(plan_blocked_run(gates, 0, 15, 22, shape), 4u);
  EXPECT_EQ(shape.low_bits, 12u);
  ASSERT_EQ(shape.high_count, 3u);
  EXPECT_EQ(shape.high[0], 17u);
  EXPECT_EQ(shape.high[2], 21u);

  std::vector<PreparedGate> wide;
  for (unsigned b = 12; b < 21; ++b) wide.push_back(one_qubit_gate(b, b));
  EXPECT_EQ(plan_blocked_run(wide, 0, 15, 22, shape), 15 - MIN_CHUNK_BITS);
  EXPECT_EQ(shape.low_bits, MIN_CHUNK_BITS);
  EXPECT_EQ(plan_blocked_run(wide, 1, 15, 22, shape), 1 + 15 - MIN_CHUNK_BITS);
  // A block too small for such chunks still takes any one gate, with shorter chunks.
  const std::vector<PreparedGate> top_pair = {two_qubit_gate(21, 20, 5), one_qubit_gate(3, 6)};
  EXPECT_EQ(plan_blocked_run(top_pair, 0, 10, 22, shape), 2u);
  EXPECT_EQ(shape.low_bits, 8u);
  EXPECT_EQ(shape.high_count, 2u);
  // A row no longer than a block is one block whatever the gates.
  std::vector<PreparedGate> all;
  for (unsigned b = 0; b < 15; ++b) all.push_back(two_qubit_gate(b, (b + 7) % 15, b));
  EXPECT_EQ(plan_blocked_run(all, 0, 15, 15, shape), all.size());
  EXPECT_EQ(shape.high_count, 0u);
}

// ---- Results worked out by hand, through the driver with the CPU's own variant ----

std::vector<Amplitude> real_values(std::initializer_list<float> values) {
  std::vector<Amplitude> out;
  for (float v : values) out.push_back({v, 0.0f});
  return out;
}

// a'[r] = a[(r + 1) mod 4] on psi = [1, 2, 3, 4] (D = 4). With bits [1, 0] the local index is
// the amplitude index; with [0, 1] local indices 1 and 2 are amplitudes 2 and 1.
TEST(DriverByHand, LocalIndexOrderOfTwoQubitGates) {
  std::vector<Amplitude> shift(16, Amplitude{0.0f, 0.0f});
  for (int r = 0; r < 4; ++r) shift[4 * r + (r + 1) % 4] = {1.0f, 0.0f};
  struct Case {
    std::uint64_t b0, b1;
    std::vector<Amplitude> want;
  };
  const Case cases[] = {{1, 0, real_values({2, 3, 4, 1})}, {0, 1, real_values({3, 4, 2, 1})}};
  for (const Case& c : cases) {
    auto psi = real_values({1, 2, 3, 4});
    const std::vector<PreparedGate> gates = {{{c.b0, c.b1}, shift, false}};
    apply_prepared_gates(psi.data(), 1, 4, gates, pool_parallelism());
    EXPECT_EQ(first_bit_difference(psi, c.want), "") << "bits [" << c.b0 << ", " << c.b1 << "]";
  }
}

// X = [[0, 1], [1, 0]] and S = [[1, 0], [0, i]] on [1+2i, 3+4i]: X then S gives
// [3+4i, -2+i], S then X gives [-4+3i, 1+2i]. Also on the top bit of a long row (in-row route),
// where every pair must end up the same way.
TEST(DriverByHand, GatesApplyInListOrder) {
  const std::vector<Amplitude> x = {{0, 0}, {1, 0}, {1, 0}, {0, 0}};
  const std::vector<Amplitude> s = {{1, 0}, {0, 0}, {0, 0}, {0, 1}};
  for (unsigned n : {1u, 16u}) {
    const std::size_t dim = std::size_t{1} << n, half = dim / 2;
    const std::uint64_t top = n - 1;
    for (bool x_first : {true, false}) {
      std::vector<Amplitude> psi(dim);
      for (std::size_t k = 0; k < half; ++k) {
        psi[k] = {1, 2};
        psi[k + half] = {3, 4};
      }
      std::vector<PreparedGate> gates = {{{top}, x, false}, {{top}, s, false}};
      if (!x_first) std::swap(gates[0], gates[1]);
      apply_prepared_gates(psi.data(), 1, dim, gates, pool_parallelism());
      const Amplitude lo = x_first ? Amplitude{3, 4} : Amplitude{-4, 3};
      const Amplitude hi = x_first ? Amplitude{-2, 1} : Amplitude{1, 2};
      std::vector<Amplitude> want(dim);
      for (std::size_t k = 0; k < half; ++k) {
        want[k] = lo;
        want[k + half] = hi;
      }
      EXPECT_EQ(first_bit_difference(psi, want), "") << "n = " << n << (x_first ? " XS" : " SX");
    }
  }
}

}  // namespace
}  // namespace qelt
