// The x86-64 instruction-set extensions this process may use: the processor has them and the
// operating system saves their registers. The kernel dispatch asks here rather than the
// compiler's __builtin_cpu_supports, which some toolchains' runtimes (zig's) leave unfilled.
// x86-64 only; any thread; never fails.
#pragma once

namespace qelt {

bool cpu_has_avx2() noexcept;
bool cpu_has_avx512f() noexcept;

}  // namespace qelt
