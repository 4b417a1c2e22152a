// Parking a thread for good: for a thread that must never return into its caller's frames while
// the process exits. Any thread; never returns, never fails.
#pragma once

namespace qelt::os {

// Blocks the calling thread until the process ends, without using the processor.
[[noreturn]] void park_forever() noexcept;

}  // namespace qelt::os
