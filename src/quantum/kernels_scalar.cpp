// The plain scalar gate kernels: the reference every vector variant must match bit for bit.
#include "quantum/kernel_variants.h"
#include "quantum/kernels.h"

namespace qelt {
namespace {

// m * a with each of the four products rounded to single precision before the difference or
// sum; the build forbids contracting them into fused multiply-adds.
inline Amplitude complex_product(Amplitude m, Amplitude a) noexcept {
  return {m.re * a.re - m.im * a.im, m.re * a.im + m.im * a.re};
}

inline Amplitude complex_sum(Amplitude a, Amplitude b) noexcept {
  return {a.re + b.re, a.im + b.im};
}

void one_qubit_pairs(Amplitude* x, Amplitude* y, std::size_t count,
                     const Amplitude* m) noexcept {
  const Amplitude m00 = m[0], m01 = m[1], m10 = m[2], m11 = m[3];
  for (std::size_t j = 0; j < count; ++j) {
    const Amplitude a0 = x[j];
    const Amplitude a1 = y[j];
    x[j] = complex_sum(complex_product(m00, a0), complex_product(m01, a1));
    y[j] = complex_sum(complex_product(m10, a0), complex_product(m11, a1));
  }
}

void one_qubit(Amplitude* run, std::size_t len, const Amplitude* m, unsigned bit) noexcept {
  const std::size_t half = std::size_t{1} << bit;
  for (std::size_t t = 0; t + 2 * half <= len; t += 2 * half) {
    one_qubit_pairs(run + t, run + t + half, half, m);
  }
}

void two_qubit(Amplitude* run, std::size_t first, std::size_t last, const Amplitude* m,
               unsigned b0, unsigned b1) noexcept {
  const unsigned lo = b0 < b1 ? b0 : b1;
  const unsigned hi = b0 < b1 ? b1 : b0;
  const std::size_t step0 = std::size_t{1} << b0;
  const std::size_t step1 = std::size_t{1} << b1;
  for (std::size_t i = first; i < last; ++i) {
    const std::size_t e = insert_zero_bit(insert_zero_bit(i, lo), hi);
    Amplitude* const p[4] = {run + e, run + (e | step1), run + (e | step0),
                             run + (e | step0 | step1)};
    const Amplitude a[4] = {*p[0], *p[1], *p[2], *p[3]};
    for (int r = 0; r < 4; ++r) {
      const Amplitude* row = m + 4 * r;
      Amplitude acc = complex_sum(complex_product(row[0], a[0]), complex_product(row[1], a[1]));
      acc = complex_sum(acc, complex_product(row[2], a[2]));
      *p[r] = complex_sum(acc, complex_product(row[3], a[3]));
    }
  }
}

constexpr GateKernels SCALAR_KERNELS{InstructionSet::SCALAR, one_qubit, one_qubit_pairs,
                                     two_qubit};

}  // namespace

const GateKernels& scalar_gate_kernels() noexcept { return SCALAR_KERNELS; }

}  // namespace qelt
