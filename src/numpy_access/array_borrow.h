// ArrayBorrow, the handle that holds one borrow of an array in the shared borrow-tracking table
// and one reference to it for the length of a call, together with the array's layout as it was
// when the borrow was taken.
// Interpreter threads holding the interpreter lock: the lock serialises every module that
// shares the table. Borrowing may panic (conflict, non-writeable array, table failure).
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "numpy_access/borrow_table.h"
#include "numpy_access/numpy_api.h"
#include "pyapi/owned_ref.h"
#include "pyapi/pending_error.h"

namespace qelt {

// An array's data pointer, element type, dimensions, strides and flags, captured once. Caller
// code that runs during a call (conversion hooks) can retype, reshape or freeze an array in
// place; a call reads and writes only through this capture, and checks with `matches` that the
// live array still has it before touching the memory.
class ArrayLayout {
 public:
  static ArrayLayout capture(PyObject* array);

  char* data() const noexcept { return data_; }
  int rank() const noexcept { return nd_; }
  const Py_ssize_t* dimensions() const noexcept { return extents(); }
  const Py_ssize_t* strides() const noexcept { return extents() + nd_; }
  int flags() const noexcept { return flags_; }
  std::int64_t element_size() const noexcept { return element_size_; }
  // True when the live array has this data pointer, descriptor, shape and strides, and, for a
  // read-write borrow, the writeable flag.
  bool matches(PyObject* array, BorrowMode mode) const noexcept;

 private:
  const Py_ssize_t* extents() const noexcept {
    return nd_ <= INLINE_RANK ? inline_extents_.data() : spilled_extents_.data();
  }

  static constexpr int INLINE_RANK = 3;
  char* data_ = nullptr;
  int nd_ = 0;
  int flags_ = 0;
  std::int64_t element_size_ = 0;
  PyRef descr_;  // held, so that its address cannot be reused by another descriptor
  // Dimensions then strides: inline up to rank 3 (every valid argument), spilled beyond.
  std::array<Py_ssize_t, 2 * INLINE_RANK> inline_extents_{};
  std::vector<Py_ssize_t> spilled_extents_;
};

class ArrayBorrow {
 public:
  // Registers a read-only or read-write borrow of an accepted array.
  static ArrayBorrow acquire(PyObject* array, BorrowMode mode);

  ArrayBorrow(ArrayBorrow&& other) noexcept = default;
  ArrayBorrow& operator=(ArrayBorrow&& other) noexcept;
  ArrayBorrow(const ArrayBorrow&) = delete;
  ArrayBorrow& operator=(const ArrayBorrow&) = delete;
  ~ArrayBorrow() { release(); }

  // The layout captured when the borrow was taken; the only one a call may use.
  const ArrayLayout& layout() const noexcept { return layout_; }
  // False when caller code has changed the array's layout (or, for a read-write borrow, its
  // writeable flag) since the borrow was taken.
  bool unchanged() const noexcept { return layout_.matches(array_.get(), mode_); }

 private:
  ArrayBorrow(PyRef array, ArrayLayout layout, std::uintptr_t base, BorrowMode mode) noexcept
      : array_(std::move(array)), layout_(std::move(layout)), base_(base), mode_(mode) {}
  void release() noexcept;

  PyRef array_;
  ArrayLayout layout_;
  std::uintptr_t base_ = 0;
  BorrowMode mode_ = BorrowMode::read_only;
};

// A ValueError naming `what`, followed by `index` when given ("psi", "the matrix of gate 3"),
// when caller code changed the borrowed array's layout during the call; nothing may then be
// read or written through it. The name is put together only for the error.
std::expected<void, PendingError> check_unchanged(const ArrayBorrow& array, std::string_view what,
                                                  std::optional<std::size_t> index = {});

}  // namespace qelt
