// Binding of fast-call arguments to a function's parameters, and the conversions of scalar
// arguments, with the fixed messages of binding failures and the wrapping of type errors with
// the parameter's name.
// Interpreter threads holding the interpreter lock. Returns pending errors.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

#include "pyapi/pending_error.h"

namespace qelt {

struct ParameterTable {
  const char* function_name;
  std::span<const char* const> names;  // every parameter, positional or keyword
  std::size_t required;                // the first `required` names have no default
};

// Fills `slots` (one per parameter, null when not given) from the positional arguments and the
// keyword names; binding takes no references.
std::expected<void, PendingError> bind_arguments(const ParameterTable& table, PyObject* const* args,
                                                 Py_ssize_t nargs, PyObject* kwnames,
                                                 std::span<PyObject*> slots);

// A conversion failure of type exactly TypeError becomes TypeError "argument '<name>': <msg>";
// every other failure passes unchanged.
PendingError wrap_argument_error(std::string_view parameter, PendingError error);

// float, int, bool, or anything with __float__ / __index__, narrowed to single precision.
std::expected<float, PendingError> convert_float(PyObject* value);
// int (subclasses included) or anything with __index__, from 0 to 2^64 - 1.
std::expected<std::uint64_t, PendingError> convert_u64(PyObject* value);

// Runs `convert` on `value` and attributes a type error to `parameter`.
template <class Convert>
auto convert_argument(std::string_view parameter, PyObject* value, Convert&& convert)
    -> decltype(convert(value)) {
  auto result = convert(value);
  if (!result) return std::unexpected(wrap_argument_error(parameter, std::move(result.error())));
  return result;
}

}  // namespace qelt
