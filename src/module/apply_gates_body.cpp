// Gate checks, prepared copies and the hand-over to the kernels.
#include "module/apply_gates_body.h"

#include <bit>
#include <cstring>
#include <span>
#include <string>

#include "module/error_of.h"
#include "pyapi/interpreter_lock.h"
#include "quantum/gate_driver.h"
#include "runtime/interface_strings.h"

namespace qelt {
namespace {

template <class T>
std::string render_list(std::span<const T> values) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(values[i]);
  }
  return out + "]";
}

PendingError invalid(std::string message) {
  return PendingError::with_message(PyExc_ValueError, std::move(message));
}

// Copies every element of a rank-2 or rank-3 complex64 array in logical row-major order,
// addressing elements through the byte strides, so any layout (transposed, Fortran-ordered,
// stepped, reversed) reads exactly the elements the array covers.
std::vector<Amplitude> copy_logical(const ArrayLayout& f) {
  const int nd = f.rank();
  const std::size_t outer = nd == 3 ? static_cast<std::size_t>(f.dimensions()[0]) : 1;
  const Py_ssize_t rows = f.dimensions()[nd - 2], cols = f.dimensions()[nd - 1];
  const Py_ssize_t outer_stride = nd == 3 ? f.strides()[0] : 0;
  const Py_ssize_t row_stride = f.strides()[nd - 2], col_stride = f.strides()[nd - 1];
  std::vector<Amplitude> out;
  out.reserve(outer * static_cast<std::size_t>(rows * cols));
  for (std::size_t b = 0; b < outer; ++b) {
    const char* slice = f.data() + static_cast<Py_ssize_t>(b) * outer_stride;
    for (Py_ssize_t r = 0; r < rows; ++r) {
      for (Py_ssize_t c = 0; c < cols; ++c) {
        Amplitude value;
        std::memcpy(&value, slice + r * row_stride + c * col_stride, sizeof value);
        out.push_back(value);
      }
    }
  }
  return out;
}

}  // namespace

PyResult apply_gates_body(const ArrayBorrow& psi, std::vector<GateArgument>& gates) {
  // Conversion hooks have all run by now, and nothing below runs caller code: an array whose
  // layout they changed is refused before any of its memory is touched.
  if (auto same = check_unchanged(psi, "psi"); !same) return error_of(same);
  for (std::size_t i = 0; i < gates.size(); ++i) {
    auto same = check_unchanged(gates[i].matrix, "the matrix of gate", i);
    if (!same) return error_of(same);
  }
  const ArrayLayout& state = psi.layout();
  const auto rows = static_cast<std::uint64_t>(state.dimensions()[0]);
  const auto dim = static_cast<std::uint64_t>(state.dimensions()[1]);
  if (!std::has_single_bit(dim)) {
    return std::unexpected(
        invalid("statevector dim " + std::to_string(dim) + " is not a power of two"));
  }
  const auto qubits = static_cast<std::uint64_t>(std::countr_zero(dim));

  std::vector<PreparedGate> prepared;
  prepared.reserve(gates.size());
  for (GateArgument& gate : gates) {
    std::vector<std::uint64_t>& bits = gate.bit_positions;
    const std::size_t k = bits.size();
    if (k != 1 && k != 2) {
      return std::unexpected(invalid(std::to_string(k) + "-qubit gates unsupported"));
    }
    for (std::uint64_t bit : bits) {
      if (bit >= qubits) {
        return std::unexpected(invalid("gate bit " +
                                       render_list(std::span<const std::uint64_t>(bits)) +
                                       " out of range for " + std::to_string(qubits) + " qubits"));
      }
    }
    if (k == 2 && bits[0] == bits[1]) {
      return std::unexpected(invalid(std::string(interface_strings::REPEATED_GATE_BITS)));
    }
    const ArrayLayout& m = gate.matrix.layout();
    const Py_ssize_t* shape = m.dimensions();
    const auto d = static_cast<Py_ssize_t>(k == 1 ? 2 : 4);
    const bool shared = m.rank() == 2 && shape[0] == d && shape[1] == d;
    const bool per_row = m.rank() == 3 && static_cast<std::uint64_t>(shape[0]) == rows &&
                         shape[1] == d && shape[2] == d;
    if (!shared && !per_row) {
      return std::unexpected(invalid(
          "gate matrix shape " +
          render_list(std::span<const Py_ssize_t>(shape, static_cast<std::size_t>(m.rank()))) +
          " incompatible with " + std::to_string(k) + "q gate, batch " + std::to_string(rows)));
    }
    prepared.push_back({std::move(bits), copy_logical(m), per_row});
  }

  if ((state.flags() & NPY_ARRAY_C_CONTIGUOUS) == 0) {
    return std::unexpected(invalid(std::string(interface_strings::STATEVECTOR_NOT_CONTIGUOUS)));
  }
  {
    ReleasedInterpreterLock unlocked;
    const std::size_t count = static_cast<std::size_t>(rows * dim);
    if (count == 0 || reinterpret_cast<std::uintptr_t>(state.data()) % alignof(Amplitude) == 0) {
      apply_prepared_gates(reinterpret_cast<Amplitude*>(state.data()), rows, dim, prepared,
                           pool_parallelism());
    } else {
      // A buffer at an odd address (a view at a byte offset) is worked on in an aligned copy.
      std::vector<Amplitude> aligned(count);
      std::memcpy(aligned.data(), state.data(), count * sizeof(Amplitude));
      apply_prepared_gates(aligned.data(), rows, dim, prepared, pool_parallelism());
      std::memcpy(state.data(), aligned.data(), count * sizeof(Amplitude));
    }
  }
  return PyRef::borrow(Py_None);
}

}  // namespace qelt
