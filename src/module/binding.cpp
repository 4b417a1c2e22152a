// Argument binding and scalar conversions.
#include "module/binding.h"

#include <limits>
#include <string>

#include "module/error_of.h"

namespace qelt {
namespace {

std::string display_name(const ParameterTable& table) {
  return std::string(table.function_name) + "()";
}

PendingError type_error(std::string message) {
  return PendingError::with_message(PyExc_TypeError, std::move(message));
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(std::span<const char* const> names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out += " and ";
      } else {
        out += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

}  // namespace

std::expected<void, PendingError> bind_arguments(const ParameterTable& table,
                                                 PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames, std::span<PyObject*> slots) {
  const std::size_t count = table.names.size();
  const auto given = static_cast<std::size_t>(nargs);
  if (given > count) {
    const char* verb = given == 1 ? "was" : "were";
    if (table.required == count) {
      return std::unexpected(type_error(display_name(table) + " takes " + std::to_string(count) +
                                        " positional arguments but " + std::to_string(given) +
                                        " " + verb + " given"));
    }
    return std::unexpected(type_error(display_name(table) + " takes from " +
                                      std::to_string(table.required) + " to " +
                                      std::to_string(count) + " positional arguments but " +
                                      std::to_string(given) + " " + verb + " given"));
  }
  for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];

  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* name = PyTuple_GetItem(kwnames, k);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    std::size_t match = count;
    if (utf8 == nullptr) {
      PyErr_Clear();  // a name that UTF-8 cannot hold matches no parameter
    } else {
      const std::string_view text(utf8, static_cast<std::size_t>(size));
      for (std::size_t i = 0; i < count; ++i) {
        if (text == table.names[i]) {
          match = i;
          break;
        }
      }
    }
    if (match == count) {
      std::string shown = str_of(name).value_or("<unprintable>");
      return std::unexpected(type_error(display_name(table) +
                                        " got an unexpected keyword argument '" + shown + "'"));
    }
    if (slots[match] != nullptr) {
      return std::unexpected(type_error(display_name(table) +
                                        " got multiple values for argument '" +
                                        table.names[match] + "'"));
    }
    slots[match] = args[given + static_cast<std::size_t>(k)];
  }

  if (given < table.required) {
    const char* missing[8];
    std::size_t missing_count = 0;
    for (std::size_t i = 0; i < table.required; ++i) {
      if (slots[i] == nullptr) missing[missing_count++] = table.names[i];
    }
    if (missing_count > 0) {
      return std::unexpected(type_error(
          display_name(table) + " missing " + std::to_string(missing_count) +
          " required positional " + (missing_count == 1 ? "argument" : "arguments") + ": " +
          quoted_list(std::span<const char* const>(missing, missing_count))));
    }
  }
  return {};
}

PendingError wrap_argument_error(std::string_view parameter, PendingError error) {
  if (!error.is_exactly_type_error()) return error;
  std::string message = "argument '" + std::string(parameter) + "': " + error.text();
  PyRef cause = error.cause();
  PyRef text = make_str(message);
  PyErr_SetObject(PyExc_TypeError, text.get());
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  // Setting the cause, even to none, also suppresses the context: the inner error is dropped.
  PyException_SetCause(value, cause.release());
  return PendingError::fetched(PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback));
}

std::expected<float, PendingError> convert_float(PyObject* value) {
  const double d = PyFloat_AsDouble(value);
  if (d == -1.0) {
    if (std::optional<PendingError> error = take_error()) return error_of(error);
  }
  return static_cast<float>(d);
}

std::expected<std::uint64_t, PendingError> convert_u64(PyObject* value) {
  unsigned long long v = 0;
  if (PyType_IsSubtype(Py_TYPE(value), &PyLong_Type)) {
    v = PyLong_AsUnsignedLongLong(value);
  } else {
    PyRef index = PyRef::steal(PyNumber_Index(value));
    if (!index) return std::unexpected(fetch_error());
    v = PyLong_AsUnsignedLongLong(index.get());
  }
  if (v == std::numeric_limits<unsigned long long>::max()) {
    if (std::optional<PendingError> error = take_error()) return error_of(error);
  }
  return static_cast<std::uint64_t>(v);
}

}  // namespace qelt
