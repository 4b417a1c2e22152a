// The borrow-tracking table shared by every extension module in the process, and the keys under
// which this module's own table registers borrows.
// Interpreter threads holding the interpreter lock: the lock serialises every module that
// shares the table. Locating the table may panic ("Interal borrow checking API error: ...").
#pragma once

#include <cstdint>

#include "numpy_access/numpy_api.h"
#include "pyapi/owned_ref.h"

namespace qelt {

// What a borrow may do with the array's memory: read it, or read and write it.
enum class BorrowMode { read_only, read_write };

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

// The memory an array covers, as a registry key: the byte range [start, end), the data
// pointer, and the gcd of the strides.
struct BorrowKey {
  std::uintptr_t start;
  std::uintptr_t end;
  std::uintptr_t data;
  std::int64_t gcd_strides;
  bool operator==(const BorrowKey&) const = default;
};

BorrowKey key_of(const char* data, int nd, const Py_ssize_t* dimensions, const Py_ssize_t* strides,
                 std::int64_t element_size);

// The object that owns the array's memory: `base` followed through arrays.
std::uintptr_t base_address(PyObject* array);

// True when the process's table is the one this module created.
bool borrow_table_is_own() noexcept;
// Ends a borrow in this module's own table by the base and key it was registered under.
void release_own_borrow(std::uintptr_t base, const BorrowKey& key, BorrowMode mode) noexcept;

}  // namespace qelt
