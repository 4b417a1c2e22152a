// What the fatal-error report says of the calling thread: whether it is the process's first
// thread, and the name it was given. Any thread; never fails.
#pragma once

#include <optional>
#include <string>

namespace qelt::os {

// True on the thread the process started with.
bool is_main_thread() noexcept;

// The name the calling thread was given; none when it has no name of its own (never set, empty,
// or the one it inherited from the process).
std::optional<std::string> own_thread_name();

}  // namespace qelt::os
