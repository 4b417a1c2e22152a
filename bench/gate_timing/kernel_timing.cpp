// Times apply_prepared_gates on a batch with each gate-kernel variant the CPU supports, and
// checks that every variant gives the first (scalar) variant's bits. The batch circuit is the
// report's: per-row RY rotations on every bit, then a shared CNOT ladder, `layers` times.
// Usage: kernel_timing ROWS N LAYERS REPEATS; prints one JSON object: the variant in use, per
// variant [median seconds, same bits as scalar], and the gate count.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "quantum/gate_driver.h"
#include "quantum/kernel_variants.h"

using namespace qelt;

namespace {

// RY(t) = exp(-i t Y / 2) with a random angle.
void random_ry(std::mt19937_64& rng, Amplitude* m) {
  std::uniform_real_distribution<double> u(0.0, 6.283185307179586);
  const double t = u(rng) / 2;
  const float c = float(std::cos(t)), s = float(std::sin(t));
  m[0] = {c, 0.0f};
  m[1] = {-s, 0.0f};
  m[2] = {s, 0.0f};
  m[3] = {c, 0.0f};
}

std::vector<PreparedGate> batch_circuit(std::size_t rows, unsigned n, unsigned layers) {
  std::mt19937_64 rng(7);
  std::vector<PreparedGate> gates;
  for (unsigned l = 0; l < layers; ++l) {
    for (unsigned b = 0; b < n; ++b) {
      PreparedGate g{{b}, std::vector<Amplitude>(rows * 4), true};
      for (std::size_t r = 0; r < rows; ++r) random_ry(rng, &g.matrix[r * 4]);
      gates.push_back(std::move(g));
    }
    for (unsigned b = 0; b + 1 < n; ++b) {  // CNOT: control bit b+1 (the high bit), target b
      PreparedGate g{{b + 1, b}, std::vector<Amplitude>(16, Amplitude{0.0f, 0.0f}), false};
      for (int i : {0, 5, 11, 14}) g.matrix[i] = {1.0f, 0.0f};
      gates.push_back(std::move(g));
    }
  }
  return gates;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: kernel_timing ROWS N LAYERS REPEATS\n");
    return 2;
  }
  const std::size_t rows = std::strtoull(argv[1], nullptr, 10);
  const unsigned n = unsigned(std::atoi(argv[2])), layers = unsigned(std::atoi(argv[3]));
  const int repeats = std::max(1, std::atoi(argv[4]));
  const std::size_t dim = std::size_t{1} << n;
  const std::vector<PreparedGate> gates = batch_circuit(rows, n, layers);
  const std::vector<Amplitude> start(rows * dim,
                                     Amplitude{float(1 / std::sqrt(double(dim))), 0.0f});
  std::vector<Amplitude> work, reference;
  std::string out = std::string("{\"active\": \"") +
                    instruction_set_name(active_gate_kernels().instruction_set) + "\"";
  for (InstructionSet set : ALL_INSTRUCTION_SETS) {
    if (!cpu_supports(set)) continue;
    const GateKernels& kernels = gate_kernels(set);
    work = start;
    apply_prepared_gates(work.data(), rows, dim, gates, pool_parallelism(), kernels);
    if (reference.empty()) reference = work;
    const bool same =
        std::memcmp(work.data(), reference.data(), work.size() * sizeof(Amplitude)) == 0;
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
      work = start;
      const auto t0 = std::chrono::steady_clock::now();
      apply_prepared_gates(work.data(), rows, dim, gates, pool_parallelism(), kernels);
      times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(times.begin(), times.end());
    out += ", \"" + std::string(instruction_set_name(set)) + "\": [" +
           std::to_string(times[times.size() / 2]) + ", " + (same ? "true" : "false") + "]";
  }
  std::printf("%s, \"gates\": %zu}\n", out.c_str(), gates.size());
}
