// Array borrows through the borrow-tracking table shared by every extension module in the
// process: the table (adopted from NumPy's array module or created and installed there), and
// BorrowedArray, the handle that holds one borrow and one reference for the length of a call.
// Interpreter threads holding the interpreter lock: the lock serialises every module that
// shares the table. Borrowing may panic (conflict, non-writeable array, table failure).
#pragma once

#include <cstdint>

#include "module/owned_ref.h"
#include "numpy_access/numpy_api.h"

namespace qelt {

// The shared table: six native words, laid out as every participating module expects.
struct BorrowCheckingApi {
  std::uint64_t version;
  void* registry;
  int (*acquire_read)(void* registry, PyObject* array);
  int (*acquire_write)(void* registry, PyObject* array);
  void (*release_read)(void* registry, PyObject* array);
  void (*release_write)(void* registry, PyObject* array);
};

// The process's shared table. Panics with "Interal borrow checking API error: ...".
const BorrowCheckingApi& borrow_checking_api();

class BorrowedArray {
 public:
  // Registers a read-only or read-write borrow of an accepted array.
  static BorrowedArray borrow(PyObject* array, bool writable);

  BorrowedArray(BorrowedArray&& other) noexcept = default;
  BorrowedArray& operator=(BorrowedArray&& other) noexcept;
  BorrowedArray(const BorrowedArray&) = delete;
  BorrowedArray& operator=(const BorrowedArray&) = delete;
  ~BorrowedArray() { release(); }

  PyObject* get() const noexcept { return array_.get(); }
  const NumpyArrayFields& fields() const noexcept { return array_fields(array_.get()); }

 private:
  BorrowedArray(PyRef array, bool writable) noexcept
      : array_(std::move(array)), writable_(writable) {}
  void release() noexcept;

  PyRef array_;
  bool writable_ = false;
};

}  // namespace qelt
