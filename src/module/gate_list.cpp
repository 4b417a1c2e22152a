// Gate-list conversion.
#include "module/gate_list.h"

#include <algorithm>
#include <limits>

#include "module/binding.h"
#include "module/error_of.h"
#include "runtime/interface_strings.h"
#include "runtime/panic.h"

namespace qelt {
namespace {

// Room reserved from a sequence's own length report. The report is only a hint: a length whose
// byte count overflows is an internal failure, and a merely huge one is capped so that a
// lying __len__ cannot exhaust memory before a single item is read.
constexpr Py_ssize_t MAX_RESERVED = 1 << 16;

Py_ssize_t reserve_hint(PyObject* sequence, std::size_t entry_size) {
  Py_ssize_t size = PySequence_Size(sequence);
  if (size < 0) {
    // A failed length query only costs the hint, but a PanicException re-raised by caller code
    // is an internal failure in flight: taking it resumes the panic.
    static_cast<void>(take_error());
    return 0;
  }
  if (static_cast<std::uint64_t>(size) >
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / entry_size) {
    panic(std::string(interface_strings::CAPACITY_OVERFLOW));
  }
  return std::min(size, MAX_RESERVED);
}

bool is_str(PyObject* value) {
  return PyType_IsSubtype(Py_TYPE(value), &PyUnicode_Type) != 0;
}

std::expected<PyRef, PendingError> iterate_sequence(PyObject* value) {
  if (is_str(value)) {
    return std::unexpected(PendingError::with_message(
        PyExc_TypeError, std::string(interface_strings::STR_AS_SEQUENCE)));
  }
  if (!PySequence_Check(value))
    return std::unexpected(PendingError::conversion(value, interface_strings::SEQUENCE_TARGET));
  PyRef iterator = PyRef::steal(PyObject_GetIter(value));
  if (!iterator) return std::unexpected(fetch_error());
  return iterator;
}

std::expected<std::vector<std::uint64_t>, PendingError> convert_bit_positions(PyObject* value) {
  auto iterator = iterate_sequence(value);
  if (!iterator) return error_of(iterator);
  std::vector<std::uint64_t> bits;
  bits.reserve(static_cast<std::size_t>(reserve_hint(value, sizeof(std::uint64_t))));
  while (PyRef item = PyRef::steal(PyIter_Next(iterator->get()))) {
    auto bit = convert_u64(item.get());
    if (!bit) return error_of(bit);
    bits.push_back(*bit);
  }
  if (std::optional<PendingError> error = take_error()) return error_of(error);
  return bits;
}

}  // namespace

std::expected<std::vector<GateArgument>, PendingError> convert_gate_list(PyObject* value) {
  auto iterator = iterate_sequence(value);
  if (!iterator) return error_of(iterator);
  std::vector<GateArgument> gates;
  gates.reserve(static_cast<std::size_t>(reserve_hint(value, 32)));
  while (PyRef item = PyRef::steal(PyIter_Next(iterator->get()))) {
    if (!PyType_IsSubtype(Py_TYPE(item.get()), &PyTuple_Type)) {
      return std::unexpected(PendingError::conversion(item.get(), interface_strings::TUPLE_TARGET));
    }
    const Py_ssize_t length = PyTuple_Size(item.get());
    if (length != 2) {
      return std::unexpected(PendingError::with_message(
          PyExc_ValueError,
          std::string(interface_strings::GATE_TUPLE_LENGTH) + std::to_string(length)));
    }
    auto bits = convert_bit_positions(PyTuple_GetItem(item.get(), 0));
    if (!bits) return error_of(bits);
    auto matrix = accept_array(PyTuple_GetItem(item.get(), 1), NPY_CFLOAT, ANY_RANK);
    if (!matrix) return error_of(matrix);
    gates.push_back({std::move(*bits), ArrayBorrow::acquire(*matrix, BorrowMode::read_only)});
  }
  if (std::optional<PendingError> error = take_error()) return error_of(error);
  return gates;
}

}  // namespace qelt
