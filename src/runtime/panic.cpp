// The standard-error report of internal failures and the process abort.
#include "runtime/panic.h"

#include <cstdlib>
#include <optional>
#include <string>

#include "os/standard_error.h"
#include "os/thread_label.h"

namespace qelt {
namespace {

// "main" for the process's first thread; otherwise the thread's own name, or "<unnamed>" for a
// thread that has none.
std::string thread_label() {
  if (os::is_main_thread()) return "main";
  std::optional<std::string> name = os::own_thread_name();
  return name ? *std::move(name) : "<unnamed>";
}

}  // namespace

void report_panic(std::string_view message, const std::source_location& where) noexcept {
  try {
    std::string report = "thread '";
    report += thread_label();
    report += "' panicked at ";
    report += where.file_name();
    report += ':';
    report += std::to_string(where.line());
    report += ':';
    report += std::to_string(where.column());
    report += ":\n";
    report += message;
    report += '\n';
    os::write_standard_error(report);
  } catch (...) {
    os::write_standard_error("internal failure (report could not be formatted)\n");
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
  os::write_standard_error(text);
  std::abort();
}

}  // namespace qelt
