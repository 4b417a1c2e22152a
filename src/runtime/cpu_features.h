// The instruction sets the vector routines are built for, and the one question asked about the
// processor: can this process use one of them (the processor has it and the operating system
// saves its registers). Asked here rather than through the compiler's __builtin_cpu_supports,
// which some toolchains' runtimes (zig's) leave unfilled. Any thread; never fails.
#pragma once

namespace qelt {

// From the plainest to the widest; SCALAR is plain C++, every other one an extension of it.
enum class InstructionSet { SCALAR, SSE2, AVX2, AVX512F, NEON };

// Those this architecture has, plainest first.
#if defined(__x86_64__)
inline constexpr InstructionSet ALL_INSTRUCTION_SETS[] = {
    InstructionSet::SCALAR, InstructionSet::SSE2, InstructionSet::AVX2, InstructionSet::AVX512F};
#elif defined(__aarch64__)
inline constexpr InstructionSet ALL_INSTRUCTION_SETS[] = {InstructionSet::SCALAR,
                                                          InstructionSet::NEON};
#else
inline constexpr InstructionSet ALL_INSTRUCTION_SETS[] = {InstructionSet::SCALAR};
#endif

// The instruction set's name in lower case ("scalar", "sse2", "avx2", "avx512f", "neon").
const char* instruction_set_name(InstructionSet set) noexcept;

// Whether this process can run code built for `set` (SCALAR always). Read from the processor
// once, on first use.
bool cpu_supports(InstructionSet set) noexcept;

}  // namespace qelt
