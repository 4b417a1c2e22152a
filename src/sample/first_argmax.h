// The sampler's arg-max: the first position of the largest logit, NaN never counted.
// Any thread, no shared state. Never fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "runtime/cpu_features.h"

namespace qelt {

// The first position whose value is strictly greater than every value before it and not less
// than any after it, ignoring NaN; 0 when every value is NaN or minus infinity, or the span is
// empty. -0.0 and +0.0 are equal here, so the first of them wins a tie. Takes the widest path
// the processor supports; every path gives the scalar walk's result.
std::uint64_t first_argmax(std::span<const float> values) noexcept;

// The same over `count` floats at `data`, `byte_stride` bytes apart (any stride and alignment).
std::uint64_t first_argmax_strided(const std::byte* data, std::size_t count,
                                   std::ptrdiff_t byte_stride) noexcept;

// The largest value that is not NaN, minus infinity if there is none (vectorised like
// first_argmax; which of -0.0 and +0.0 it returns for a largest zero depends on the path).
float largest_number(std::span<const float> values) noexcept;

// The same rule as one scalar walk with a running best; the vector paths are checked against it.
std::uint64_t first_argmax_scalar(std::span<const float> values) noexcept;

// One instruction set's paths behind first_argmax and largest_number.
struct ArgmaxPaths {
  std::uint64_t (*first_argmax)(std::span<const float> values) noexcept;
  float (*largest_number)(std::span<const float> values) noexcept;
};

// The paths built for `set`, or null when there are none, so that tests can force each one.
const ArgmaxPaths* argmax_paths(InstructionSet set) noexcept;

// The instruction set of the paths first_argmax and largest_number take.
InstructionSet argmax_instruction_set() noexcept;

// Each instruction set's paths, defined in the file compiled for it: scalar everywhere, SSE2
// and AVX2 on x86-64, NEON on aarch64.
const ArgmaxPaths& scalar_argmax_paths() noexcept;
const ArgmaxPaths& sse2_argmax_paths() noexcept;
const ArgmaxPaths& avx2_argmax_paths() noexcept;
const ArgmaxPaths& neon_argmax_paths() noexcept;

}  // namespace qelt
