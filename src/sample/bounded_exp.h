// An exponential with a proven error bound, for sums whose value is only bounded, never used as
// a result: exp(max(a, -700)) within a relative 2^-40 of the true value.
// Any thread, pure functions. Never fail.
#pragma once

#include <cstddef>

#include "runtime/cpu_features.h"

namespace qelt {

// out[i] = the approximation of exp(max(a[i], -700)) for i < count; NaN stays NaN. Takes the
// widest path the processor supports; every path gives the scalar path's bits.
void bounded_exp(const double* a, double* out, std::size_t count) noexcept;

using BoundedExpPath = void (*)(const double* a, double* out, std::size_t count) noexcept;

// The path built for `set`, or null when there is none, so that tests can force each one.
BoundedExpPath bounded_exp_path(InstructionSet set) noexcept;

// The instruction set of the path bounded_exp takes.
InstructionSet bounded_exp_instruction_set() noexcept;

// The paths, each defined in the file compiled for its instruction set: the scalar one
// everywhere, SSE2 and AVX2 on x86-64, NEON on aarch64.
void bounded_exp_scalar(const double* a, double* out, std::size_t count) noexcept;
void bounded_exp_sse2(const double* a, double* out, std::size_t count) noexcept;
void bounded_exp_avx2(const double* a, double* out, std::size_t count) noexcept;
void bounded_exp_neon(const double* a, double* out, std::size_t count) noexcept;

}  // namespace qelt
