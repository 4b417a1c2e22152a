// Writing to the process's standard error without the C or C++ streams.
// Any thread, in any state (also while failing or after fork); never fails: what cannot be
// written is dropped.
#pragma once

#include <string_view>

namespace qelt::os {

// Writes the whole text, taking no stdio lock.
void write_standard_error(std::string_view text) noexcept;

}  // namespace qelt::os
