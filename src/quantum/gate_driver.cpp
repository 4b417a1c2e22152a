// The gate driver: chooses the row-parallel, serial or in-row parallel route and applies the
// prepared gates with the given kernel variant and threading policy. On rows longer than a cache
// block, runs of gates that fit one block are applied block by block (blocked_runs.h). On one
// thread a gate that starts no run of two is applied on its own over the whole row; on the
// in-row route every run, even of one gate, is one fork-join over its blocks.
#include "quantum/gate_driver.h"

#include <algorithm>
#include <bit>

#include "quantum/blocked_runs.h"

namespace qelt {
namespace {

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

// One long row, its work spread over the workers with one fork-join per blocked run. Blocks
// are sized so that there are at least twice as many as workers (a worker slowed down by
// something else leaves blocks to the others) and at most a cache block; every gate of a run
// goes through a block before the next block starts. Every single gate fits a block of
// 2^(MIN_CHUNK_BITS + 2), so no gate is ever applied on its own over the row. With one worker
// this is the serial route.
void apply_gates_in_row(const Parallelism& parallelism, const GateKernels& kernels, Amplitude* row,
                        std::size_t dim, std::span<const PreparedGate> gates) {
  const std::size_t workers = parallelism.workers();
  if (workers <= 1) return apply_gates_to_one_row(kernels, row, dim, gates, 0);
  const unsigned n = static_cast<unsigned>(std::countr_zero(dim));
  const unsigned piece_bits = static_cast<unsigned>(std::bit_width(2 * workers - 1));
  const unsigned block_bits =
      std::max(std::min(BLOCK_BITS, n - std::min(piece_bits, n)), std::min(MIN_CHUNK_BITS + 2, n));
  std::size_t g = 0;
  while (g < gates.size()) {
    BlockShape shape;
    const std::size_t end = plan_blocked_run(gates, g, block_bits, n, shape);
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
