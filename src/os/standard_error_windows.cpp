// Standard error on Windows: WriteFile on the process's standard-error handle until the text is
// out. A console, a pipe and a file take the same bytes.
#include "os/standard_error.h"

#include <windows.h>

#include <cstddef>

namespace qelt::os {

void write_standard_error(std::string_view text) noexcept {
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(handle, p, chunk, &written, nullptr) || written == 0) return;
    p += written;
    left -= written;
  }
}

}  // namespace qelt::os
