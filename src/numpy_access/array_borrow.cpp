// The borrow handle: one registered borrow of an array and one reference to it for the length
// of a call, with the array's layout as it was when the borrow was taken.
#include "numpy_access/array_borrow.h"

#include <algorithm>

#include "runtime/interface_strings.h"
#include "runtime/panic.h"

namespace qelt {
namespace {

BorrowKey layout_key(const ArrayLayout& layout) {
  return key_of(layout.data(), layout.rank(), layout.dimensions(), layout.strides(),
                layout.element_size());
}

}  // namespace

ArrayBorrow& ArrayBorrow::operator=(ArrayBorrow&& other) noexcept {
  if (this != &other) {
    release();
    array_ = std::move(other.array_);
    layout_ = std::move(other.layout_);
    base_ = other.base_;
    mode_ = other.mode_;
  }
  return *this;
}

ArrayLayout ArrayLayout::capture(PyObject* array) {
  const NumpyArrayFields& f = array_fields(array);
  ArrayLayout layout;
  layout.data_ = f.data;
  layout.nd_ = f.nd;
  layout.flags_ = f.flags;
  layout.element_size_ = qelt::element_size(array);
  layout.descr_ = PyRef::borrow(f.descr);
  Py_ssize_t* extents = layout.inline_extents_.data();
  if (f.nd > INLINE_RANK) {
    layout.spilled_extents_.resize(2 * static_cast<std::size_t>(f.nd));
    extents = layout.spilled_extents_.data();
  }
  std::copy_n(f.dimensions, f.nd, extents);
  std::copy_n(f.strides, f.nd, extents + f.nd);
  return layout;
}

bool ArrayLayout::matches(PyObject* array, BorrowMode mode) const noexcept {
  const NumpyArrayFields& f = array_fields(array);
  if (f.data != data_ || f.nd != nd_ || f.descr != descr_.get()) return false;
  if (mode == BorrowMode::read_write && (f.flags & NPY_ARRAY_WRITEABLE) == 0) return false;
  return std::equal(f.dimensions, f.dimensions + nd_, dimensions()) &&
         std::equal(f.strides, f.strides + nd_, strides());
}

ArrayBorrow ArrayBorrow::acquire(PyObject* array, BorrowMode mode) {
  const BorrowCheckingApi& table = borrow_checking_api();
  PyRef reference = PyRef::borrow(array);
  ArrayLayout layout = ArrayLayout::capture(array);
  const std::uintptr_t base = base_address(array);
  const bool writer = mode == BorrowMode::read_write;
  const int code = writer ? table.acquire_write(table.registry, array)
                          : table.acquire_read(table.registry, array);
  if (code == 0) return ArrayBorrow(std::move(reference), std::move(layout), base, mode);
  if (code == -1) panic(std::string(interface_strings::ALREADY_BORROWED));
  if (code == -2 && writer) panic(std::string(interface_strings::NOT_WRITEABLE));
  panic("Unexpected return code " + std::to_string(code) + " from borrow checking API");
}

void ArrayBorrow::release() noexcept {
  if (!array_) return;
  const BorrowCheckingApi& table = borrow_checking_api();
  if (borrow_table_is_own()) {
    // The entry is found by the key it was registered under, even if caller code has changed
    // the array's layout meanwhile (the live array would give another key, and the borrow
    // would stay registered for good).
    release_own_borrow(base_, layout_key(layout_), mode_);
  } else if (mode_ == BorrowMode::read_write) {
    table.release_write(table.registry, array_.get());
  } else {
    table.release_read(table.registry, array_.get());
  }
  array_.reset();
}

std::expected<void, PendingError> check_unchanged(const ArrayBorrow& array, std::string_view what,
                                                  std::optional<std::size_t> index) {
  if (array.unchanged()) return {};
  std::string message(what);
  if (index) message.append(" ").append(std::to_string(*index));
  message.append(interface_strings::CHANGED_DURING_CALL);
  return std::unexpected(PendingError::with_message(PyExc_ValueError, message));
}

}  // namespace qelt
