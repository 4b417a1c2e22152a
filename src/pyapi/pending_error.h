// PendingError: a Python exception that has not been raised yet, passed up as a value to the
// entry point, which raises it, and the helpers that take errors from the interpreter.
// Interpreter threads holding the interpreter lock only. Returns pending errors; take_error and
// fetch_error may panic (when they meet the module's own internal-failure exception).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "pyapi/owned_ref.h"
#include "pyapi/text.h"

namespace qelt {

class PendingError {
 public:
  // Deferred: the exception object is made only when the error is raised. `type` is a class
  // that lives for the whole process (a built-in exception class or the panic class).
  static PendingError with_message(PyObject* type, std::string message);
  // Deferred TypeError "'<qualname of type(object)>' object cannot be converted to '<target>'".
  static PendingError conversion(PyObject* object, const char* target);
  // Fetched: a normalised exception taken from the interpreter.
  static PendingError fetched(PyRef type, PyRef value, PyRef traceback);

  PendingError(PendingError&&) noexcept = default;
  PendingError& operator=(PendingError&&) noexcept = default;

  // True when the exception's type is exactly TypeError (a subclass does not count).
  bool is_exactly_type_error() const noexcept;
  // The str() of the exception, as UTF-8 (characters that UTF-8 cannot hold become U+FFFD).
  std::string text() const;
  // The exception's __cause__ (new reference), or null.
  PyRef cause() const;
  // Sets the interpreter's error indicator to this exception, as a finished exception object.
  void restore() &&;

 private:
  enum class Kind { message, conversion, fetched };
  PendingError() = default;

  Kind kind_ = Kind::message;
  PyObject* static_type_ = nullptr;  // message: process-lifetime class
  std::string message_;              // message
  PyRef object_type_;                // conversion: type of the offending object
  const char* target_ = nullptr;     // conversion
  PyRef type_, value_, traceback_;   // fetched
};

// After an interpreter call signalled failure: the pending exception, or a SystemError when
// none is pending.
PendingError fetch_error();
// Where an absent exception means success: the pending exception, if any.
std::optional<PendingError> take_error();

}  // namespace qelt
