// The borrow-tracking table: adoption or installation, the registry behind a table this module
// creates, and the borrow handle.
//
// Registry rules. Borrows are grouped by the base address of an array (the first object that
// owns the memory, found by following `base` through arrays). Each borrow has a key: the byte
// range [start, end) the array covers, its data pointer, and the gcd of its strides. Under one
// base, two keys conflict when their ranges overlap and the distance between their data
// pointers is a multiple of the gcd of their stride divisors (so interleaved views whose
// elements can never coincide do not conflict). A count > 0 is that many readers of the key,
// -1 one writer. Readers exclude conflicting writers; a writer excludes every conflicting
// borrow. All of this runs under the interpreter lock, which is what makes the unsynchronised
// map safe: every module sharing the table calls it only while holding that lock.
#include "numpy_access/borrow.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <unordered_map>
#include <vector>

#include "runtime/panic.h"

namespace qelt {
namespace {

constexpr const char* CAPSULE_NAME = "_RUST_NUMPY_BORROW_CHECKING_API";

struct BorrowKey {
  std::uintptr_t start;
  std::uintptr_t end;
  std::uintptr_t data;
  std::int64_t gcd_strides;
  bool operator==(const BorrowKey&) const = default;
};

struct BorrowEntry {
  BorrowKey key;
  std::int64_t count;
};

struct Registry {
  std::unordered_map<std::uintptr_t, std::vector<BorrowEntry>> by_base;
};

std::uintptr_t base_address(PyObject* array) {
  PyObject* current = array;
  for (;;) {
    PyObject* base = array_fields(current).base;
    if (base == nullptr) return reinterpret_cast<std::uintptr_t>(current);
    if (!is_array(base)) return reinterpret_cast<std::uintptr_t>(base);
    current = base;
  }
}

BorrowKey key_of(const char* data_pointer, int nd, const Py_ssize_t* dimensions,
                 const Py_ssize_t* strides, std::int64_t element_size) {
  const auto data = reinterpret_cast<std::uintptr_t>(data_pointer);
  BorrowKey key{data, data, data, 1};
  bool empty = nd == 0;
  std::int64_t divisor = 0;
  for (int axis = 0; axis < nd; ++axis) {
    if (dimensions[axis] == 0) empty = true;
    divisor = axis == 0 ? strides[0] : std::gcd(divisor, strides[axis]);
  }
  if (nd > 0) key.gcd_strides = divisor;
  if (!empty) {
    std::intptr_t low = 0, high = 0;
    for (int axis = 0; axis < nd; ++axis) {
      std::intptr_t extent = (dimensions[axis] - 1) * strides[axis];
      (extent >= 0 ? high : low) += extent;
    }
    key.start = data + static_cast<std::uintptr_t>(low);
    key.end = data + static_cast<std::uintptr_t>(high) + static_cast<std::uintptr_t>(element_size);
  }
  return key;
}

BorrowKey key_of(PyObject* array) {
  const NumpyArrayFields& f = array_fields(array);
  return key_of(f.data, f.nd, f.dimensions, f.strides, element_size(array));
}

BorrowKey key_of(const ArrayLayout& layout) {
  return key_of(layout.data(), layout.rank(), layout.dimensions(), layout.strides(),
                layout.element_size());
}

bool conflict(const BorrowKey& a, const BorrowKey& b) {
  if (a.start >= b.end || b.start >= a.end) return false;
  const std::uint64_t divisor = std::gcd(static_cast<std::uint64_t>(std::llabs(a.gcd_strides)),
                                         static_cast<std::uint64_t>(std::llabs(b.gcd_strides)));
  const std::uintptr_t distance = a.data > b.data ? a.data - b.data : b.data - a.data;
  // Two all-zero-stride views: each covers one element, so they meet only at equal pointers.
  if (divisor == 0) return distance == 0;
  return distance % divisor == 0;
}

// Entries with a count of 0 can only be left by a misbehaving module; they hold nothing.
void drop_stale(std::vector<BorrowEntry>& entries) {
  std::erase_if(entries, [](const BorrowEntry& e) { return e.count == 0; });
}

int acquire_read(void* registry, PyObject* array) {
  auto& entries = static_cast<Registry*>(registry)->by_base[base_address(array)];
  drop_stale(entries);
  const BorrowKey key = key_of(array);
  for (BorrowEntry& entry : entries) {
    if (entry.key == key) {
      if (entry.count < 0 || entry.count == std::numeric_limits<std::int64_t>::max()) return -1;
      ++entry.count;
      return 0;
    }
  }
  for (const BorrowEntry& entry : entries) {
    if (entry.count < 0 && conflict(key, entry.key)) return -1;
  }
  entries.push_back({key, 1});
  return 0;
}

int acquire_write(void* registry, PyObject* array) {
  if ((array_fields(array).flags & NPY_ARRAY_WRITEABLE) == 0) return -2;
  auto& by_base = static_cast<Registry*>(registry)->by_base;
  auto& entries = by_base[base_address(array)];
  drop_stale(entries);
  const BorrowKey key = key_of(array);
  for (const BorrowEntry& entry : entries) {
    if (entry.key == key || conflict(key, entry.key)) return -1;
  }
  entries.push_back({key, -1});
  return 0;
}

void release_key(void* registry, std::uintptr_t base, const BorrowKey& key, bool writer) {
  auto& by_base = static_cast<Registry*>(registry)->by_base;
  auto found = by_base.find(base);
  if (found == by_base.end()) return;  // nothing registered: a foreign module's mistake
  auto& entries = found->second;
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (it->key != key) continue;
    if (writer || it->count <= 1) {
      entries.erase(it);
    } else {
      --it->count;
    }
    break;
  }
  if (entries.empty()) by_base.erase(found);
}

void release(void* registry, PyObject* array, bool writer) {
  release_key(registry, base_address(array), key_of(array), writer);
}

void release_read(void* registry, PyObject* array) { release(registry, array, false); }
void release_write(void* registry, PyObject* array) { release(registry, array, true); }

void destroy_table(PyObject* capsule) {
  auto* table = static_cast<BorrowCheckingApi*>(PyCapsule_GetPointer(capsule, CAPSULE_NAME));
  if (table == nullptr) {
    PyErr_Clear();
    return;
  }
  delete static_cast<Registry*>(table->registry);
  delete table;
}

// Written once under the interpreter lock; the capsule that owns it is kept for the process.
const BorrowCheckingApi* g_table = nullptr;
// Whether g_table is the one this module created, whose registry it may address directly.
bool g_table_is_own = false;

[[noreturn]] void table_failure() {
  panic("Interal borrow checking API error: " + describe_pending_exception());
}

}  // namespace

const BorrowCheckingApi& borrow_checking_api() {
  if (g_table != nullptr) return *g_table;
  PyRef module_name = make_str(array_module_name());
  PyRef module = PyRef::steal(PyImport_Import(module_name.get()));
  if (!module) table_failure();
  PyRef attribute = make_str(CAPSULE_NAME);
  PyRef capsule = PyRef::steal(PyObject_GetAttr(module.get(), attribute.get()));
  const BorrowCheckingApi* table = nullptr;
  if (capsule) {
    if (!PyType_IsSubtype(Py_TYPE(capsule.get()), &PyCapsule_Type)) {
      PyErr_SetString(PyExc_TypeError, "_RUST_NUMPY_BORROW_CHECKING_API is not a capsule");
      table_failure();
    }
    table = static_cast<const BorrowCheckingApi*>(
        PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get())));
    if (table == nullptr) table_failure();
  } else {
    PyErr_Clear();
    auto* created = new BorrowCheckingApi{1,           new Registry, acquire_read,
                                          acquire_write, release_read, release_write};
    capsule = PyRef::steal(PyCapsule_New(created, CAPSULE_NAME, destroy_table));
    if (!capsule) {
      delete static_cast<Registry*>(created->registry);
      delete created;
      table_failure();
    }
    if (PyObject_SetAttr(module.get(), attribute.get(), capsule.get()) != 0) table_failure();
    table = created;
    g_table_is_own = true;
  }
  if (table->version < 1) {
    std::string message = "Version " + std::to_string(table->version) +
                          " of borrow checking API is not supported by this version of "
                          "qelt_native";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    table_failure();
  }
  capsule.release();  // kept for the life of the process so that the table stays valid
  g_table = table;
  return *g_table;
}

BorrowedArray& BorrowedArray::operator=(BorrowedArray&& other) noexcept {
  if (this != &other) {
    release();
    array_ = std::move(other.array_);
    writable_ = other.writable_;
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

bool ArrayLayout::matches(PyObject* array, bool writable) const noexcept {
  const NumpyArrayFields& f = array_fields(array);
  if (f.data != data_ || f.nd != nd_ || f.descr != descr_.get()) return false;
  if (writable && (f.flags & NPY_ARRAY_WRITEABLE) == 0) return false;
  return std::equal(f.dimensions, f.dimensions + nd_, dimensions()) &&
         std::equal(f.strides, f.strides + nd_, strides());
}

BorrowedArray BorrowedArray::borrow(PyObject* array, bool writable) {
  const BorrowCheckingApi& table = borrow_checking_api();
  PyRef reference = PyRef::borrow(array);
  ArrayLayout layout = ArrayLayout::capture(array);
  const std::uintptr_t base = base_address(array);
  const int code = writable ? table.acquire_write(table.registry, array)
                            : table.acquire_read(table.registry, array);
  if (code == 0) return BorrowedArray(std::move(reference), std::move(layout), base, writable);
  if (code == -1) panic("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed");
  if (code == -2 && writable) panic("called `Result::unwrap()` on an `Err` value: NotWriteable");
  panic("Unexpected return code " + std::to_string(code) + " from borrow checking API");
}

void BorrowedArray::release() noexcept {
  if (!array_) return;
  const BorrowCheckingApi& table = *g_table;
  if (g_table_is_own) {
    // The entry is found by the key it was registered under, even if caller code has changed
    // the array's layout meanwhile (the live array would give another key, and the borrow
    // would stay registered for good).
    release_key(table.registry, base_, key_of(layout_), writable_);
  } else if (writable_) {
    table.release_write(table.registry, array_.get());
  } else {
    table.release_read(table.registry, array_.get());
  }
  array_.reset();
}

std::expected<void, PendingError> check_unchanged(const BorrowedArray& array,
                                                  const std::string& what) {
  if (array.unchanged()) return {};
  return std::unexpected(PendingError::with_message(
      PyExc_ValueError, what + " was changed during the call (its data, dtype, shape, strides "
                               "or writeable flag)"));
}

}  // namespace qelt
