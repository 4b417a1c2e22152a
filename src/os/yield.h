// Giving the processor to another runnable thread. Any thread; never fails.
#pragma once

namespace qelt::os {

// Lets the scheduler run another thread; returns at once when none is waiting.
void yield_processor() noexcept;

}  // namespace qelt::os
