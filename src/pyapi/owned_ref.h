// PyRef: the one owning handle for a strong reference to a Python object. Counts change only
// through _Py_IncRef and _Py_DecRef.
// Interpreter threads holding the interpreter lock only. Never fails.
#pragma once

#include <utility>

#include "pyapi/python.h"

namespace qelt {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Adopts a new reference (may be null).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Takes a new reference to a borrowed object (may be null).
  static PyRef borrow(PyObject* object) noexcept {
    if (object != nullptr) _Py_IncRef(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { reset(); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset() noexcept {
    if (PyObject* old = std::exchange(object_, nullptr)) _Py_DecRef(old);
  }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace qelt
