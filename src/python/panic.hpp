// PanicException: how an internal failure reaches Python. It derives from BaseException so that
// `except Exception` lets it pass, like SystemExit.
#pragma once

#include "error.hpp"

namespace catenc::py {

// The class, made on first need.
PyResult<PyObject*> panic_exception_type();
// The class if it has been made, else null (then no PanicException can be pending).
PyObject* existing_panic_exception_type() noexcept;

// Writes the diagnostic of an internal failure to standard error and raises PanicException
// with its message. A failure while doing so aborts the process.
void raise_internal(const Error& failure) noexcept;

// Raises any error: internal failures as PanicException, the others as they are.
void raise(Error error) noexcept;

}  // namespace catenc::py
