#include "morvane/py/file_errors.h"

namespace morvane {

namespace py = pybind11;

void raise_file_error(const FileError& e) {
  if (e.kind() == FileError::Kind::Value) {
    PyErr_SetString(PyExc_ValueError, e.what());
    throw py::error_already_set();
  }
  // OSError(errno, text) picks the subclass of the error number (FileNotFoundError,
  // PermissionError, ...). The exception itself is made from the message alone, so that str()
  // is the message, and gets its errno afterwards.
  py::object type = py::reinterpret_borrow<py::object>(PyExc_OSError);
  if (e.os_errno() != 0) type = py::type::of(type(e.os_errno(), ""));
  py::object exc = type(e.what());
  if (e.os_errno() != 0) exc.attr("errno") = e.os_errno();
  PyErr_SetObject(type.ptr(), exc.ptr());
  throw py::error_already_set();
}

}  // namespace morvane
