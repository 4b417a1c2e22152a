// The prepared form of one gate: owned copies of its bit positions and matrix elements, made
// while the interpreter lock is held and read, never written, by the kernels.
// Plain data; any thread may read it once built.
#pragma once

#include <cstdint>
#include <vector>

namespace qelt {

// One complex64 value: real part first, then imaginary part, 8 bytes.
struct Amplitude {
  float re;
  float im;
};
static_assert(sizeof(Amplitude) == 8);

struct PreparedGate {
  std::vector<std::uint64_t> bits;  // 1 or 2 distinct positions below n, in the caller's order
  std::vector<Amplitude> matrix;    // d*d elements, or rows*d*d when per_row; row-major
  bool per_row = false;
};

}  // namespace qelt
