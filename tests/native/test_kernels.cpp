// The gate kernels: the scalar kernel against a reference written from the gate rule, and every
// vector variant bit for bit against the scalar kernel, on every bit position and bit order; and
// the one dispatch, for the gate kernels and the sampler's vector routines alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "quantum/kernel_variants.h"
#include "sample/bounded_exp.h"
#include "sample/first_argmax.h"
#include "test_kernels_reference.h"

namespace qelt {
namespace {

using test::first_bit_difference;
using test::random_amplitudes;
using test::random_matrix;

using test::name_of;

// ---- The scalar kernel against the rule ----

struct ScalarCase {
  unsigned qubits;
  std::size_t rows;
};

class ScalarKernel : public testing::TestWithParam<ScalarCase> {};

TEST_P(ScalarKernel, OneQubitMatchesRuleOnEveryBit) {
  const auto [n, rows] = GetParam();
  const std::size_t len = rows << n;
  for (unsigned b = 0; b < n; ++b) {
    const auto m = random_matrix(4, 100 + b);
    auto got = random_amplitudes(len, 7 * b + n);
    auto want = got;
    scalar_gate_kernels().plain.one_qubit(got.data(), len, m.data(), b);
    for (std::size_t r = 0; r < rows; ++r) {
      test::ref_one_qubit(want.data() + (r << n), std::size_t{1} << n, m.data(), b);
    }
    EXPECT_EQ(first_bit_difference(got, want), "") << "bit " << b;
  }
}

TEST_P(ScalarKernel, TwoQubitMatchesRuleOnEveryOrderedPair) {
  const auto [n, rows] = GetParam();
  const std::size_t len = rows << n;
  for (unsigned b0 = 0; b0 < n; ++b0) {
    for (unsigned b1 = 0; b1 < n; ++b1) {
      if (b0 == b1) continue;
      const auto m = random_matrix(16, 31 * b0 + b1);
      auto got = random_amplitudes(len, 1000 + 17 * b0 + b1);
      auto want = got;
      scalar_gate_kernels().plain.two_qubit(got.data(), 0, len / 4, m.data(), b0, b1);
      for (std::size_t r = 0; r < rows; ++r) {
        test::ref_two_qubit(want.data() + (r << n), std::size_t{1} << n, m.data(), b0, b1);
      }
      EXPECT_EQ(first_bit_difference(got, want), "") << "bits [" << b0 << ", " << b1 << "]";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ScalarKernel,
                         testing::Values(ScalarCase{1, 1}, ScalarCase{2, 1}, ScalarCase{3, 4},
                                         ScalarCase{6, 1}, ScalarCase{6, 3}));

// ---- Every vector variant against the scalar kernel ----

struct VariantCase {
  InstructionSet set;
  unsigned qubits;
  std::size_t rows;
};

std::string variant_case_name(const testing::TestParamInfo<VariantCase>& info) {
  return name_of(info.param.set) + "_n" + std::to_string(info.param.qubits) + "_rows" +
         std::to_string(info.param.rows);
}

class VectorVariant : public testing::TestWithParam<VariantCase> {
 protected:
  void SetUp() override {
    if (!cpu_supports(GetParam().set)) {
      GTEST_SKIP() << "this CPU cannot run " << name_of(GetParam().set);
    }
  }
  const GateKernels& kernels() const { return gate_kernels(GetParam().set); }
};

// Both entry-point sets of a variant: the plain stores and the canonical-NaN ones. The latter
// also get NaN inputs with payloads; plain NaN results may differ in payload with the order of
// a product's operands, which the rule leaves open.
constexpr GateEntryPoints GateKernels::*ENTRY_SETS[] = {&GateKernels::plain,
                                                        &GateKernels::canonical};

std::vector<Amplitude> input_for(GateEntryPoints GateKernels::*entry, std::vector<Amplitude> values,
                                 std::uint64_t seed) {
  return entry == &GateKernels::canonical ? test::with_nans(std::move(values), seed) : values;
}

TEST_P(VectorVariant, OneQubitEqualsScalarOnEveryBit) {
  const auto [set, n, rows] = GetParam();
  const std::size_t len = rows << n;
  for (unsigned b = 0; b < n; ++b) {
    const auto m = random_matrix(4, 200 + b);
    for (auto entry : ENTRY_SETS) {
      auto got = input_for(entry, random_amplitudes(len, 300 + 11 * b + n), b);
      auto want = got;
      (kernels().*entry).one_qubit(got.data(), len, m.data(), b);
      (scalar_gate_kernels().*entry).one_qubit(want.data(), len, m.data(), b);
      EXPECT_EQ(first_bit_difference(got, want), "") << "bit " << b;
    }
  }
}

TEST_P(VectorVariant, TwoQubitEqualsScalarOnEveryOrderedPair) {
  const auto [set, n, rows] = GetParam();
  const std::size_t len = rows << n;
  for (unsigned b0 = 0; b0 < n; ++b0) {
    for (unsigned b1 = 0; b1 < n; ++b1) {
      if (b0 == b1) continue;
      const auto m = random_matrix(16, 400 + 13 * b0 + b1);
      for (auto entry : ENTRY_SETS) {
        auto got = input_for(entry, random_amplitudes(len, 500 + 29 * b0 + b1 + n), b0 + b1);
        auto want = got;
        (kernels().*entry).two_qubit(got.data(), 0, len / 4, m.data(), b0, b1);
        (scalar_gate_kernels().*entry).two_qubit(want.data(), 0, len / 4, m.data(), b0, b1);
        EXPECT_EQ(first_bit_difference(got, want), "") << "bits [" << b0 << ", " << b1 << "]";
      }
    }
  }
}

// Quadruple ranges that start and end off any register boundary, as a piece of a split loop
// may: only the quadruples in the range change, each exactly as the scalar kernel changes it.
TEST_P(VectorVariant, TwoQubitOnUnalignedQuadrupleRanges) {
  const auto [set, n, rows] = GetParam();
  const std::size_t quads = (rows << n) / 4;
  const std::pair<std::size_t, std::size_t> ranges[] = {
      {1, quads}, {0, quads - 1}, {std::min<std::size_t>(3, quads), quads >= 8 ? quads - 5 : quads},
      {quads / 2, quads}};
  for (unsigned b0 = 0; b0 < n; ++b0) {
    for (unsigned b1 = 0; b1 < n; ++b1) {
      if (b0 == b1) continue;
      for (const auto& [first, last] : ranges) {
        if (first >= last) continue;
        const auto m = random_matrix(16, 600 + 7 * b0 + b1);
        for (auto entry : ENTRY_SETS) {
          auto got = input_for(entry, random_amplitudes(rows << n, 700 + first + 3 * b0 + b1), b1);
          auto want = got;
          (kernels().*entry).two_qubit(got.data(), first, last, m.data(), b0, b1);
          (scalar_gate_kernels().*entry).two_qubit(want.data(), first, last, m.data(), b0, b1);
          EXPECT_EQ(first_bit_difference(got, want), "")
              << "bits [" << b0 << ", " << b1 << "] quadruples " << first << ".." << last;
        }
      }
    }
  }
}

std::vector<VariantCase> variant_cases() {
  std::vector<VariantCase> cases;
  for (InstructionSet set :
       {InstructionSet::SSE2, InstructionSet::AVX2, InstructionSet::AVX512F}) {
    for (unsigned n : {2u, 3u, 4u, 5u, 9u}) {
      for (std::size_t rows : {1u, 3u}) cases.push_back({set, n, rows});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(AllVariants, VectorVariant, testing::ValuesIn(variant_cases()),
                         variant_case_name);

// Pair streams of every length around the register widths, including odd remainders.
class VariantPairs : public testing::TestWithParam<InstructionSet> {};

TEST_P(VariantPairs, PairStreamEqualsScalarForEveryCount) {
  if (!cpu_supports(GetParam())) GTEST_SKIP() << "this CPU cannot run " << name_of(GetParam());
  for (std::size_t count = 0; count <= 40; ++count) {
    const auto m = random_matrix(4, 800 + count);
    for (auto entry : ENTRY_SETS) {
      auto got = input_for(entry, random_amplitudes(2 * count + 1, 900 + count), count);
      auto want = got;
      (gate_kernels(GetParam()).*entry)
          .one_qubit_pairs(got.data(), got.data() + count + 1, count, m.data());
      (scalar_gate_kernels().*entry)
          .one_qubit_pairs(want.data(), want.data() + count + 1, count, m.data());
      EXPECT_EQ(first_bit_difference(got, want), "") << "count " << count;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllVariants, VariantPairs,
                         testing::Values(InstructionSet::SSE2, InstructionSet::AVX2,
                                         InstructionSet::AVX512F),
                         [](const auto& info) { return name_of(info.param); });

// ---- The variants exist and the widest supported one is chosen, for every routine ----

#if defined(__x86_64__)
// A variant that silently fell back to another one would share its entry points.
TEST(KernelVariants, EveryVariantHasItsOwnEntryPoints) {
  std::set<const void*> seen;
  for (InstructionSet set : ALL_INSTRUCTION_SETS) {
    const GateKernels& k = gate_kernels(set);
    EXPECT_EQ(k.instruction_set, set) << name_of(set);
    for (const GateEntryPoints* e : {&k.plain, &k.canonical}) {
      EXPECT_TRUE(seen.insert(reinterpret_cast<const void*>(e->one_qubit)).second) << name_of(set);
      EXPECT_TRUE(seen.insert(reinterpret_cast<const void*>(e->one_qubit_pairs)).second)
          << name_of(set);
      EXPECT_TRUE(seen.insert(reinterpret_cast<const void*>(e->two_qubit)).second) << name_of(set);
    }
  }
}

// The kernel's list of the CPU's features, an oracle independent of the module's CPUID code
// (and of the compiler's __builtin_cpu_supports, which zig's runtime leaves unset).
static std::set<std::string> cpu_flags_from_the_kernel() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::set<std::string> flags;
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.rfind("flags", 0) != 0) continue;
    std::istringstream words(line.substr(line.find(':') + 1));
    for (std::string flag; words >> flag;) flags.insert(flag);
    break;
  }
  return flags;
}

TEST(KernelVariants, ActiveVariantIsTheWidestTheCpuReports) {
  const std::set<std::string> flags = cpu_flags_from_the_kernel();
  ASSERT_TRUE(flags.count("sse2")) << "no flags line in /proc/cpuinfo";
  InstructionSet want = InstructionSet::SSE2;
  if (flags.count("avx2")) want = InstructionSet::AVX2;
  // The sampler's routines are built up to AVX2.
  EXPECT_EQ(name_of(argmax_instruction_set()), name_of(want));
  EXPECT_EQ(name_of(bounded_exp_instruction_set()), name_of(want));
  if (flags.count("avx512f")) want = InstructionSet::AVX512F;
  EXPECT_EQ(name_of(active_gate_kernels().instruction_set), name_of(want));
  EXPECT_TRUE(cpu_supports(InstructionSet::SSE2));  // part of every x86-64 CPU
}
#else
// Elsewhere the architecture's own vector variant (NEON on aarch64), if any, is the active one;
// a variant of another architecture asked for falls back to the scalar one.
TEST(KernelVariants, TheArchitecturesWidestVariantRunsOffX86) {
  const InstructionSet widest = std::end(ALL_INSTRUCTION_SETS)[-1];
  EXPECT_EQ(name_of(active_gate_kernels().instruction_set), name_of(widest));
  EXPECT_EQ(name_of(argmax_instruction_set()), name_of(widest));
  EXPECT_EQ(name_of(bounded_exp_instruction_set()), name_of(widest));
  for (InstructionSet set : ALL_INSTRUCTION_SETS) EXPECT_TRUE(cpu_supports(set)) << name_of(set);
  EXPECT_FALSE(cpu_supports(InstructionSet::AVX2));
  EXPECT_EQ(gate_kernels(InstructionSet::AVX2).plain.one_qubit,
            scalar_gate_kernels().plain.one_qubit);
}
#endif

}  // namespace
}  // namespace qelt
