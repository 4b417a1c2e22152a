// The arg-max: the scalar walk, the choice among the paths built for this architecture, and the
// strided entry.
#include "sample/first_argmax.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "runtime/isa_dispatch.h"

namespace qelt {
namespace {

constexpr float MINUS_INF = -std::numeric_limits<float>::infinity();

// Floats gathered at a time by the strided entry: 8 KiB, kept in the first-level cache.
constexpr std::size_t GATHER_CHUNK = 2048;

float largest_number_scalar(std::span<const float> values) noexcept {
  float best = MINUS_INF;
  for (float x : values) {
    if (x > best) best = x;
  }
  return best;
}

constexpr ArgmaxPaths SCALAR_PATHS = {first_argmax_scalar, largest_number_scalar};

using PathTable = const ArgmaxPaths& (*)() noexcept;

constexpr IsaVariant<PathTable> ARGMAX_VARIANTS[] = {
    {InstructionSet::SCALAR, scalar_argmax_paths},
#if defined(__x86_64__)
    {InstructionSet::SSE2, sse2_argmax_paths},
    {InstructionSet::AVX2, avx2_argmax_paths},
#elif defined(__aarch64__)
    {InstructionSet::NEON, neon_argmax_paths},
#endif
};

const ArgmaxPaths& chosen() noexcept { return chosen_variant<ARGMAX_VARIANTS>().entry(); }

}  // namespace

std::uint64_t first_argmax_scalar(std::span<const float> values) noexcept {
  float best = MINUS_INF;
  std::uint64_t best_position = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i] > best) {
      best = values[i];
      best_position = i;
    }
  }
  return best_position;
}

const ArgmaxPaths& scalar_argmax_paths() noexcept { return SCALAR_PATHS; }

const ArgmaxPaths* argmax_paths(InstructionSet set) noexcept {
  const IsaVariant<PathTable>* variant = variant_for(ARGMAX_VARIANTS, set);
  return variant ? &variant->entry() : nullptr;
}

InstructionSet argmax_instruction_set() noexcept {
  return chosen_variant<ARGMAX_VARIANTS>().instruction_set;
}

std::uint64_t first_argmax(std::span<const float> values) noexcept {
  return chosen().first_argmax(values);
}

float largest_number(std::span<const float> values) noexcept {
  return chosen().largest_number(values);
}

std::uint64_t first_argmax_strided(const std::byte* data, std::size_t count,
                                   std::ptrdiff_t byte_stride) noexcept {
  if (byte_stride == static_cast<std::ptrdiff_t>(sizeof(float)) &&
      reinterpret_cast<std::uintptr_t>(data) % alignof(float) == 0) {
    return first_argmax(std::span(reinterpret_cast<const float*>(data), count));
  }
  // Chunk by chunk: a chunk's first maximum replaces the result only when strictly larger, which
  // is the scalar rule; a chunk of NaN and minus infinity answers 0, whose value never wins.
  alignas(64) float chunk[GATHER_CHUNK];
  float best = MINUS_INF;
  std::uint64_t best_position = 0;
  for (std::size_t start = 0; start < count; start += GATHER_CHUNK) {
    const std::size_t len = std::min(GATHER_CHUNK, count - start);
    for (std::size_t i = 0; i < len; ++i) {
      const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(start + i) * byte_stride;
      std::memcpy(&chunk[i], data + offset, sizeof(float));
    }
    const std::uint64_t position = first_argmax(std::span<const float>(chunk, len));
    if (chunk[position] > best) {
      best = chunk[position];
      best_position = start + position;
    }
  }
  return best_position;
}

}  // namespace qelt
