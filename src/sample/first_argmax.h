// The sampler's arg-max: the first position of the largest logit, NaN never counted.
// Any thread, no shared state. Never fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qelt {

// The first position whose value is strictly greater than every value before it and not less
// than any after it, ignoring NaN; 0 when every value is NaN or minus infinity, or the span is
// empty. -0.0 and +0.0 are equal here, so the first of them wins a tie. Picks the widest vector
// path the processor has; every path gives the scalar walk's result.
std::uint64_t first_argmax(std::span<const float> values) noexcept;

// The same over `count` floats at `data`, `byte_stride` bytes apart (any stride and alignment).
std::uint64_t first_argmax_strided(const std::byte* data, std::size_t count,
                                   std::ptrdiff_t byte_stride) noexcept;

// The largest value that is not NaN, minus infinity if there is none (vectorised).
float largest_number(std::span<const float> values) noexcept;

// The same rule as one scalar walk with a running best; the vector paths are checked against it.
std::uint64_t first_argmax_scalar(std::span<const float> values) noexcept;

#if defined(__x86_64__)
// The paths behind first_argmax, so that tests can force each one. SSE2 is part of every x86-64
// processor; the AVX2 path requires first_argmax_has_avx2().
std::uint64_t first_argmax_sse2(std::span<const float> values) noexcept;
std::uint64_t first_argmax_avx2(std::span<const float> values) noexcept;
bool first_argmax_has_avx2() noexcept;
#endif

}  // namespace qelt
