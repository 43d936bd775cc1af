#include "morvane/search/ecc_file.pybind.h"

#include <string>

#include "morvane/py/convert.h"
#include "morvane/py/file_errors.h"
#include "morvane/search/ecc_file.h"

namespace morvane {

namespace py = pybind11;

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
}

}  // namespace morvane
