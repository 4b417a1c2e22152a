// The gate list handed to the core's rules, their errors rendered as messages, and the hand-over
// to the kernels.
#include "module/apply_gates_body.h"

#include <cstring>
#include <span>
#include <string>

#include "module/error_of.h"
#include "pyapi/interpreter_lock.h"
#include "quantum/gate_driver.h"
#include "quantum/prepare_gates.h"
#include "runtime/interface_strings.h"
#include "runtime/panic.h"

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

// The fixed text of each broken gate rule.
PendingError render(const GateError& error) {
  switch (error.kind) {
    case GateErrorKind::DIM_NOT_POWER_OF_TWO:
      return invalid("statevector dim " + std::to_string(error.row_length) +
                     " is not a power of two");
    case GateErrorKind::UNSUPPORTED_BIT_COUNT:
      return invalid(std::to_string(error.bit_count) + "-qubit gates unsupported");
    case GateErrorKind::BIT_OUT_OF_RANGE:
      return invalid("gate bit " + render_list(std::span<const std::uint64_t>(error.bits)) +
                     " out of range for " + std::to_string(error.qubits) + " qubits");
    case GateErrorKind::REPEATED_BITS:
      return invalid(std::string(interface_strings::REPEATED_GATE_BITS));
    case GateErrorKind::MATRIX_SHAPE:
      return invalid("gate matrix shape " +
                     render_list(std::span<const std::ptrdiff_t>(error.shape)) +
                     " incompatible with " + std::to_string(error.bit_count) + "q gate, batch " +
                     std::to_string(error.rows));
    case GateErrorKind::NOT_C_CONTIGUOUS:
      return invalid(std::string(interface_strings::STATEVECTOR_NOT_CONTIGUOUS));
  }
  panic("unknown gate rule");
}

MatrixView matrix_view(const ArrayLayout& m) {
  const auto rank = static_cast<std::size_t>(m.rank());
  return {
      reinterpret_cast<const std::byte*>(m.data()), {m.dimensions(), rank}, {m.strides(), rank}};
}

}  // namespace

PyResult apply_gates_body(const ArrayBorrow& psi, const std::vector<GateArgument>& gates) {
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
  std::vector<GateDescription> descriptions;
  descriptions.reserve(gates.size());
  for (const GateArgument& gate : gates) {
    descriptions.push_back({gate.bit_positions, matrix_view(gate.matrix.layout())});
  }
  auto prepared =
      prepare_gates({rows, dim, (state.flags() & NPY_ARRAY_C_CONTIGUOUS) != 0}, descriptions);
  if (!prepared) return std::unexpected(render(prepared.error()));

  {
    ReleasedInterpreterLock unlocked;
    const std::size_t count = static_cast<std::size_t>(rows * dim);
    if (count == 0 || reinterpret_cast<std::uintptr_t>(state.data()) % alignof(Amplitude) == 0) {
      apply_prepared_gates(reinterpret_cast<Amplitude*>(state.data()), rows, dim, *prepared,
                           pool_parallelism());
    } else {
      // A buffer at an odd address (a view at a byte offset) is worked on in an aligned copy.
      std::vector<Amplitude> aligned(count);
      std::memcpy(aligned.data(), state.data(), count * sizeof(Amplitude));
      apply_prepared_gates(aligned.data(), rows, dim, *prepared, pool_parallelism());
      std::memcpy(state.data(), aligned.data(), count * sizeof(Amplitude));
    }
  }
  return PyRef::borrow(Py_None);
}

}  // namespace qelt
