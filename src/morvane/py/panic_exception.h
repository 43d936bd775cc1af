#pragma once
// pyo3_runtime.PanicException, the Python form of a stop, and the translation of C++ exceptions.

#include <pybind11/pybind11.h>

namespace morvane::bind {

/// The PanicException type (a BaseException subclass), created on first use; nullptr, with the
/// error that prevented its creation set, when it cannot be made.
PyObject* panic_exception_type();

/// Raises PanicException with `message` (or, when its type cannot be made, the error that
/// prevented that).
void set_panic_error(const char* message);

/// Installs the translator that turns morvane::Panic into PanicException (after writing the
/// message and its source location to standard error).
void register_panic_translator();

}  // namespace morvane::bind
