// The one- and two-qubit gate kernels and the driver that applies a prepared gate list to a
// batch of statevectors in place, on the serial, row-parallel or in-row parallel route.
// Called with the interpreter lock released; never touches Python. Never fails on inputs that
// passed the gate checks; a failure inside a parallel piece would be re-raised as a Panic.
#pragma once

#include <cstddef>
#include <span>

#include "quantum/kernel_variants.h"
#include "quantum/prepared_gate.h"

namespace qelt {

// On a batch of at most one row, rows of at least this many amplitudes are split over the pool.
inline constexpr std::size_t IN_ROW_PARALLEL_MIN_DIM = 32768;
// Minimum piece length, in pairs or quadruples, of the in-row parallel loops.
inline constexpr std::size_t IN_ROW_MIN_PIECE = 4096;

// Applies every gate, in list order, to every one of `rows` rows of `dim` amplitudes.
void apply_prepared_gates(Amplitude* psi, std::size_t rows, std::size_t dim,
                          std::span<const PreparedGate> gates);

// The same with a given kernel variant instead of the one chosen for this CPU; the tests use it
// to run every route with every variant. The variant must be one the CPU supports.
void apply_prepared_gates(Amplitude* psi, std::size_t rows, std::size_t dim,
                          std::span<const PreparedGate> gates, const GateKernels& kernels);

}  // namespace qelt
