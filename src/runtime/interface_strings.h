// Texts that callers can observe and rely on: exception messages and names, environment variable
// names, the name of the capsule shared with other extension modules. Programs match on them
// (tests, error handlers, other modules sharing the borrow table), so each is fixed: change
// one only as an interface change.
// Constants only; any thread.
#pragma once

#include <string_view>

namespace qelt::interface_strings {

// The internal-failure exception class, by its qualified name.
inline constexpr const char* PANIC_EXCEPTION_NAME = "pyo3_runtime.PanicException";
// The attribute of NumPy's array module holding the borrow table shared by extension modules.
inline constexpr const char* BORROW_CAPSULE_NAME = "_RUST_NUMPY_BORROW_CHECKING_API";
// The capsule attribute of NumPy's array module that holds its API table.
inline constexpr const char* NUMPY_API_CAPSULE_NAME = "_ARRAY_API";

// Worker count: the first variable holding a positive count wins.
inline constexpr const char* WORKER_COUNT_VARIABLE = "RAYON_NUM_THREADS";
inline constexpr const char* WORKER_COUNT_FALLBACK_VARIABLE = "RAYON_RS_NUM_CPUS";

// Internal failures (PanicException messages).
inline constexpr std::string_view ALREADY_BORROWED =
    "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed";
inline constexpr std::string_view NOT_WRITEABLE =
    "called `Result::unwrap()` on an `Err` value: NotWriteable";
inline constexpr std::string_view NUMPY_API_FAILURE = "Failed to access NumPy array API capsule: ";
inline constexpr std::string_view BORROW_API_FAILURE = "Interal borrow checking API error: ";
inline constexpr std::string_view CAPACITY_OVERFLOW = "capacity overflow";

// The pool: a failure that escapes a job, and the global pool's creation failures (prefixes of
// PanicException messages; the first one is written to standard error before aborting).
inline constexpr std::string_view UNEXPECTED_POOL_FAILURE =
    "Rayon: detected unexpected panic; aborting\n";
inline constexpr std::string_view POOL_NOT_INITIALIZED =
    "The global thread pool has not been initialized.: ";
inline constexpr std::string_view POOL_ALREADY_INITIALIZED =
    "ThreadPoolBuildError { kind: GlobalPoolAlreadyInitialized }";

// Conversion targets named by "'<type>' object cannot be converted to '<target>'".
inline constexpr const char* ARRAY_TARGET = "PyArray<T, D>";
inline constexpr const char* SEQUENCE_TARGET = "Sequence";
inline constexpr const char* TUPLE_TARGET = "PyTuple";

// User errors.
inline constexpr std::string_view STR_AS_SEQUENCE = "Can't extract `str` to `Vec`";
inline constexpr std::string_view GATE_TUPLE_LENGTH =
    "expected tuple of length 2, but got tuple of length ";
inline constexpr std::string_view EMPTY_LOGITS = "empty logits";
inline constexpr std::string_view STATEVECTOR_NOT_CONTIGUOUS = "statevector must be C-contiguous";
inline constexpr std::string_view REPEATED_GATE_BITS = "2q gate bits must be distinct";
inline constexpr std::string_view CHANGED_DURING_CALL =
    " was changed during the call (its data, dtype, shape, strides or writeable flag)";

}  // namespace qelt::interface_strings
