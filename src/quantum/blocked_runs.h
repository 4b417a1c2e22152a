// Cache-blocked runs of gates: consecutive gates that together touch few enough bit positions
// are applied block by block, every gate of the run to one cache-sized block before the next
// block starts, so that the row is read from memory once per run instead of once per gate.
// Any thread; blocks are disjoint, so different threads may work on different blocks at once.
// Never fails.
//
// A block is the set of amplitudes that agree on every bit position except the low ones
// 0 .. low_bits-1 and the high positions listed in `high`. It is stored as 2^high_count chunks
// of 2^low_bits consecutive amplitudes. Every gate of the run acts on positions inside the block,
// so it only mixes amplitudes of one block; applying the run block by block therefore gives
// each amplitude group the same gates in the same order with the same arithmetic as applying
// gate after gate over the whole row, and the results are bit-identical.
#pragma once

#include <cstddef>
#include <span>

#include "quantum/kernel_variants.h"
#include "quantum/prepared_gate.h"

namespace qelt {

// A block holds at most 2^15 amplitudes (256 KiB): it stays in the per-core L2 cache while
// every gate of a run passes over it.
inline constexpr unsigned BLOCK_BITS = 15;
// Chunks hold at least 2^11 consecutive amplitudes (16 KiB): every chunk is a kernel call that
// first sets up the gate's coefficient registers, and shorter chunks do not pay that back,
// even though they let a run take in more high positions. A block too small for such chunks
// and two positions above them (an in-row block when there are many workers) lowers the floor
// to block_bits - 2, so that every single gate still fits.
inline constexpr unsigned MIN_CHUNK_BITS = 11;

struct BlockShape {
  unsigned low_bits = 0;     // chunk length 2^low_bits
  unsigned high_count = 0;   // number of high positions
  unsigned high[BLOCK_BITS];  // ascending, each >= low_bits
};

// The gate's 4 or 16 matrix elements for row `row` (its only matrix when it is shared).
inline const Amplitude* matrix_for_row(const PreparedGate& gate, std::size_t row) noexcept {
  const std::size_t size = gate.bits.size() == 1 ? 4 : 16;
  return gate.matrix.data() + (gate.per_row ? row * size : 0);
}

// The largest run of gates from gates[first] on that fits blocks of at most 2^block_bits
// amplitudes of a row of 2^n, and the block shape for it. With block_bits >= 2 every single
// gate fits, so the run holds at least gates[first].
std::size_t plan_blocked_run(std::span<const PreparedGate> gates, std::size_t first,
                             unsigned block_bits, unsigned n, BlockShape& shape) noexcept;

// Number of blocks in a row of 2^n amplitudes.
std::size_t block_count(const BlockShape& shape, unsigned n) noexcept;

// How the last gate of a run stores: as the arithmetic gives, or (the last run of a call) with
// its NaNs made canonical (GateKernels::canonical).
enum class LastGateStores { PLAIN, CANONICAL_NANS };

// Applies every gate of `run`, in order, to blocks first .. last-1 of `row`, one block at a
// time, with row `matrix_row`'s matrices.
void apply_run_to_blocks(const GateKernels& kernels, Amplitude* row, const BlockShape& shape,
                         std::size_t first, std::size_t last, std::span<const PreparedGate> run,
                         std::size_t matrix_row, LastGateStores last_gate) noexcept;

}  // namespace qelt
