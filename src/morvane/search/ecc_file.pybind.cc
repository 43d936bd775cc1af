#include "morvane/search/ecc_file.pybind.h"

#include <string>

#include "morvane/py/convert.h"
#include "morvane/search/ecc_file.h"
#include "morvane/search/quartz.h"

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

void pybind_ecc_file_methods(py::module_&, py::class_<ECCs>& c) {
  c.def(
      "dump_postcard",
      [](const ECCs& self, py::handle filepath) {
        auto path = bind::extract<std::string>(filepath, "filepath");
        with_file_errors([&] { dump_postcard(self, path); });
      },
      py::arg("filepath"), "dump_postcard(self, filepath)\n--\n\nSaves ECCs as postcard.");
  c.def_static(
      "from_postcard",
      [](py::handle filepath) {
        auto path = bind::extract<std::string>(filepath, "filepath");
        return with_file_errors([&] { return eccs_from_postcard(path); });
      },
      py::arg("filepath"), "from_postcard(filepath)\n--\n\nLoads ECCs from a postcard file.");
  c.def(
      "dump_quartz",
      [](const ECCs& self, py::handle filepath) {
        auto path = bind::extract<std::string>(filepath, "filepath");
        with_file_errors([&] { dump_quartz(self, path); });
      },
      py::arg("filepath"), "dump_quartz(self, filepath)\n--\n\nExports ECCs to Quartz JSON format.");
}

}  // namespace morvane
