// The gate driver: chooses the row-parallel, serial or in-row parallel route and applies the
// prepared gates with the given kernel variant and threading policy. On rows longer than a cache
// block, runs of two or more gates that fit one block are applied block by block (blocked_runs.h);
// a gate that starts no such run is applied on its own, over the whole row.
#include "quantum/gate_driver.h"

#include <algorithm>
#include <bit>

#include "quantum/blocked_runs.h"

namespace qelt {
namespace {

// On the in-row route a blocked run is cut into at least 2^3 blocks, so that it can be shared
// out.
constexpr unsigned IN_ROW_MIN_BLOCKS_LOG2 = 3;

void apply_gate(const GateKernels& kernels, Amplitude* run, std::size_t len,
                const Amplitude* matrix, std::span<const std::uint64_t> bits) noexcept {
  if (bits.size() == 1) {
    kernels.one_qubit(run, len, matrix, static_cast<unsigned>(bits[0]));
  } else {
    kernels.two_qubit(run, 0, len / 4, matrix, static_cast<unsigned>(bits[0]),
                      static_cast<unsigned>(bits[1]));
  }
}

// Every gate, in list order, to one row on the calling thread, with row `matrix_row`'s matrix.
void apply_gates_to_one_row(const GateKernels& kernels, Amplitude* row, std::size_t dim,
                            std::span<const PreparedGate> gates, std::size_t matrix_row) noexcept {
  const unsigned n = static_cast<unsigned>(std::countr_zero(dim));
  if (n <= BLOCK_BITS) {
    for (const PreparedGate& gate : gates) {
      apply_gate(kernels, row, dim, matrix_for_row(gate, matrix_row), gate.bits);
    }
    return;
  }
  std::size_t g = 0;
  while (g < gates.size()) {
    BlockShape shape;
    const std::size_t end = plan_blocked_run(gates, g, BLOCK_BITS, n, shape);
    if (end - g < 2) {
      apply_gate(kernels, row, dim, matrix_for_row(gates[g], matrix_row), gates[g].bits);
      ++g;
      continue;
    }
    apply_run_to_blocks(kernels, row, shape, 0, block_count(shape, n), gates.subspan(g, end - g),
                        matrix_row);
    g = end;
  }
}

// One gate over one long row, its loops spread over the pool.
void apply_gate_in_row(const Parallelism& parallelism, const GateKernels& kernels, Amplitude* row,
                       std::size_t dim, const PreparedGate& gate) {
  const Amplitude* matrix = matrix_for_row(gate, 0);
  if (gate.bits.size() == 2) {
    const unsigned b0 = static_cast<unsigned>(gate.bits[0]);
    const unsigned b1 = static_cast<unsigned>(gate.bits[1]);
    parallelism.split(dim / 4, IN_ROW_MIN_PIECE, [&](std::size_t first, std::size_t last) {
      kernels.two_qubit(row, first, last, matrix, b0, b1);
    });
    return;
  }
  const unsigned bit = static_cast<unsigned>(gate.bits[0]);
  const std::size_t half = std::size_t{1} << bit;
  parallelism.split(dim >> (bit + 1), 1, [&](std::size_t first, std::size_t last) {
    if (half < IN_ROW_MIN_PIECE) {
      kernels.one_qubit(row + first * 2 * half, (last - first) * 2 * half, matrix, bit);
      return;
    }
    for (std::size_t b = first; b < last; ++b) {
      Amplitude* const block = row + b * 2 * half;
      parallelism.split(half, IN_ROW_MIN_PIECE, [&](std::size_t j0, std::size_t j1) {
        kernels.one_qubit_pairs(block + j0, block + half + j0, j1 - j0, matrix);
      });
    }
  });
}

void apply_gates_in_row(const Parallelism& parallelism, const GateKernels& kernels, Amplitude* row,
                        std::size_t dim, std::span<const PreparedGate> gates) {
  const unsigned n = static_cast<unsigned>(std::countr_zero(dim));
  const unsigned block_bits = std::min(BLOCK_BITS, n - IN_ROW_MIN_BLOCKS_LOG2);
  std::size_t g = 0;
  while (g < gates.size()) {
    BlockShape shape;
    const std::size_t end = plan_blocked_run(gates, g, block_bits, n, shape);
    if (end - g < 2) {
      apply_gate_in_row(parallelism, kernels, row, dim, gates[g]);
      ++g;
      continue;
    }
    const std::span<const PreparedGate> run = gates.subspan(g, end - g);
    parallelism.split(block_count(shape, n), 1, [&](std::size_t first, std::size_t last) {
      apply_run_to_blocks(kernels, row, shape, first, last, run, 0);
    });
    g = end;
  }
}

}  // namespace

void apply_prepared_gates(Amplitude* psi, std::size_t rows, std::size_t dim,
                          std::span<const PreparedGate> gates, const Parallelism& parallelism,
                          const GateKernels& kernels) {
  if (rows >= 2) {
    // Rows are independent: each piece takes whole rows through every gate, no barrier between
    // gates.
    parallelism.split(rows, 1, [&](std::size_t first, std::size_t last) {
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
    apply_gates_in_row(parallelism, kernels, psi, dim, gates);
  }
}

}  // namespace qelt
