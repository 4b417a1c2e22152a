// The arg-max: the scalar walk, the SSE2 path (part of every x86-64 processor), the choice of
// path, the strided entry, and the largest number.
#include "sample/first_argmax.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "runtime/cpu_features.h"

#if defined(__x86_64__)
#include <emmintrin.h>

#include "sample/first_argmax_walk.h"
#elif defined(__aarch64__)
#include <arm_neon.h>

#include "sample/first_argmax_walk.h"
#endif

namespace qelt {
namespace {

constexpr float MINUS_INF = -std::numeric_limits<float>::infinity();

// Floats gathered at a time by the strided entry: 8 KiB, kept in the first-level cache.
constexpr std::size_t GATHER_CHUNK = 2048;

#if defined(__x86_64__)
struct Sse2 {
  using Vec = __m128;
  static constexpr std::size_t LANES = 4;
  static Vec load(const float* p) noexcept { return _mm_loadu_ps(p); }
  static Vec splat(float x) noexcept { return _mm_set1_ps(x); }
  // maxps returns its second operand when either is NaN.
  static Vec max(Vec x, Vec acc) noexcept { return _mm_max_ps(x, acc); }
  static unsigned greater_mask(Vec a, Vec b) noexcept {
    return static_cast<unsigned>(_mm_movemask_ps(_mm_cmpgt_ps(a, b)));
  }
  static unsigned equal_mask(Vec a, Vec b) noexcept {
    return static_cast<unsigned>(_mm_movemask_ps(_mm_cmpeq_ps(a, b)));
  }
  static float largest_lane(Vec v) noexcept {
    alignas(16) float lanes[LANES];
    _mm_store_ps(lanes, v);
    return std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
  }
};

#elif defined(__aarch64__)
struct Neon {
  using Vec = float32x4_t;
  static constexpr std::size_t LANES = 4;
  static Vec load(const float* p) noexcept { return vld1q_f32(p); }
  static Vec splat(float x) noexcept { return vdupq_n_f32(x); }
  // `x > acc ? x : acc` lane by lane: acc when x is NaN or equal, as the x86 maximum does
  // (the instruction's own maximum would let NaN in).
  static Vec max(Vec x, Vec acc) noexcept { return vbslq_f32(vcgtq_f32(x, acc), x, acc); }
  static unsigned mask_of(uint32x4_t lanes) noexcept {
    const uint32x4_t weights = {1, 2, 4, 8};
    return vaddvq_u32(vandq_u32(lanes, weights));
  }
  static unsigned greater_mask(Vec a, Vec b) noexcept { return mask_of(vcgtq_f32(a, b)); }
  static unsigned equal_mask(Vec a, Vec b) noexcept { return mask_of(vceqq_f32(a, b)); }
  static float largest_lane(Vec v) noexcept { return vmaxvq_f32(v); }
};
#endif

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

#if defined(__x86_64__)
std::uint64_t first_argmax_sse2(std::span<const float> values) noexcept {
  return ArgmaxWalk<Sse2>::first_argmax(values.data(), values.size());
}

bool first_argmax_has_avx2() noexcept {
  static const bool available = cpu_has_avx2();
  return available;
}

std::uint64_t first_argmax(std::span<const float> values) noexcept {
  return first_argmax_has_avx2() ? first_argmax_avx2(values) : first_argmax_sse2(values);
}

float largest_number(std::span<const float> values) noexcept {
  return ArgmaxWalk<Sse2>::largest_number(values.data(), values.size());
}
#elif defined(__aarch64__)
std::uint64_t first_argmax(std::span<const float> values) noexcept {
  return ArgmaxWalk<Neon>::first_argmax(values.data(), values.size());
}

float largest_number(std::span<const float> values) noexcept {
  return ArgmaxWalk<Neon>::largest_number(values.data(), values.size());
}
#else
std::uint64_t first_argmax(std::span<const float> values) noexcept {
  return first_argmax_scalar(values);
}

float largest_number(std::span<const float> values) noexcept {
  float best = MINUS_INF;
  for (float x : values) {
    if (x > best) best = x;
  }
  return best;
}
#endif

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
