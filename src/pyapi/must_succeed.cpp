// Interpreter calls that must not fail.
#include "pyapi/must_succeed.h"

#include "runtime/panic.h"

namespace qelt {

void python_api_failed() {
  PyErr_Print();
  panic("Python API call failed");
}

PyRef must_succeed(PyObject* object) {
  if (object == nullptr) python_api_failed();
  return PyRef::steal(object);
}

}  // namespace qelt
