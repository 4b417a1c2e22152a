// One core's side of the gate timing program: builds the benchmark circuits and times the
// driver on them. Compiled once per core, with CORE_ENTRY naming its entry point.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <vector>

#include "quantum/gate_driver.h"

#include "timing_circuits.h"

namespace qelt {
namespace {

void su2(std::mt19937_64& rng, std::complex<double>* e) {
  std::uniform_real_distribution<double> u(0.0, 6.283185307179586);
  const double a = u(rng), b = u(rng), t = u(rng) / 4;
  const auto c = std::polar(std::cos(t), a), s = std::polar(std::sin(t), b);
  e[0] = c, e[1] = -s, e[2] = std::conj(s), e[3] = std::conj(c);
}

PreparedGate one_qubit(std::mt19937_64& rng, unsigned b) {
  std::complex<double> e[4];
  su2(rng, e);
  PreparedGate g{{b}, std::vector<Amplitude>(4), false};
  for (int i = 0; i < 4; ++i) g.matrix[i] = {float(e[i].real()), float(e[i].imag())};
  return g;
}

// A dense, entangling unitary: two rotations' Kronecker product times a diagonal of phases.
PreparedGate two_qubit(std::mt19937_64& rng, unsigned b0, unsigned b1) {
  std::complex<double> x[4], y[4];
  su2(rng, x);
  su2(rng, y);
  std::uniform_real_distribution<double> u(0.0, 6.283185307179586);
  std::complex<double> phase[4];
  for (auto& p : phase) p = std::polar(1.0, u(rng));
  PreparedGate g{{b0, b1}, std::vector<Amplitude>(16), false};
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      const auto v = x[(r / 2) * 2 + c / 2] * y[(r % 2) * 2 + c % 2] * phase[c];
      g.matrix[4 * r + c] = {float(v.real()), float(v.imag())};
    }
  }
  return g;
}

std::vector<PreparedGate> circuit(int kind, unsigned n) {
  std::mt19937_64 rng(17 + n);
  std::vector<PreparedGate> gates;
  if (kind == CIRCUIT_LAYERED) {
    for (unsigned layer = 0; layer < 10; ++layer) {
      for (unsigned b = 0; b < n; ++b) gates.push_back(one_qubit(rng, b));
      for (unsigned b = layer % 2; b + 1 < n; b += 2) gates.push_back(two_qubit(rng, b + 1, b));
    }
  } else if (kind == CIRCUIT_ONE_QUBIT) {
    for (unsigned layer = 0; layer < 2; ++layer) {
      for (unsigned b = 0; b < n; ++b) gates.push_back(one_qubit(rng, b));
    }
  } else {
    for (unsigned layer = 0; layer < 2; ++layer) {
      for (unsigned b = layer % 2; b + 1 < n; b += 2) gates.push_back(two_qubit(rng, b, b + 1));
    }
  }
  return gates;
}

}  // namespace
}  // namespace qelt

// Seconds of one pass of the circuit over one row, and its gate count and a checksum of the
// result's bits (the same on every core that computes the same bits).
TimingResult CORE_ENTRY(int kind, unsigned n, bool serial_route) {
  using namespace qelt;
  static std::vector<PreparedGate> gates;
  static int cached_kind = -1;
  static unsigned cached_n = 0;
  if (cached_kind != kind || cached_n != n) {
    gates = circuit(kind, n);
    cached_kind = kind;
    cached_n = n;
  }
  const std::size_t dim = std::size_t{1} << n;
  std::vector<Amplitude> psi(dim, Amplitude{float(1 / std::sqrt(double(dim))), 0.0f});
  const auto t0 = std::chrono::steady_clock::now();
  apply_prepared_gates(psi.data(), 1, dim, gates,
                       serial_route ? serial_parallelism() : pool_parallelism());
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::uint64_t sum = 0;
  for (const Amplitude& a : psi) {
    std::uint32_t bits[2];
    std::memcpy(bits, &a, sizeof bits);
    sum = sum * 31 + bits[0] * 7 + bits[1];
  }
  return {seconds, gates.size(), sum};
}
