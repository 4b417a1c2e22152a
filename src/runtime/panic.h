// Internal failures: the one exception type that carries them, the report written to standard
// error when one happens, and the fatal paths that end the process.
// Any thread. panic() throws Panic; fatal_abort() never returns; report_panic() never fails.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace qelt {

// The internal-failure exception. Caught only at an entry point and where the pool runs a job.
class Panic final : public std::exception {
 public:
  explicit Panic(std::string message) noexcept : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Writes "thread '<name>' panicked at <file>:<line>:<column>:\n<message>" to standard error.
void report_panic(std::string_view message, const std::source_location& where) noexcept;

// Reports the failure, then throws Panic carrying the message (without the location).
[[noreturn]] void panic(std::string message,
                        const std::source_location& where = std::source_location::current());

// Writes the report of a failure that cannot be carried anywhere, then aborts the process.
[[noreturn]] void fatal_abort(std::string_view message,
                              const std::source_location& where =
                                  std::source_location::current()) noexcept;

// Writes `text` to standard error as it stands, then aborts the process.
[[noreturn]] void abort_with_text(std::string_view text) noexcept;

}  // namespace qelt
