// The borrow-tracking table shared by every extension module in the process: adoption of the
// table installed in NumPy's array module, or creation and installation of this module's own,
// and the registry behind it.
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
#include "numpy_access/borrow_table.h"

#include <cstdlib>
#include <limits>
#include <numeric>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/interface_strings.h"
#include "runtime/panic.h"

namespace qelt {
namespace {

constexpr const char* CAPSULE_NAME = interface_strings::BORROW_CAPSULE_NAME;

struct BorrowEntry {
  BorrowKey key;
  std::int64_t count;
};

struct Registry {
  std::unordered_map<std::uintptr_t, std::vector<BorrowEntry>> by_base;
};

// Bases whose last borrow ended keep their (empty) entry list while the registry holds at most
// this many bases: a call that borrows the same arrays as the call before it then allocates and
// frees nothing. An empty list holds no borrow, so keeping it changes no answer.
constexpr std::size_t KEPT_EMPTY_BASES = 256;

BorrowKey array_key(PyObject* array) {
  const NumpyArrayFields& f = array_fields(array);
  return key_of(f.data, f.nd, f.dimensions, f.strides, element_size(array));
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
  const BorrowKey key = array_key(array);
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
  const BorrowKey key = array_key(array);
  for (const BorrowEntry& entry : entries) {
    if (entry.key == key || conflict(key, entry.key)) return -1;
  }
  entries.push_back({key, -1});
  return 0;
}

void release_key(void* registry, std::uintptr_t base, const BorrowKey& key,
                 BorrowMode mode) noexcept {
  auto& by_base = static_cast<Registry*>(registry)->by_base;
  auto found = by_base.find(base);
  if (found == by_base.end()) return;  // nothing registered: a foreign module's mistake
  auto& entries = found->second;
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (it->key != key) continue;
    if (mode == BorrowMode::read_write || it->count <= 1) {
      entries.erase(it);
    } else {
      --it->count;
    }
    break;
  }
  if (entries.empty() && by_base.size() > KEPT_EMPTY_BASES) by_base.erase(found);
}

void release(void* registry, PyObject* array, BorrowMode mode) {
  release_key(registry, base_address(array), array_key(array), mode);
}

void release_read(void* registry, PyObject* array) {
  release(registry, array, BorrowMode::read_only);
}
void release_write(void* registry, PyObject* array) {
  release(registry, array, BorrowMode::read_write);
}

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
  panic(std::string(interface_strings::BORROW_API_FAILURE) + describe_pending_exception());
}

}  // namespace

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
      const std::string message = std::string(CAPSULE_NAME) + " is not a capsule";
      PyErr_SetString(PyExc_TypeError, message.c_str());
      table_failure();
    }
    table = static_cast<const BorrowCheckingApi*>(
        PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get())));
    if (table == nullptr) table_failure();
  } else {
    PyErr_Clear();
    auto* created = new BorrowCheckingApi{
        1, new Registry, acquire_read, acquire_write, release_read, release_write};
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

void release_own_borrow(std::uintptr_t base, const BorrowKey& key, BorrowMode mode) noexcept {
  release_key(g_table->registry, base, key, mode);
}

bool borrow_table_is_own() noexcept {
  return g_table_is_own;
}

}  // namespace qelt
