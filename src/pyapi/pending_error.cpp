// Pending errors and the fetch / take / raise steps.
#include "pyapi/pending_error.h"

#include "pyapi/must_succeed.h"
#include "pyapi/panic_exception.h"
#include "pyapi/text.h"

namespace qelt {
namespace {

std::string type_qualname(PyObject* type) {
  static PyObject* qualname_key = nullptr;
  if (qualname_key == nullptr) {
    qualname_key = PyUnicode_FromStringAndSize("__qualname__", 12);
    if (qualname_key == nullptr) python_api_failed();
    PyUnicode_InternInPlace(&qualname_key);
  }
  PyRef name = PyRef::steal(PyObject_GetAttr(type, qualname_key));
  if (name && PyType_IsSubtype(Py_TYPE(name.get()), &PyUnicode_Type)) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
      return std::string(utf8, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

// Takes the interpreter's pending exception, normalised. A PanicException coming back from
// Python code is not an ordinary error: the internal failure it carries is resumed.
std::optional<PendingError> take_raw() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    if (value != nullptr) _Py_DecRef(value);
    if (traceback != nullptr) _Py_DecRef(traceback);
    return std::nullopt;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && is_panic_exception_class(reinterpret_cast<PyObject*>(Py_TYPE(value)))) {
    resume_panic(type, value, traceback);
  }
  return PendingError::fetched(PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback));
}

}  // namespace

PendingError PendingError::with_message(PyObject* type, std::string message) {
  PendingError error;
  error.kind_ = Kind::message;
  error.static_type_ = type;
  error.message_ = std::move(message);
  return error;
}

PendingError PendingError::conversion(PyObject* object, const char* target) {
  PendingError error;
  error.kind_ = Kind::conversion;
  error.object_type_ = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
  error.target_ = target;
  return error;
}

PendingError PendingError::fetched(PyRef type, PyRef value, PyRef traceback) {
  PendingError error;
  error.kind_ = Kind::fetched;
  error.type_ = std::move(type);
  error.value_ = std::move(value);
  error.traceback_ = std::move(traceback);
  return error;
}

bool PendingError::is_exactly_type_error() const noexcept {
  switch (kind_) {
    case Kind::message:
      return static_type_ == PyExc_TypeError;
    case Kind::conversion:
      return true;
    case Kind::fetched:
      return type_.get() == PyExc_TypeError;
  }
  return false;
}

std::string PendingError::text() const {
  switch (kind_) {
    case Kind::message:
      return message_;
    case Kind::conversion: {
      std::string message = "'";
      message += type_qualname(object_type_.get());
      message += "' object cannot be converted to '";
      message += target_;
      message += '\'';
      return message;
    }
    case Kind::fetched:
      return str_of(value_.get()).value_or("<exception str() failed>");
  }
  return {};
}

PyRef PendingError::cause() const {
  if (kind_ != Kind::fetched || !value_) return {};
  return PyRef::steal(PyException_GetCause(value_.get()));
}

void PendingError::restore() && {
  if (kind_ == Kind::fetched) {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    return;
  }
  PyObject* type = static_type_;
  PyRef argument = make_str(text());
  if (kind_ == Kind::conversion) type = PyExc_TypeError;
  if (is_panic_exception_class(type)) {
    PyRef args = must_succeed(PyTuple_New(1));
    PyTuple_SetItem(args.get(), 0, argument.release());
    argument = std::move(args);
  }
  PyErr_SetObject(type, argument.get());
  PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  PyErr_Restore(t, v, tb);
}

PendingError fetch_error() {
  if (std::optional<PendingError> error = take_raw()) return std::move(*error);
  return PendingError::with_message(PyExc_SystemError,
                                    "attempted to fetch exception but none was set");
}

std::optional<PendingError> take_error() {
  return take_raw();
}

}  // namespace qelt
