// The standard-error report of internal failures and the process abort.
#include "runtime/panic.h"

#include <errno.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// "main" for the process's first thread; otherwise the thread's own name, or "<unnamed>" for a
// thread that never set one (Linux then reports the process's name, inherited at creation).
std::string thread_label() {
  // The system call rather than gettid(), which glibc only wraps from 2.30 on.
  if (::syscall(SYS_gettid) == ::getpid()) return "main";
  char name[64] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
    return "<unnamed>";
  }
  // Thread names hold at most 15 characters of the program's name.
  if (std::strncmp(name, program_invocation_short_name, 15) == 0) return "<unnamed>";
  return name;
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
