// Standard error on Linux: write(2) on descriptor 2 until the text is out.
#include "os/standard_error.h"

#include <unistd.h>

#include <cstddef>

namespace qelt::os {

void write_standard_error(std::string_view text) noexcept {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace qelt::os
