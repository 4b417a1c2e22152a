// The gate driver: chooses the row-parallel, serial or in-row parallel route and applies the
// prepared gates with the given kernel variant and threading policy. On rows longer than a cache
// block, runs of gates that fit one block are applied block by block (blocked_runs.h). On one
// thread a gate that starts no run of two is applied on its own over the whole row; the in-row
// route spreads the blocks of every run over the workers within one fork-join. Every gate writes
// every amplitude it covers, so on every route the last gate over each amplitude stores it with
// canonical NaNs (GateKernels::canonical), at no extra pass: a NaN result has the same bytes on
// every processor, and as a NaN stays a NaN through every later gate, canonical stores in the
// last gate alone leave none of another form.
#include "quantum/gate_driver.h"

#include <algorithm>
#include <bit>
#include <vector>

#include "pool/claimed_shares.h"
#include "quantum/blocked_runs.h"

namespace qelt {
namespace {

constexpr unsigned IN_ROW_MIN_BLOCK_BITS = 10;
// Rows shorter than this go through the gates a tile of rows of about this many amplitudes
// (32 KiB) at a time, which stays in the first-level cache while every gate passes over it.
constexpr std::size_t TILE_AMPLITUDES = 4096;

void apply_gate(const GateEntryPoints& kernels, Amplitude* run, std::size_t len,
                const Amplitude* matrix, std::span<const std::uint64_t> bits) noexcept {
  if (bits.size() == 1) {
    kernels.one_qubit(run, len, matrix, static_cast<unsigned>(bits[0]));
  } else {
    kernels.two_qubit(run, 0, len / 4, matrix, static_cast<unsigned>(bits[0]),
                      static_cast<unsigned>(bits[1]));
  }
}

// The entry points for gate g of `count`: every gate writes every amplitude of its run, so the
// last one stores them with canonical NaNs.
const GateEntryPoints& kernels_for_gate(const GateKernels& kernels, std::size_t g,
                                        std::size_t count) noexcept {
  return g + 1 == count ? kernels.canonical : kernels.plain;
}

// Every gate, in list order, to one row on the calling thread, with row `matrix_row`'s matrix.
void apply_gates_to_one_row(const GateKernels& kernels, Amplitude* row, std::size_t dim,
                            std::span<const PreparedGate> gates, std::size_t matrix_row) noexcept {
  const unsigned n = static_cast<unsigned>(std::countr_zero(dim));
  if (n <= BLOCK_BITS) {
    for (std::size_t g = 0; g < gates.size(); ++g) {
      apply_gate(kernels_for_gate(kernels, g, gates.size()), row, dim,
                 matrix_for_row(gates[g], matrix_row), gates[g].bits);
    }
    return;
  }
  std::size_t g = 0;
  while (g < gates.size()) {
    BlockShape shape;
    const std::size_t end = plan_blocked_run(gates, g, BLOCK_BITS, n, shape);
    if (end - g < 2) {
      apply_gate(kernels_for_gate(kernels, g, gates.size()), row, dim,
                 matrix_for_row(gates[g], matrix_row), gates[g].bits);
      ++g;
      continue;
    }
    apply_run_to_blocks(kernels, row, shape, 0, block_count(shape, n), gates.subspan(g, end - g),
                        matrix_row,
                        end == gates.size() ? LastGateStores::CANONICAL_NANS : LastGateStores::PLAIN);
    g = end;
  }
}

struct PlannedRun {
  BlockShape shape;
  std::size_t first_gate = 0;
  std::size_t gate_count = 0;
  std::size_t blocks = 0;
};

// One long row, its work spread over the workers with one fork-join for the whole gate list.
// The list is cut into blocked runs, the phases of a ClaimedShares schedule (pool/claimed_shares.h)
// whose items are a run's blocks: its barrier between runs is the barrier between gates, so no
// amplitude is touched by a run before every earlier run has finished with it, and the result is
// the gate-by-gate one bit for bit. The shares keep a worker on the same part of the row from run
// to run, so that part stays in its cache. One block per share: fewer, larger blocks cover more
// bit positions, so the list falls into fewer runs, and the claiming still lets a fast worker
// take a slow one's block. Blocks hold at most 2^BLOCK_BITS amplitudes, and at least
// 2^IN_ROW_MIN_BLOCK_BITS (or the row), so that a block's work outweighs claiming it. With one
// worker this is the serial route.
void apply_gates_in_row(const Parallelism& parallelism, const GateKernels& kernels, Amplitude* row,
                        std::size_t dim, std::span<const PreparedGate> gates) {
  const std::size_t workers = parallelism.workers();
  if (workers <= 1) return apply_gates_to_one_row(kernels, row, dim, gates, 0);
  const unsigned n = static_cast<unsigned>(std::countr_zero(dim));
  const unsigned piece_bits = static_cast<unsigned>(std::bit_width(workers - 1));
  const unsigned block_bits = std::max(std::min(BLOCK_BITS, n - std::min(piece_bits, n)),
                                       std::min(IN_ROW_MIN_BLOCK_BITS, n));
  std::vector<PlannedRun> runs;
  for (std::size_t g = 0; g < gates.size();) {
    PlannedRun run;
    const std::size_t end = plan_blocked_run(gates, g, block_bits, n, run.shape);
    run.first_gate = g;
    run.gate_count = end - g;
    run.blocks = block_count(run.shape, n);
    runs.push_back(run);
    g = end;
  }
  ClaimedShares schedule(workers, runs.size());
  parallelism.split(workers, 1, [&](std::size_t piece, std::size_t) {
    for (std::size_t r = 0; r < runs.size(); ++r) {
      const PlannedRun& run = runs[r];
      const std::span<const PreparedGate> run_gates = gates.subspan(run.first_gate, run.gate_count);
      const LastGateStores last_gate =
          r + 1 == runs.size() ? LastGateStores::CANONICAL_NANS : LastGateStores::PLAIN;
      schedule.run_phase(r, piece, run.blocks, [&](std::size_t block) noexcept {
        apply_run_to_blocks(kernels, row, run.shape, block, block + 1, run_gates, 0, last_gate);
      });
    }
  });
}

// Every gate, in list order, to rows first .. last-1 of a batch of short rows, a tile of
// consecutive rows at a time: a gate with a shared matrix is one kernel call over the whole
// tile (the rows lie back to back, and a gate on positions below n acts on each row of a run
// of rows as on that row alone), a gate with per-row matrices one call per row. Each row still
// meets the gates in list order with the same arithmetic; the tile only spares the per-call
// cost (the kernel's set-up of its coefficient registers) on rows too short to pay it back.
void apply_gates_to_short_rows(const GateKernels& kernels, Amplitude* psi, std::size_t dim,
                               std::span<const PreparedGate> gates, std::size_t first,
                               std::size_t last) noexcept {
  const std::size_t tile = std::max<std::size_t>(TILE_AMPLITUDES / dim, 1);
  for (std::size_t r0 = first; r0 < last; r0 += tile) {
    const std::size_t r1 = std::min(r0 + tile, last);
    for (std::size_t g = 0; g < gates.size(); ++g) {
      const PreparedGate& gate = gates[g];
      const GateEntryPoints& entry = kernels_for_gate(kernels, g, gates.size());
      if (!gate.per_row) {
        apply_gate(entry, psi + r0 * dim, (r1 - r0) * dim, gate.matrix.data(), gate.bits);
        continue;
      }
      for (std::size_t r = r0; r < r1; ++r) {
        apply_gate(entry, psi + r * dim, dim, matrix_for_row(gate, r), gate.bits);
      }
    }
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
      if (dim < TILE_AMPLITUDES)
        return apply_gates_to_short_rows(kernels, psi, dim, gates, first, last);
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
