// Text conversions between Python str objects and UTF-8 strings.
// Interpreter threads holding the interpreter lock only. make_str may panic; str_of never fails.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "pyapi/owned_ref.h"

namespace qelt {

// Makes a str from UTF-8 text; fails as python_api_failed() when it cannot.
PyRef make_str(std::string_view text);
// The str() of any object as UTF-8, lone surrogates replaced by U+FFFD; nullopt when str()
// itself raised (the error is cleared).
std::optional<std::string> str_of(PyObject* object);

}  // namespace qelt
