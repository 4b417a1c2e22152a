// Prints the bits the core computes on seeded cases, one line per case, so that runs on different
// architectures (or under different CPU models) can be compared line by line:
//   gate <case> <fnv-1a of the statevector bytes> <number of NaN floats>
//   sample <case> <token id>
// Every gate case runs on every kernel variant this CPU supports; a variant whose bytes differ
// from the scalar variant's prints "variants-differ" instead. Every byte counts, NaN included:
// the driver writes one canonical NaN whatever the processor makes of inf - inf. The first
// lines name the variants the dispatcher chose. Exits 1 when any variant differed.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "quantum/kernel_variants.h"
#include "quantum/gate_driver.h"
#include "quantum/parallelism.h"
#include "sample/bounded_exp.h"
#include "sample/first_argmax.h"
#include "sample/sampler.h"

namespace {

using qelt::Amplitude;
using qelt::InstructionSet;

// SplitMix64: the same numbers on every platform (unlike the standard distributions).
struct Random {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  float uniform(float low, float high) {  // exact: a 24-bit fraction scaled by a power of two
    return low + (high - low) * static_cast<float>(next() >> 40) * 0x1p-24f;
  }
};

float bits_to_float(std::uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// Mostly ordinary values, with infinities, both zeros and subnormals when `special`, and NaN
// of either sign with payloads when `nan` too.
float amplitude_part(Random& rng, bool special, bool nan) {
  const unsigned kind = static_cast<unsigned>(rng.next() % 100);
  if (special) {
    if (kind < 2 && nan) {
      return bits_to_float(0x7fc00000u | static_cast<std::uint32_t>(rng.next() & 0x8000ffffu));
    }
    if (kind < 4) return (rng.next() & 1) ? INFINITY : -INFINITY;
    if (kind < 7) return (rng.next() & 1) ? 0.0f : -0.0f;
    if (kind < 12) return bits_to_float(static_cast<std::uint32_t>(rng.next() & 0x807fffffu));
  }
  return rng.uniform(-1.0f, 1.0f);
}

std::size_t nan_count(const std::vector<Amplitude>& values) {
  std::size_t count = 0;
  for (const Amplitude& a : values) count += std::isnan(a.re) + std::isnan(a.im);
  return count;
}

std::uint64_t fnv1a(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (std::size_t i = 0; i < size; ++i) {
    h ^= bytes[i];
    h *= 0x100000001b3ull;
  }
  return h;
}

struct GateCase {
  std::string name;
  std::size_t rows;
  unsigned n;
  bool per_row;
  bool special;
  bool nan;
};

std::vector<qelt::PreparedGate> random_gates(Random& rng, const GateCase& c, std::size_t count) {
  std::vector<qelt::PreparedGate> gates;
  for (std::size_t g = 0; g < count; ++g) {
    qelt::PreparedGate gate;
    const bool two = c.n >= 2 && (rng.next() & 1);
    const std::uint64_t b0 = rng.next() % c.n;
    gate.bits.push_back(b0);
    if (two) gate.bits.push_back((b0 + 1 + rng.next() % (c.n - 1)) % c.n);
    const std::size_t d = two ? 4 : 2;
    gate.per_row = c.per_row;
    gate.matrix.resize((c.per_row ? c.rows : 1) * d * d);
    for (Amplitude& m : gate.matrix) m = {rng.uniform(-1.0f, 1.0f), rng.uniform(-1.0f, 1.0f)};
    gates.push_back(std::move(gate));
  }
  return gates;
}

const char* name_of(InstructionSet set) { return qelt::instruction_set_name(set); }

}  // namespace

int main() {
  std::printf("active %s\n", name_of(qelt::active_gate_kernels().instruction_set));
  std::printf("sampler-exp-path %s\n", name_of(qelt::bounded_exp_instruction_set()));
  std::printf("sampler-argmax-path %s\n", name_of(qelt::argmax_instruction_set()));
  int status = 0;

  // Serial single rows (below 2^15 amplitudes), in-row parallel single rows (2^15 and 2^16)
  // and row-parallel batches, with shared and per-row matrices, plain and special values.
  std::vector<GateCase> cases;
  auto add = [&](const std::string& route, std::size_t rows, unsigned n, bool per_row) {
    const std::string suffix = "-n" + std::to_string(n);
    cases.push_back({route + "-plain" + suffix, rows, n, per_row, false, false});
    cases.push_back({route + "-special" + suffix, rows, n, per_row, true, false});
    cases.push_back({route + "-nan" + suffix, rows, n, per_row, true, true});
  };
  for (unsigned n : {1u, 2u, 3u, 5u, 8u, 11u, 14u}) add("serial", 1, n, false);
  for (unsigned n : {15u, 16u}) add("in-row", 1, n, false);
  for (unsigned n : {1u, 4u, 9u, 13u}) {
    add("rows-shared", 3, n, false);
    add("rows-per-row", 5, n, true);
  }
  add("rows-per-row", 2, 16, true);
  std::uint64_t seed = 1;
  for (const GateCase& c : cases) {
    Random rng{seed++};
    const std::size_t dim = std::size_t{1} << c.n;
    std::vector<Amplitude> start(c.rows * dim);
    for (Amplitude& a : start) {
      a = {amplitude_part(rng, c.special, c.nan), amplitude_part(rng, c.special, c.nan)};
    }
    const auto gates = random_gates(rng, c, 24);
    const std::size_t bytes = start.size() * sizeof(Amplitude);
    std::vector<Amplitude> reference;
    bool agree = true;
    for (InstructionSet set : qelt::ALL_INSTRUCTION_SETS) {
      if (!qelt::cpu_supports(set)) continue;
      std::vector<Amplitude> psi = start;
      qelt::apply_prepared_gates(psi.data(), c.rows, dim, gates, qelt::pool_parallelism(),
                                 qelt::gate_kernels(set));
      if (reference.empty()) {
        reference = psi;
      } else if (std::memcmp(psi.data(), reference.data(), bytes) != 0) {
        agree = false;
        std::fprintf(stderr, "%s: %s differs from scalar\n", c.name.c_str(), name_of(set));
      }
    }
    if (agree) {
      std::printf("gate %s %016llx %zu\n", c.name.c_str(),
                  static_cast<unsigned long long>(fnv1a(reference.data(), bytes)),
                  nan_count(reference));
    } else {
      std::printf("gate %s variants-differ\n", c.name.c_str());
      status = 1;
    }
  }

  // Sampling: small and large vocabularies (the large ones take the nucleus shortcut), with
  // temperature, top-k and top-p settings, each with a few seeds.
  struct Setting {
    float temperature, top_p;
    std::uint64_t top_k;
  };
  const Setting settings[] = {{0.0f, 1.0f, 0},  {1.0f, 1.0f, 0},  {0.8f, 0.9f, 0},
                              {0.7f, 0.5f, 40}, {1.3f, 0.95f, 0}, {0.05f, 0.99f, 0},
                              {2.0f, 0.3f, 5}};
  for (std::size_t vocabulary : {7ul, 1000ul, 32000ul, 150000ul}) {
    Random rng{vocabulary};
    std::vector<float> logits(vocabulary);
    for (float& l : logits) l = rng.uniform(-12.0f, 12.0f);
    for (std::size_t s = 0; s < std::size(settings); ++s) {
      for (std::uint64_t draw = 0; draw < 6; ++draw) {
        const Setting& t = settings[s];
        const std::uint64_t token =
            qelt::sample_token(logits, t.temperature, t.top_p, t.top_k, draw * 7919 + s);
        std::printf("sample V%zu-s%zu-d%llu %llu\n", vocabulary, s,
                    static_cast<unsigned long long>(draw), static_cast<unsigned long long>(token));
      }
    }
  }
  return status;
}
