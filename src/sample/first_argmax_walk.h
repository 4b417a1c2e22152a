// The arg-max's walk over blocks, written once for any vector width and included by each
// instruction-set file (internal linkage, so each file keeps its own copy). Any thread, no shared
// state; never fails.
//
// A block is read from memory once, as lane maxima kept in ACCUMULATORS registers and recorded
// after each of its PARTS parts. Only a block whose maximum beats the best so far is read again,
// from the first-level cache and from the part where that maximum first appears, to find its
// first position. The scalar tail of the last block follows the scalar rule itself.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "sample/first_argmax.h"

namespace qelt {
namespace {

// What the walk needs of an instruction set: Vec holds LANES floats (at most 16); load reads
// them from any alignment; splat fills every lane; max(x, acc) is `x > acc ? x : acc` lane by
// lane, so acc when x is NaN or equal (accumulators started at minus infinity never hold NaN);
// greater_mask and equal_mask give one bit per lane, lane 0 lowest, from ordered compares (NaN
// compares false, -0.0 equals +0.0); largest_lane is the largest lane of a vector without NaN.
template <class V>
concept ArgmaxLanes = requires(typename V::Vec v, const float* from, float x) {
  requires V::LANES >= 1 && V::LANES <= 16;
  { V::load(from) } -> std::same_as<typename V::Vec>;
  { V::splat(x) } -> std::same_as<typename V::Vec>;
  { V::max(v, v) } -> std::same_as<typename V::Vec>;
  { V::greater_mask(v, v) } -> std::same_as<unsigned>;
  { V::equal_mask(v, v) } -> std::same_as<unsigned>;
  { V::largest_lane(v) } -> std::same_as<float>;
};

template <ArgmaxLanes V>
struct ArgmaxWalk {
  using Vec = typename V::Vec;
  static constexpr std::size_t ACCUMULATORS = 8;
  static constexpr std::size_t STEP = ACCUMULATORS * V::LANES;
  // 8 KiB of floats: the rescan of a block that holds a new maximum reads it from the
  // first-level cache, and a block that does not costs one compare besides its maxima.
  static constexpr std::size_t BLOCK = 4096;
  static constexpr std::size_t PARTS = 4;
  static_assert(BLOCK % (STEP * PARTS) == 0);

  // Lane-wise maxima of p[0, len), len a multiple of STEP; minus infinity where all are NaN.
  // prefix[q] receives the maxima of p[0, (q + 1) * len / PARTS) for each q < PARTS.
  static void lane_maxima(const float* p, std::size_t len, Vec (&prefix)[PARTS]) noexcept {
    Vec acc[ACCUMULATORS];
    for (Vec& a : acc) a = V::splat(-std::numeric_limits<float>::infinity());
    const std::size_t part_steps = len / STEP / PARTS;
    std::size_t i = 0;
    for (std::size_t q = 0; q < PARTS; ++q) {
      // The last part takes the steps that do not divide evenly.
      const std::size_t end = q + 1 == PARTS ? len : i + part_steps * STEP;
      for (; i < end; i += STEP) {
        for (std::size_t k = 0; k < ACCUMULATORS; ++k) {
          acc[k] = V::max(V::load(p + i + k * V::LANES), acc[k]);
        }
      }
      prefix[q] = combined(acc);
    }
  }

  // The lane-wise maxima of the accumulators, which hold no NaN.
  static Vec combined(const Vec (&acc)[ACCUMULATORS]) noexcept {
    Vec half[ACCUMULATORS / 2];
    for (std::size_t k = 0; k < ACCUMULATORS / 2; ++k) {
      half[k] = V::max(acc[k + ACCUMULATORS / 2], acc[k]);
    }
    for (std::size_t width = ACCUMULATORS / 4; width > 0; width /= 2) {
      for (std::size_t k = 0; k < width; ++k) half[k] = V::max(half[k + width], half[k]);
    }
    return half[0];
  }

  // The first i with p[i] == value (-0.0 equals +0.0); the caller knows one exists among the
  // whole STEPs it passed to lane_maxima, so no read goes past them.
  static std::size_t first_equal(const float* p, float value) noexcept {
    static_assert(4 * V::LANES <= 64);
    const Vec target = V::splat(value);
    for (std::size_t i = 0;; i += 4 * V::LANES) {
      const std::uint64_t mask =
          std::uint64_t{V::equal_mask(V::load(p + i), target)} |
          std::uint64_t{V::equal_mask(V::load(p + i + V::LANES), target)} << V::LANES |
          std::uint64_t{V::equal_mask(V::load(p + i + 2 * V::LANES), target)} << 2 * V::LANES |
          std::uint64_t{V::equal_mask(V::load(p + i + 3 * V::LANES), target)} << 3 * V::LANES;
      if (mask != 0) return i + static_cast<std::size_t>(std::countr_zero(mask));
    }
  }

  // The largest non-NaN value of p[0, len), minus infinity if there is none: four accumulators
  // that a NaN lane leaves unchanged, then the scalar rule for the tail.
  static float largest_number(const float* p, std::size_t len) noexcept {
    const Vec minus_inf = V::splat(-std::numeric_limits<float>::infinity());
    Vec acc[4] = {minus_inf, minus_inf, minus_inf, minus_inf};
    std::size_t i = 0;
    for (; i + 4 * V::LANES <= len; i += 4 * V::LANES) {
      for (std::size_t k = 0; k < 4; ++k) acc[k] = V::max(V::load(p + i + k * V::LANES), acc[k]);
    }
    float best = V::largest_lane(V::max(V::max(acc[0], acc[1]), V::max(acc[2], acc[3])));
    for (; i < len; ++i) {
      if (p[i] > best) best = p[i];
    }
    return best;
  }

  static std::uint64_t first_argmax(const float* values, std::size_t count) noexcept {
    float best = -std::numeric_limits<float>::infinity();
    std::uint64_t best_position = 0;
    for (std::size_t start = 0; start < count; start += BLOCK) {
      const std::size_t len = count - start < BLOCK ? count - start : BLOCK;
      const float* const block = values + start;
      const std::size_t vector_len = len - len % STEP;
      if (vector_len != 0) {
        Vec prefix[PARTS];
        lane_maxima(block, vector_len, prefix);
        // Only a strictly larger maximum moves the result: an equal one was seen earlier. The
        // block's maximum is a value of the block, first reached in the first part whose prefix
        // maxima hold it; first_equal finds it from the start of that part.
        if (V::greater_mask(prefix[PARTS - 1], V::splat(best)) != 0) {
          best = V::largest_lane(prefix[PARTS - 1]);
          const Vec target = V::splat(best);
          std::size_t q = 0;
          while (V::equal_mask(prefix[q], target) == 0) ++q;
          const std::size_t from = q * (vector_len / STEP / PARTS) * STEP;
          best_position = start + from + first_equal(block + from, best);
        }
      }
      for (std::size_t i = vector_len; i < len; ++i) {
        if (block[i] > best) {
          best = block[i];
          best_position = start + i;
        }
      }
    }
    return best_position;
  }

  static std::uint64_t first_argmax_of(std::span<const float> values) noexcept {
    return first_argmax(values.data(), values.size());
  }
  static float largest_number_of(std::span<const float> values) noexcept {
    return largest_number(values.data(), values.size());
  }
  static constexpr ArgmaxPaths PATHS = {first_argmax_of, largest_number_of};
};

}  // namespace
}  // namespace qelt
