// NumPy's native interface, located at run time: the array module, the API table from its
// capsule, the feature version, and the raw fields of array objects and their descriptors.
// Interpreter threads holding the interpreter lock. Locating NumPy may panic; acceptance
// returns a pending error.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "pyapi/owned_ref.h"
#include "pyapi/pending_error.h"

namespace qelt {

inline constexpr int NPY_FLOAT = 11;                   // type number of float32
inline constexpr int NPY_CFLOAT = 14;                  // type number of complex64
inline constexpr int NPY_ARRAY_C_CONTIGUOUS = 0x0001;  // flag bit: C-contiguous layout
inline constexpr int NPY_ARRAY_WRITEABLE = 0x0400;     // flag bit: writeable memory
inline constexpr int ANY_RANK = -1;

// The public fields at the head of every NumPy array object.
struct NumpyArrayFields {
  Py_ssize_t ob_refcnt;
  PyTypeObject* ob_type;
  char* data;
  int nd;
  Py_ssize_t* dimensions;
  Py_ssize_t* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

inline const NumpyArrayFields& array_fields(PyObject* array) noexcept {
  return *reinterpret_cast<const NumpyArrayFields*>(array);
}

// "numpy._core.multiarray" under NumPy 2, "numpy.core.multiarray" under NumPy 1 (cached).
const std::string& array_module_name();
// The API table (cached). Panics with "Failed to access NumPy array API capsule: ...".
void** numpy_api();
// The array type object.
PyTypeObject* array_type();
// True when `object` is an instance of the array type or of a subtype.
bool is_array(PyObject* object);
// Element size in bytes, read from the descriptor under the layout of the running NumPy.
std::int64_t element_size(PyObject* array);

// The array itself when it is an array of element type `type_num` and rank `rank` (or any rank
// for ANY_RANK); otherwise the conversion failure with target "PyArray<T, D>".
std::expected<PyObject*, PendingError> accept_array(PyObject* object, int type_num, int rank);

// "<type qualname>: <str(value)>" of the pending exception, which is cleared.
std::string describe_pending_exception();

}  // namespace qelt
