#include "morvane/search/quartz.pybind.h"

#include <string>

#include "morvane/py/convert.h"
#include "morvane/py/file_errors.h"
#include "morvane/search/quartz.h"

namespace morvane {

namespace py = pybind11;

void pybind_quartz_methods(py::module_&, py::class_<ECCs>& c) {
  c.def(
      "dump_quartz",
      [](const ECCs& self, py::handle filepath) {
        auto path = bind::extract<std::string>(filepath, "filepath");
        with_file_errors([&] { dump_quartz(self, path); });
      },
      py::arg("filepath"), "dump_quartz(self, filepath)\n--\n\nExports ECCs to Quartz JSON format.");
}

}  // namespace morvane
