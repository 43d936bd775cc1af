#include "morvane/identity/eccs_identities.pybind.h"

#include "morvane/identity/eccs_identities.h"

namespace morvane {

namespace py = pybind11;

void pybind_eccs_identities_methods(py::module_&, py::class_<ECCs>& c) {
  c.def(
      "to_identity_circuits",
      [](const ECCs& self) {
        auto triples = to_identity_circuits(self);
        py::list out;
        for (auto& t : triples)
          out.append(py::make_tuple(py::cast(std::move(t.identity)), py::cast(std::move(t.inverted_representative)),
                                    py::cast(std::move(t.circuit))));
        return out;
      },
      "to_identity_circuits(self)\n--\n\nConverts classes into canonical identities plus witness circuit pairs.");
}

}  // namespace morvane
