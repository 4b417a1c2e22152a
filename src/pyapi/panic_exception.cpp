// The internal-failure exception class and the resumption of a failure coming back from Python.
#include "pyapi/panic_exception.h"

#include <cstdio>
#include <string>

#include "pyapi/text.h"
#include "runtime/interface_strings.h"
#include "runtime/panic.h"

namespace qelt {
namespace {

constexpr const char* PANIC_DOC =
    "\nThe exception raised when compiled code of qelt_native, called from Python, fails "
    "internally.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Written once under the interpreter lock, then only read; the lock orders every access.
PyObject* g_panic_type = nullptr;

}  // namespace

PyObject* panic_exception_type() {
  if (g_panic_type == nullptr) {
    PyObject* type = PyErr_NewExceptionWithDoc(interface_strings::PANIC_EXCEPTION_NAME, PANIC_DOC,
                                               PyExc_BaseException, nullptr);
    if (type == nullptr) {
      PyErr_Print();
      panic("Failed to initialize new exception type.");
    }
    g_panic_type = type;
  }
  return g_panic_type;
}

bool is_panic_exception_class(PyObject* type) noexcept {
  return g_panic_type != nullptr && type == g_panic_type;
}

void resume_panic(PyObject* type, PyObject* value, PyObject* traceback) {
  std::string message = str_of(value).value_or("Unwrapped panic from Python code");
  std::fputs(
      "--- An internal failure is being resumed after fetching its exception from Python\n"
      "Python stack trace below:\n",
      stderr);
  std::fflush(stderr);
  PyErr_Restore(type, value, traceback);
  PyErr_PrintEx(0);
  panic(std::move(message));
}

}  // namespace qelt
