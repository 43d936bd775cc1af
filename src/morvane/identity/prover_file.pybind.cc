#include "morvane/identity/prover_file.pybind.h"

#include <string>

#include "morvane/identity/prover_file.h"
#include "morvane/py/convert.h"
#include "morvane/py/file_errors.h"

namespace morvane {

namespace py = pybind11;

void pybind_prover_file_methods(py::module_&, py::class_<IdentityProver>& c) {
  c.def_static(
      "from_postcard",
      [](py::handle filepath) {
        auto path = bind::extract<std::string>(filepath, "filepath");
        return with_file_errors([&] { return prover_from_postcard(path); });
      },
      py::arg("filepath"), "from_postcard(filepath)\n--\n\nLoads a prover from postcard serialization.");
  c.def(
      "dump_postcard",
      [](const IdentityProver& self, py::handle filepath) {
        auto path = bind::extract<std::string>(filepath, "filepath");
        with_file_errors([&] { dump_postcard(self, path); });
      },
      py::arg("filepath"), "dump_postcard(self, filepath)\n--\n\nStores a prover as postcard serialization.");
}

}  // namespace morvane
