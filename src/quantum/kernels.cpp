// The gate driver: chooses the row-parallel, serial or in-row parallel route and applies the
// prepared gates with the kernel variant chosen for this CPU.
//
// Cache blocking. Consecutive gates whose bit positions all lie below `block_bits` only mix
// amplitudes inside aligned blocks of 2^block_bits. Such a run of gates is applied block by
// block, every gate of the run to one block before the next block starts, so that a block is
// read from memory once per run instead of once per gate. Each amplitude group still sees the
// same gates in the same order with the same arithmetic, only the interleaving of independent
// groups changes, so the results are bit-identical to applying gate after gate. A gate on a
// higher bit ends the run and is applied on its own.
#include <algorithm>
#include <bit>

#include "pool/parallel_split.h"
#include "quantum/kernels.h"

namespace qelt {
namespace {

// 2^15 amplitudes (256 KiB) per block: a run of gates works on it from the per-core L2 cache.
constexpr unsigned BLOCK_BITS = 15;
// On the in-row route a blocked run is cut into at least 2^3 blocks, so that it can be shared
// out; its blocks are never smaller than 2^12 amplitudes (the row has at least 2^15).
constexpr unsigned IN_ROW_MIN_BLOCKS_LOG2 = 3;

const Amplitude* matrix_for_row(const PreparedGate& gate, std::size_t row) noexcept {
  const std::size_t size = gate.bits.size() == 1 ? 4 : 16;
  return gate.matrix.data() + (gate.per_row ? row * size : 0);
}

std::uint64_t top_bit(const PreparedGate& gate) noexcept {
  return gate.bits.size() == 1 ? gate.bits[0] : std::max(gate.bits[0], gate.bits[1]);
}

void apply_gate(const GateKernels& kernels, Amplitude* run, std::size_t len,
                const Amplitude* matrix, std::span<const std::uint64_t> bits) noexcept {
  if (bits.size() == 1) {
    kernels.one_qubit(run, len, matrix, static_cast<unsigned>(bits[0]));
  } else {
    kernels.two_qubit(run, 0, len / 4, matrix, static_cast<unsigned>(bits[0]),
                      static_cast<unsigned>(bits[1]));
  }
}

// The end of the run of gates from `first` on whose bits all lie below block_bits; equal to
// `first` when gates[first] has a higher bit.
std::size_t end_of_blocked_run(std::span<const PreparedGate> gates, std::size_t first,
                               unsigned block_bits) noexcept {
  std::size_t end = first;
  while (end < gates.size() && top_bit(gates[end]) < block_bits) ++end;
  return end;
}

// Applies the gates of a run to blocks first .. last-1 of 2^block_bits amplitudes, each block
// getting every gate before the next one starts.
void apply_run_to_blocks(const GateKernels& kernels, Amplitude* row, std::size_t first,
                         std::size_t last, unsigned block_bits,
                         std::span<const PreparedGate> run, std::size_t matrix_row) noexcept {
  const std::size_t block = std::size_t{1} << block_bits;
  for (std::size_t b = first; b < last; ++b) {
    for (const PreparedGate& gate : run) {
      apply_gate(kernels, row + b * block, block, matrix_for_row(gate, matrix_row), gate.bits);
    }
  }
}

// Every gate, in list order, to one row on the calling thread, with row `matrix_row`'s matrix.
void apply_gates_to_one_row(const GateKernels& kernels, Amplitude* row, std::size_t dim,
                            std::span<const PreparedGate> gates,
                            std::size_t matrix_row) noexcept {
  const unsigned n = static_cast<unsigned>(std::countr_zero(dim));
  if (n <= BLOCK_BITS) {
    for (const PreparedGate& gate : gates) {
      apply_gate(kernels, row, dim, matrix_for_row(gate, matrix_row), gate.bits);
    }
    return;
  }
  std::size_t g = 0;
  while (g < gates.size()) {
    const std::size_t end = end_of_blocked_run(gates, g, BLOCK_BITS);
    if (end == g) {
      apply_gate(kernels, row, dim, matrix_for_row(gates[g], matrix_row), gates[g].bits);
      ++g;
    } else {
      apply_run_to_blocks(kernels, row, 0, dim >> BLOCK_BITS, BLOCK_BITS, gates.subspan(g, end - g),
                          matrix_row);
      g = end;
    }
  }
}

// One gate over one long row, its loops spread over the pool.
void apply_gate_in_row(const GateKernels& kernels, Amplitude* row, std::size_t dim,
                       const PreparedGate& gate) {
  const Amplitude* matrix = matrix_for_row(gate, 0);
  if (gate.bits.size() == 2) {
    const unsigned b0 = static_cast<unsigned>(gate.bits[0]);
    const unsigned b1 = static_cast<unsigned>(gate.bits[1]);
    parallel_split(dim / 4, IN_ROW_MIN_PIECE, [&](std::size_t first, std::size_t last) {
      kernels.two_qubit(row, first, last, matrix, b0, b1);
    });
    return;
  }
  const unsigned bit = static_cast<unsigned>(gate.bits[0]);
  const std::size_t half = std::size_t{1} << bit;
  parallel_split(dim >> (bit + 1), 1, [&](std::size_t first, std::size_t last) {
    if (half < IN_ROW_MIN_PIECE) {
      kernels.one_qubit(row + first * 2 * half, (last - first) * 2 * half, matrix, bit);
      return;
    }
    for (std::size_t b = first; b < last; ++b) {
      Amplitude* const block = row + b * 2 * half;
      parallel_split(half, IN_ROW_MIN_PIECE, [&](std::size_t j0, std::size_t j1) {
        kernels.one_qubit_pairs(block + j0, block + half + j0, j1 - j0, matrix);
      });
    }
  });
}

void apply_gates_in_row(const GateKernels& kernels, Amplitude* row, std::size_t dim,
                        std::span<const PreparedGate> gates) {
  const unsigned n = static_cast<unsigned>(std::countr_zero(dim));
  const unsigned block_bits = std::min(BLOCK_BITS, n - IN_ROW_MIN_BLOCKS_LOG2);
  std::size_t g = 0;
  while (g < gates.size()) {
    const std::size_t end = end_of_blocked_run(gates, g, block_bits);
    if (end == g) {
      apply_gate_in_row(kernels, row, dim, gates[g]);
      ++g;
      continue;
    }
    const std::span<const PreparedGate> run = gates.subspan(g, end - g);
    parallel_split(dim >> block_bits, 1, [&](std::size_t first, std::size_t last) {
      apply_run_to_blocks(kernels, row, first, last, block_bits, run, 0);
    });
    g = end;
  }
}

}  // namespace

void apply_gate_to_row(Amplitude* run, std::size_t len, const Amplitude* matrix,
                       std::span<const std::uint64_t> bits) noexcept {
  apply_gate(active_gate_kernels(), run, len, matrix, bits);
}

void apply_prepared_gates(Amplitude* psi, std::size_t rows, std::size_t dim,
                          std::span<const PreparedGate> gates) {
  apply_prepared_gates(psi, rows, dim, gates, active_gate_kernels());
}

void apply_prepared_gates(Amplitude* psi, std::size_t rows, std::size_t dim,
                          std::span<const PreparedGate> gates, const GateKernels& kernels) {
  if (rows >= 2) {
    // Rows are independent: each piece takes whole rows through every gate, no barrier between
    // gates.
    parallel_split(rows, 1, [&](std::size_t first, std::size_t last) {
      for (std::size_t r = first; r < last; ++r) {
        apply_gates_to_one_row(kernels, psi + r * dim, dim, gates, r);
      }
    });
    return;
  }
  if (rows == 0 || gates.empty()) return;
  if (dim < IN_ROW_PARALLEL_MIN_DIM) {
    apply_gates_to_one_row(kernels, psi, dim, gates, 0);
  } else {
    apply_gates_in_row(kernels, psi, dim, gates);
  }
}

}  // namespace qelt
