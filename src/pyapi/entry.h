// The frame around every entry point: success returns a new reference; a pending error is
// raised; an internal failure becomes PanicException; a failure while reporting one aborts.
// Interpreter threads holding the interpreter lock. Entry frames never throw.
#pragma once

#include <expected>
#include <new>
#include <string>

#include "pyapi/owned_ref.h"
#include "pyapi/pending_error.h"
#include "runtime/panic.h"

namespace qelt {

using PyResult = std::expected<PyRef, PendingError>;

// Raises PanicException(message) and returns null; aborts if even that fails.
PyObject* raise_panic(const std::string& message) noexcept;

template <class Body>
PyObject* run_entry(Body&& body) noexcept {
  try {
    PyResult result = body();
    if (result) return result->release();
    std::move(result.error()).restore();
    return nullptr;
  } catch (const Panic& failure) {
    return raise_panic(failure.message());
  } catch (const std::bad_alloc&) {
    fatal_abort("memory allocation failed");
  } catch (...) {
    return raise_panic("internal failure in the compiled code of qelt_native");
  }
}

}  // namespace qelt
