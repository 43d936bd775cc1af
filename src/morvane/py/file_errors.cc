#include "morvane/py/file_errors.h"

namespace morvane {

void raise_file_error(const FileError& e) {
  PyErr_SetString(e.kind() == FileError::Kind::Io ? PyExc_OSError : PyExc_ValueError, e.what());
  throw pybind11::error_already_set();
}

}  // namespace morvane
