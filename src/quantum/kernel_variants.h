// The gate kernels in every instruction-set variant (plain scalar, SSE2, AVX2, AVX-512F, NEON)
// and the variant chosen once for this process (runtime/isa_dispatch.h).
// Any thread. Never fails; calling a variant the CPU cannot run is the caller's error.
#pragma once

#include <cstddef>

#include "quantum/prepared_gate.h"
#include "runtime/cpu_features.h"

namespace qelt {

// The entry points of one variant. Every variant computes, amplitude for amplitude, exactly the
// scalar sequence of products, differences and sums, so all of them give the same bits.
struct GateEntryPoints {
  // One-qubit gate on bit `bit` over every block of a run of `len` amplitudes (a multiple of
  // 2^(bit+1)): each pair (x, y) = (a[t+j], a[t+j+2^bit]) becomes (M00 x + M01 y, M10 x + M11 y).
  void (*one_qubit)(Amplitude* run, std::size_t len, const Amplitude* matrix,
                    unsigned bit) noexcept;
  // The same pair update on `count` pairs (x[j], y[j]); x and y do not overlap.
  void (*one_qubit_pairs)(Amplitude* x, Amplitude* y, std::size_t count,
                          const Amplitude* matrix) noexcept;
  // Two-qubit gate on bits [b0, b1] (b0 the high bit of the local index) over the quadruples
  // first .. last-1 of a run that holds every amplitude those quadruples address.
  void (*two_qubit)(Amplitude* run, std::size_t first, std::size_t last, const Amplitude* matrix,
                    unsigned b0, unsigned b1) noexcept;
};

struct GateKernels {
  InstructionSet instruction_set;
  // What the arithmetic gives, NaN as this processor makes it.
  GateEntryPoints plain;
  // The same, with every NaN stored as the canonical quiet NaN 0x7FC00000 (re and im alike) and
  // every other value unchanged: the driver applies the last gate over each amplitude with
  // these, so that a NaN result has the same bytes on every processor. (IEEE arithmetic leaves
  // a NaN's sign and payload to the processor; x86 makes inf - inf negative, ARM positive.)
  GateEntryPoints canonical;
};

// The entry points of one variant, whether or not this CPU can run them; the scalar ones for an
// instruction set this architecture has no variant for.
const GateKernels& gate_kernels(InstructionSet set) noexcept;

// The widest variant this CPU supports, chosen on first use and kept for the process.
const GateKernels& active_gate_kernels() noexcept;

// Per-variant tables, each defined in the file compiled for that instruction set.
const GateKernels& scalar_gate_kernels() noexcept;
const GateKernels& sse2_gate_kernels() noexcept;
const GateKernels& avx2_gate_kernels() noexcept;
const GateKernels& avx512_gate_kernels() noexcept;
const GateKernels& neon_gate_kernels() noexcept;

}  // namespace qelt
