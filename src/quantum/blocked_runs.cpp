// Planning and applying cache-blocked runs of gates (see blocked_runs.h).
#include "quantum/blocked_runs.h"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "quantum/scalar_steps.h"

namespace qelt {
namespace {

std::uint64_t bit_mask(const PreparedGate& gate) noexcept {
  std::uint64_t mask = 0;
  for (std::uint64_t b : gate.bits) mask |= std::uint64_t{1} << b;
  return mask;
}

// The shape with the longest chunks whose block of positions covers `mask` within
// 2^block_bits amplitudes: chunk bits c and the k positions of `mask` at or above c, with
// c + k <= block_bits. Since c + k(c) never decreases as c grows, the feasible c form a range
// and the first one found from the top is the best.
bool shape_for(std::uint64_t mask, unsigned block_bits, unsigned n, BlockShape& shape) noexcept {
  const unsigned top = std::min(block_bits, n);
  const unsigned floor = std::min(MIN_CHUNK_BITS, block_bits < 2 ? 0 : block_bits - 2);
  const unsigned bottom = std::min(floor, top);
  for (unsigned c = top;; --c) {
    const std::uint64_t high = mask >> c << c;  // c <= n <= 63
    const unsigned k = static_cast<unsigned>(std::popcount(high));
    if (c + k <= block_bits) {
      shape.low_bits = c;
      shape.high_count = 0;
      for (std::uint64_t rest = high; rest != 0; rest &= rest - 1) {
        shape.high[shape.high_count++] = static_cast<unsigned>(std::countr_zero(rest));
      }
      return true;
    }
    if (c == bottom) return false;
  }
}

// Offset of chunk s within a block: bit j of s sets high position high[j].
std::size_t chunk_offset(const BlockShape& shape, std::size_t s) noexcept {
  std::size_t offset = 0;
  for (unsigned j = 0; j < shape.high_count; ++j) {
    if ((s >> j) & 1) offset |= std::size_t{1} << shape.high[j];
  }
  return offset;
}

// One gate on one block starting at `base`: on each chunk whose offset has the gate's high
// positions clear, the gate's pairs or quadruples that start in that chunk.
void apply_gate_to_block(const GateEntryPoints& kernels, Amplitude* row, std::size_t base,
                         const BlockShape& shape, const PreparedGate& gate,
                         const Amplitude* matrix) noexcept {
  const unsigned c = shape.low_bits;
  const std::size_t chunk = std::size_t{1} << c;
  const std::size_t gate_mask = bit_mask(gate);
  const std::size_t chunks = std::size_t{1} << shape.high_count;
  if (gate.bits.size() == 1) {
    const unsigned b = static_cast<unsigned>(gate.bits[0]);
    for (std::size_t s = 0; s < chunks; ++s) {
      const std::size_t start = base + chunk_offset(shape, s);
      if (start & gate_mask) continue;
      if (b < c) {
        kernels.one_qubit(row + start, chunk, matrix, b);
      } else {
        kernels.one_qubit_pairs(row + start, row + start + (std::size_t{1} << b), chunk, matrix);
      }
    }
    return;
  }
  const unsigned b0 = static_cast<unsigned>(gate.bits[0]);
  const unsigned b1 = static_cast<unsigned>(gate.bits[1]);
  const OrderedBits order(b0, b1);
  // Quadruples whose lowest member lies in a chunk: one per 4, 2 or 1 of its amplitudes as
  // two, one or none of the gate's positions lie inside the chunk.
  const std::size_t quads = chunk >> ((order.lo < c) + (order.hi < c));
  for (std::size_t s = 0; s < chunks; ++s) {
    const std::size_t start = base + chunk_offset(shape, s);
    if (start & gate_mask) continue;
    // start has both gate positions clear, so removing them gives its quadruple number; the
    // chunk's quadruples follow it consecutively.
    const std::size_t first = order.quadruple_of(start);
    kernels.two_qubit(row, first, first + quads, matrix, b0, b1);
  }
}

}  // namespace

std::size_t plan_blocked_run(std::span<const PreparedGate> gates, std::size_t first,
                             unsigned block_bits, unsigned n, BlockShape& shape) noexcept {
  std::uint64_t mask = 0;
  std::size_t end = first;
  BlockShape candidate;
  while (end < gates.size() && shape_for(mask | bit_mask(gates[end]), block_bits, n, candidate)) {
    mask |= bit_mask(gates[end]);
    shape = candidate;
    ++end;
  }
  return end;
}

std::size_t block_count(const BlockShape& shape, unsigned n) noexcept {
  return std::size_t{1} << (n - shape.low_bits - shape.high_count);
}

void apply_run_to_blocks(const GateKernels& kernels, Amplitude* row, const BlockShape& shape,
                         std::size_t first, std::size_t last, std::span<const PreparedGate> run,
                         std::size_t matrix_row, LastGateStores last_gate) noexcept {
  const GateEntryPoints& last_kernels =
      last_gate == LastGateStores::CANONICAL_NANS ? kernels.canonical : kernels.plain;
  for (std::size_t q = first; q < last; ++q) {
    // Block q: its number spread over the positions outside the block, low to high.
    std::size_t base = q << shape.low_bits;
    for (unsigned j = 0; j < shape.high_count; ++j) base = insert_zero_bit(base, shape.high[j]);
    for (std::size_t g = 0; g < run.size(); ++g) {
      apply_gate_to_block(g + 1 == run.size() ? last_kernels : kernels.plain, row, base, shape,
                          run[g], matrix_for_row(run[g], matrix_row));
    }
  }
}

}  // namespace qelt
