// Locating NumPy and reading its API table.
#include "numpy_access/numpy_api.h"

#include <atomic>

#include "pyapi/must_succeed.h"
#include "runtime/interface_strings.h"
#include "runtime/panic.h"

namespace qelt {
namespace {

// Slots of NumPy's API table (an array of pointers published in the `_ARRAY_API` capsule); the
// numbering is part of NumPy's binary interface and is the same in NumPy 1.x and 2.x.
constexpr int ARRAY_TYPE_SLOT = 2;         // PyArray_Type, the array type object
constexpr int DESCR_FROM_TYPE_SLOT = 45;   // PyArray_DescrFromType(type number)
constexpr int EQUIV_TYPES_SLOT = 182;      // PyArray_EquivTypes(descr, descr)
constexpr int FEATURE_VERSION_SLOT = 211;  // PyArray_GetNDArrayCFeatureVersion()

// Byte offsets of `elsize` in a descriptor object: NumPy 2 descriptors (feature version 18 on)
// hold a 64-bit elsize after a 64-bit flags word, older ones a 32-bit elsize after the type
// number.
constexpr unsigned NUMPY2_FEATURE_VERSION = 0x12;
constexpr std::size_t ELSIZE_OFFSET_NUMPY2 = 40;  // std::int64_t
constexpr std::size_t ELSIZE_OFFSET_NUMPY1 = 32;  // std::int32_t

// Filled once under the interpreter lock and never changed; the lock orders all access.
std::string* g_array_module_name = nullptr;
void** g_api = nullptr;
unsigned g_feature_version = 0;

PyRef import_module(std::string_view name) {
  PyRef text = make_str(name);
  return PyRef::steal(PyImport_Import(text.get()));
}

PyRef get_attr(PyObject* object, std::string_view name) {
  PyRef key = make_str(name);
  return PyRef::steal(PyObject_GetAttr(object, key.get()));
}

[[noreturn]] void api_failure() {
  panic(std::string(interface_strings::NUMPY_API_FAILURE) + describe_pending_exception());
}

bool is_capsule(PyObject* object) {
  return PyType_IsSubtype(Py_TYPE(object), &PyCapsule_Type) != 0;
}

}  // namespace

std::string describe_pending_exception() {
  std::optional<PendingError> error = take_error();
  if (!error) return "no exception was set";
  PyRef type, value, traceback;
  // Render through a normalised exception object so the type's name is available.
  std::move(*error).restore();
  PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  type = PyRef::steal(t);
  value = PyRef::steal(v);
  traceback = PyRef::steal(tb);
  std::string name = "<unknown>";
  if (type) {
    if (std::optional<std::string> n = str_of(type.get())) name = *n;
  }
  std::string text = value ? str_of(value.get()).value_or("<unprintable>") : "";
  return name + ": " + text;
}

const std::string& array_module_name() {
  if (g_array_module_name == nullptr) {
    PyRef numpy = import_module("numpy");
    if (!numpy) api_failure();
    PyRef version = get_attr(numpy.get(), "__version__");
    if (!version) api_failure();
    PyRef numpy_lib = import_module("numpy.lib");
    if (!numpy_lib) api_failure();
    PyRef parser = get_attr(numpy_lib.get(), "NumpyVersion");
    if (!parser) api_failure();
    PyRef args = must_succeed(PyTuple_New(1));
    PyTuple_SetItem(args.get(), 0, version.release());
    PyRef parsed = PyRef::steal(PyObject_Call(parser.get(), args.get(), nullptr));
    if (!parsed) api_failure();
    PyRef major_obj = get_attr(parsed.get(), "major");
    if (!major_obj) api_failure();
    long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) api_failure();
    if (major < 0 || major > 255) {
      PyErr_SetString(PyExc_OverflowError, "NumPy major version out of range");
      api_failure();
    }
    g_array_module_name =
        new std::string(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
  }
  return *g_array_module_name;
}

void** numpy_api() {
  if (g_api == nullptr) {
    PyRef module = import_module(array_module_name());
    if (!module) api_failure();
    PyRef capsule = get_attr(module.get(), interface_strings::NUMPY_API_CAPSULE_NAME);
    if (!capsule) api_failure();
    if (!is_capsule(capsule.get())) {
      PyErr_SetString(PyExc_TypeError, "_ARRAY_API is not a capsule");
      api_failure();
    }
    void* pointer = PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get()));
    if (pointer == nullptr) api_failure();
    capsule.release();  // kept for the life of the process so that the table stays valid
    g_api = static_cast<void**>(pointer);
  }
  return g_api;
}

PyTypeObject* array_type() {
  return static_cast<PyTypeObject*>(numpy_api()[ARRAY_TYPE_SLOT]);
}

bool is_array(PyObject* object) {
  PyTypeObject* type = array_type();
  return Py_TYPE(object) == type || PyType_IsSubtype(Py_TYPE(object), type) != 0;
}

std::int64_t element_size(PyObject* array) {
  if (g_feature_version == 0) {
    auto version = reinterpret_cast<unsigned (*)()>(numpy_api()[FEATURE_VERSION_SLOT]);
    g_feature_version = version();
  }
  const char* descr = reinterpret_cast<const char*>(array_fields(array).descr);
  if (g_feature_version >= NUMPY2_FEATURE_VERSION) {
    return *reinterpret_cast<const std::int64_t*>(descr + ELSIZE_OFFSET_NUMPY2);
  }
  return *reinterpret_cast<const std::int32_t*>(descr + ELSIZE_OFFSET_NUMPY1);
}

std::expected<PyObject*, PendingError> accept_array(PyObject* object, int type_num, int rank) {
  if (!is_array(object))
    return std::unexpected(PendingError::conversion(object, interface_strings::ARRAY_TARGET));
  const NumpyArrayFields& fields = array_fields(object);
  if (rank != ANY_RANK && fields.nd != rank) {
    return std::unexpected(PendingError::conversion(object, interface_strings::ARRAY_TARGET));
  }
  void** api = numpy_api();
  auto descr_from_type = reinterpret_cast<PyObject* (*)(int)>(api[DESCR_FROM_TYPE_SLOT]);
  auto equiv_types =
      reinterpret_cast<unsigned char (*)(PyObject*, PyObject*)>(api[EQUIV_TYPES_SLOT]);
  PyRef expected = must_succeed(descr_from_type(type_num));
  if (fields.descr != expected.get() && !equiv_types(fields.descr, expected.get())) {
    return std::unexpected(PendingError::conversion(object, interface_strings::ARRAY_TARGET));
  }
  return object;
}

}  // namespace qelt
