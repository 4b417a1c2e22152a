// The system's error numbers as an I/O error report shows them: the system's message and the
// kind the number belongs to. Any thread; error_message may throw only for a failed allocation.
#pragma once

#include <string>

namespace qelt::os {

// The system's message for error number `code`, e.g. "Resource temporarily unavailable".
std::string error_message(int code);

// The name of the I/O error kind `code` belongs to ("WouldBlock", "PermissionDenied", ...), or
// "Uncategorized".
const char* error_kind_name(int code) noexcept;

}  // namespace qelt::os
