// The gate driver: applies a prepared gate list to a batch of statevectors in place, on the
// row-parallel, serial or in-row parallel route, spreading work with the threading policy it is
// given. Called with the interpreter lock released; never touches Python. Never fails on inputs
// that passed the gate checks; a failure inside a parallel piece would be re-raised as a Panic.
#pragma once

#include <cstddef>
#include <span>

#include "quantum/kernel_variants.h"
#include "quantum/parallelism.h"
#include "quantum/prepared_gate.h"

namespace qelt {

// On a batch of at most one row, rows of at least this many amplitudes are split over workers.
inline constexpr std::size_t IN_ROW_PARALLEL_MIN_DIM = 32768;

// Applies every gate, in list order, to every one of `rows` rows of `dim` amplitudes, with the
// given kernel variant (one the CPU supports; by default the one chosen for this CPU).
void apply_prepared_gates(Amplitude* psi, std::size_t rows, std::size_t dim,
                          std::span<const PreparedGate> gates, const Parallelism& parallelism,
                          const GateKernels& kernels = active_gate_kernels());

}  // namespace qelt
