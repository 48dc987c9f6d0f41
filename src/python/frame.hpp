// The call frame: every entry from the interpreter runs its body inside one of these, which turns
// the body's result into the interpreter's protocol. Nothing thrown inside may cross into the
// interpreter: a failed allocation becomes MemoryError here, anything else PanicException.
#pragma once

#include <exception>
#include <new>

#include "panic.hpp"

namespace catenc::py {

namespace detail {
// Raises what escaped a body as an exception; must be called from within a catch handler. Its
// own message may not fit in memory either: that becomes MemoryError.
inline void raise_escaped() noexcept {
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& e) {
      raise_internal(Error::internal(e.what()));
    } catch (...) {
      raise_internal(Error::internal({}));
    }
  } catch (...) {
    PyErr_NoMemory();
  }
}
}  // namespace detail

// For functions returning an object: the body returns PyResult<Ref>.
template <class Body>
PyObject* object_frame(Body&& body) noexcept {
  try {
    PyResult<Ref> result = body();
    if (result) return std::move(result).value().release();
    raise(std::move(result).error());
  } catch (...) {
    detail::raise_escaped();
  }
  return nullptr;
}

// For the module's execution step: the body returns PyStatus; 0 on success, -1 with the
// exception set.
template <class Body>
int status_frame(Body&& body) noexcept {
  try {
    PyStatus status = body();
    if (status) return 0;
    raise(std::move(status).error());
  } catch (...) {
    detail::raise_escaped();
  }
  return -1;
}

// For destructors, which cannot report: a failure goes to the unraisable-exception hook.
template <class Body>
void unraisable_frame(Body&& body) noexcept {
  try {
    body();
    return;
  } catch (...) {
    detail::raise_escaped();
  }
  PyErr_WriteUnraisable(nullptr);
}

}  // namespace catenc::py
