// An exponential with a proven error bound, for sums whose value is only bounded, never used as
// a result: exp(max(a, -700)) within a relative 2^-40 of the true value.
// Any thread, pure functions. Never fail.
#pragma once

#include <cstddef>

namespace qelt {

// out[i] = the approximation of exp(max(a[i], -700)) for i < count; NaN stays NaN. Picks the
// widest vector path the processor has; every path gives the scalar path's bits.
void bounded_exp(const double* a, double* out, std::size_t count) noexcept;

// The paths behind bounded_exp, exposed so that tests can force each one.
void bounded_exp_scalar(const double* a, double* out, std::size_t count) noexcept;
// x86-64 only.
void bounded_exp_sse2(const double* a, double* out, std::size_t count) noexcept;
// x86-64 only; requires AVX2 (see has_avx2, false elsewhere).
void bounded_exp_avx2(const double* a, double* out, std::size_t count) noexcept;
bool has_avx2() noexcept;
// aarch64 only.
void bounded_exp_neon(const double* a, double* out, std::size_t count) noexcept;

}  // namespace qelt
