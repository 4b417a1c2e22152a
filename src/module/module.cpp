// The module object: its init function, the two function entry points, and their registration.
#include <array>
#include <atomic>
#include <mutex>

#include "module/apply_gates_body.h"
#include "module/binding.h"
#include "module/error_of.h"
#include "module/gate_list.h"
#include "module/sample_topp_body.h"
#include "numpy_access/array_borrow.h"
#include "pyapi/entry.h"
#include "pyapi/must_succeed.h"

#ifndef QELT_VERSION
#error "QELT_VERSION (the package version, from pyproject.toml) must be defined by the build"
#endif

namespace qelt {
namespace {

constexpr const char* APPLY_GATES_DOC =
    "apply_gates(psi, gates)\n--\n\n"
    "Apply a gate list in place to a (B, 2^n) complex64 C-contiguous\n"
    "statevector. Each gate is (bit_positions, matrix) where bit = n-1-qubit\n"
    "and the matrix is (2,2)/(4,4) shared or (B,2,2)/(B,4,4) per batch row.";

constexpr const char* SAMPLE_TOPP_DOC =
    "sample_topp(logits, temperature, top_p, top_k=0, seed=0)\n--\n\n"
    "Sample one token id from a (V,) f32 logits vector.\n"
    "temperature <= 0 => argmax; top_k = 0 disables top-k; top_p >= 1 disables\n"
    "the nucleus cut. Deterministic for a given seed.";

constexpr std::array<const char*, 2> APPLY_GATES_NAMES = {"psi", "gates"};
constexpr ParameterTable APPLY_GATES_PARAMETERS = {"apply_gates", APPLY_GATES_NAMES, 2};
constexpr std::array<const char*, 5> SAMPLE_TOPP_NAMES = {"logits", "temperature", "top_p", "top_k",
                                                          "seed"};
constexpr ParameterTable SAMPLE_TOPP_PARAMETERS = {"sample_topp", SAMPLE_TOPP_NAMES, 3};

PyObject* apply_gates_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_entry([&]() -> PyResult {
    std::array<PyObject*, 2> slots{};
    if (auto bound = bind_arguments(APPLY_GATES_PARAMETERS, args, nargs, kwnames, slots); !bound) {
      return error_of(bound);
    }
    auto psi_array = convert_argument(
        "psi", slots[0], [](PyObject* value) { return accept_array(value, NPY_CFLOAT, 2); });
    if (!psi_array) return error_of(psi_array);
    ArrayBorrow psi = ArrayBorrow::acquire(*psi_array, BorrowMode::read_write);
    auto gates = convert_argument("gates", slots[1], convert_gate_list);
    if (!gates) return error_of(gates);
    return apply_gates_body(psi, *gates);
  });
}

PyObject* sample_topp_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_entry([&]() -> PyResult {
    std::array<PyObject*, 5> slots{};
    if (auto bound = bind_arguments(SAMPLE_TOPP_PARAMETERS, args, nargs, kwnames, slots); !bound) {
      return error_of(bound);
    }
    auto logits_array = convert_argument(
        "logits", slots[0], [](PyObject* value) { return accept_array(value, NPY_FLOAT, 1); });
    if (!logits_array) return error_of(logits_array);
    ArrayBorrow logits = ArrayBorrow::acquire(*logits_array, BorrowMode::read_only);
    auto temperature = convert_argument("temperature", slots[1], convert_float);
    if (!temperature) return error_of(temperature);
    auto top_p = convert_argument("top_p", slots[2], convert_float);
    if (!top_p) return error_of(top_p);
    std::uint64_t top_k = 0, seed = 0;
    if (slots[3] != nullptr) {
      auto value = convert_argument("top_k", slots[3], convert_u64);
      if (!value) return error_of(value);
      top_k = *value;
    }
    if (slots[4] != nullptr) {
      auto value = convert_argument("seed", slots[4], convert_u64);
      if (!value) return error_of(value);
      seed = *value;
    }
    return sample_topp_body(logits, *temperature, *top_p, top_k, seed);
  });
}

// Fast-call entry points are registered through the generic method pointer type.
PyCFunction as_method(PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// The interpreter keeps pointers to these records for as long as the functions live.
PyMethodDef g_apply_gates_def = {"apply_gates", as_method(apply_gates_entry),
                                 METH_FASTCALL | METH_KEYWORDS, APPLY_GATES_DOC};
PyMethodDef g_sample_topp_def = {"sample_topp", as_method(sample_topp_entry),
                                 METH_FASTCALL | METH_KEYWORDS, SAMPLE_TOPP_DOC};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "qelt_native", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The first interpreter to initialise the module; compare-and-exchange keeps a second one out.
std::atomic<std::int64_t> g_interpreter_id{-1};
// The cached module: written once under the interpreter lock and the once-flag, then only read.
PyObject* g_module = nullptr;
std::once_flag g_module_once;

std::expected<void, PendingError> add_attribute(PyObject* module, PyObject* name, PyObject* value) {
  static PyObject* all_key = nullptr;
  if (all_key == nullptr) {
    all_key = make_str("__all__").release();
    PyUnicode_InternInPlace(&all_key);
  }
  PyRef all = PyRef::steal(PyObject_GetAttr(module, all_key));
  if (!all) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr || !PyErr_GivenExceptionMatches(type, PyExc_AttributeError)) {
      PyErr_Restore(type, value, traceback);
      return std::unexpected(fetch_error());
    }
    // No list yet: drop the AttributeError and make an empty one.
    for (PyObject* part : {type, value, traceback}) PyRef::steal(part).reset();
    all = PyRef::steal(PyList_New(0));
    if (!all) return std::unexpected(fetch_error());
    if (PyObject_SetAttr(module, all_key, all.get()) != 0) return std::unexpected(fetch_error());
  } else if (!PyType_IsSubtype(Py_TYPE(all.get()), &PyList_Type)) {
    return std::unexpected(PendingError::conversion(all.get(), "PyList"));
  }
  if (PyList_Append(all.get(), name) != 0) {
    PyErr_Print();
    panic("could not append __name__ to __all__");
  }
  if (PyObject_SetAttr(module, name, value) != 0) return std::unexpected(fetch_error());
  return {};
}

std::expected<void, PendingError> add_function(PyObject* module, PyMethodDef* def) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return std::unexpected(fetch_error());
  PyRef function = PyRef::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
  if (!function) return std::unexpected(fetch_error());
  PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), make_str("__name__").get()));
  if (!name) return std::unexpected(fetch_error());
  if (!PyType_IsSubtype(Py_TYPE(name.get()), &PyUnicode_Type)) {
    return std::unexpected(PendingError::conversion(name.get(), "PyString"));
  }
  return add_attribute(module, name.get(), function.get());
}

PyResult initialise() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) return std::unexpected(fetch_error());
  std::int64_t recorded = -1;
  if (!g_interpreter_id.compare_exchange_strong(recorded, id) && recorded != id) {
    return std::unexpected(PendingError::with_message(
        PyExc_ImportError,
        "extension modules built like qelt_native do not yet support subinterpreters, see "
        "https://docs.python.org/3/c-api/init.html#sub-interpreter-support"));
  }
  if (g_module != nullptr) return PyRef::borrow(g_module);

  PyRef module = PyRef::steal(PyModule_Create2(&g_module_def, 3));
  if (!module) return std::unexpected(fetch_error());
  PyRef version_name = PyRef::steal(PyUnicode_FromStringAndSize("__version__", 11));
  if (!version_name) python_api_failed();
  PyRef version = PyRef::steal(PyUnicode_FromStringAndSize(QELT_VERSION, sizeof QELT_VERSION - 1));
  if (!version) python_api_failed();
  if (auto added = add_attribute(module.get(), version_name.get(), version.get()); !added) {
    return error_of(added);
  }
  if (auto added = add_function(module.get(), &g_apply_gates_def); !added) {
    return error_of(added);
  }
  if (auto added = add_function(module.get(), &g_sample_topp_def); !added) {
    return error_of(added);
  }
  std::call_once(g_module_once, [&] { g_module = module.release(); });
  return PyRef::borrow(g_module);
}

}  // namespace
}  // namespace qelt

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_qelt_native() {
  return qelt::run_entry(qelt::initialise);
}
