// The two walks over the ranked weights that decide the token, shared by the full sampling path
// and the nucleus shortcut: the nucleus cut (the running sum against a threshold) and the draw
// (a target brought down weight by weight). One source, so that both routes perform the same
// additions and subtractions in the same order. Any thread; never fails.
#pragma once

#include <cstddef>
#include <optional>

namespace qelt {

// Where the running sum of weight(0), weight(1), ... first reaches `threshold`, within `count`
// weights: the number kept, the running sum there, and the one before it.
struct NucleusCut {
  std::size_t kept = 0;  // 0: the sum never reached the threshold
  double running = 0.0;
  double before = 0.0;
};

template <class Weight>
NucleusCut cut_at(double threshold, std::size_t count, const Weight& weight) noexcept {
  NucleusCut cut;
  for (std::size_t i = 0; i < count; ++i) {
    cut.before = cut.running;
    cut.running += weight(i);
    if (cut.running >= threshold) {
      cut.kept = i + 1;
      return cut;
    }
  }
  return cut;
}

// The rank at which `target` minus weight(0), weight(1), ... first is zero or below, within
// `count` weights; nullopt if it never is (rounding, NaN).
template <class Weight>
std::optional<std::size_t> draw_rank(double target, std::size_t count,
                                     const Weight& weight) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    target -= weight(i);
    if (target <= 0.0) return i;
  }
  return std::nullopt;
}

}  // namespace qelt
