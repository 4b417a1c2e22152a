// The standard-error report of internal failures and the process abort.
#include "runtime/panic.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace qelt {
namespace {

// Writes the whole text with write(2): no stdio locks, usable on any thread and in any state.
void write_stderr(std::string_view text) noexcept {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace

void report_panic(std::string_view message, const std::source_location& where) noexcept {
  try {
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
      std::string("<unnamed>").copy(name, sizeof name - 1);
    }
    std::string report = "thread '";
    report += name;
    report += "' panicked at ";
    report += where.file_name();
    report += ':';
    report += std::to_string(where.line());
    report += ':';
    report += std::to_string(where.column());
    report += ":\n";
    report += message;
    report += '\n';
    write_stderr(report);
  } catch (...) {
    write_stderr("internal failure (report could not be formatted)\n");
  }
}

void panic(std::string message, const std::source_location& where) {
  report_panic(message, where);
  throw Panic(std::move(message));
}

void fatal_abort(std::string_view message, const std::source_location& where) noexcept {
  report_panic(message, where);
  std::abort();
}

void abort_with_text(std::string_view text) noexcept {
  write_stderr(text);
  std::abort();
}

}  // namespace qelt
