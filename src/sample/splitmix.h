// The sampler's random number: a SplitMix64 state made from the seed and one output of it,
// scaled to a double in [0, 1).
// Any thread, pure functions. Never fail.
#pragma once

#include <cstdint>

namespace qelt {

// The state word for `seed`, already advanced by the generator's one increment.
constexpr std::uint64_t splitmix_state(std::uint64_t seed) noexcept {
  return (seed ^ 0xD1B54A32D192ED03ull) + 0x9E3779B97F4A7C15ull;
}

// The output function applied to `state`, its top 53 bits scaled by 2^-53: exact in double.
constexpr double splitmix_uniform(std::uint64_t state) noexcept {
  std::uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z = z ^ (z >> 31);
  return static_cast<double>(z >> 11) * 0x1.0p-53;
}

}  // namespace qelt
