// The sampler's arg-max: the first position of the largest logit, NaN never counted.
// Any thread, no shared state. Never fails.
#pragma once

#include <cstdint>
#include <span>

namespace qelt {

// The first position whose value is strictly greater than every value before it and not less
// than any after it, ignoring NaN; 0 when every value is NaN or minus infinity, or the span is
// empty. -0.0 and +0.0 are equal here, so the first of them wins a tie.
std::uint64_t first_argmax(std::span<const float> values) noexcept;

// The largest value that is not NaN, minus infinity if there is none (vectorised).
float largest_number(std::span<const float> values) noexcept;

// The same rule as one scalar walk with a running best; the vector path is checked against it.
std::uint64_t first_argmax_scalar(std::span<const float> values) noexcept;

}  // namespace qelt
