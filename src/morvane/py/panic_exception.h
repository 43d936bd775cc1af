#pragma once
// pyo3_runtime.PanicException, the Python form of a stop, and the translation of C++ exceptions.

#include <pybind11/pybind11.h>

namespace morvane::bind {

/// The PanicException type (a BaseException subclass), created on first use.
PyObject* panic_exception_type();

/// Installs the translator that turns morvane::Panic into PanicException (after writing the
/// message and its source location to standard error).
void register_panic_translator();

}  // namespace morvane::bind
