#include "morvane/identity/proof.pybind.h"

#include "morvane/circ/circ.pybind.h"
#include "morvane/py/convert.h"

namespace morvane {

namespace py = pybind11;

namespace {

/// An entry's Python form: (IdentityCirc, None or (int, int)).
py::tuple to_python(const ProofEntry& e) {
  py::object from = e.from ? py::object(py::make_tuple(e.from->first, e.from->second)) : py::none();
  return py::make_tuple(py::cast(e.identity), from);
}

/// A sequence of (IdentityCirc, None or (int, int)), taken as it is.
std::vector<ProofEntry> extract_entries(py::handle data) {
  std::vector<ProofEntry> entries;
  bind::for_each_item(data, "data", [&](py::handle item) {
    py::tuple entry = bind::extract_tuple(item, "data", 2);
    ProofEntry& e = entries.emplace_back(
        ProofEntry{bind::extract_bound<IdentityCirc>(entry[0], "data", "IdentityCirc"), std::nullopt});
    if (!entry[1].is_none()) {
      py::tuple pair = bind::extract_tuple(entry[1], "data", 2);
      e.from = std::pair(bind::extract<uint32_t>(pair[0], "data"), bind::extract<uint32_t>(pair[1], "data"));
    }
  });
  return entries;
}

}  // namespace

py::class_<Proof> pybind_proof(py::module_& m, const char* name) {
  return py::class_<Proof>(m, name, py::is_final(),
                           "Proof(data)\n--\n\nExported proof DAG.\n\nEach entry stores:\n- an identity circuit,\n- "
                           "either `None` (assumption) or `(lhs_idx, rhs_idx)` showing how it is derived.");
}

void pybind_proof_methods(py::module_&, py::class_<Proof>& c) {
  c.def(py::init([](py::handle data) { return Proof{extract_entries(data)}; }), py::arg("data"),
        "__init__(self, data)\n--\n\n");
  c.def_property_readonly(
      "raw",
      [](const Proof& self) {
        py::list out;
        for (const ProofEntry& e : self.entries) out.append(to_python(e));
        return out;
      },
      "Returns raw proof entries.");
  c.def("__str__", &Proof::display);
  c.def("__repr__", [](const Proof& self) { return std::to_string(self.entries.size()); });
  def_order(c);
}

void pybind_export_proof_methods(py::module_&, py::class_<IdentityProver>& c) {
  c.def(
      "export_proof",
      [](const IdentityProver& self, py::handle identity, py::handle additional_size, py::handle count_limit) {
        auto id = bind::extract_bound<IdentityCirc>(identity, "identity", "IdentityCirc");
        auto size = bind::extract<uint32_t>(additional_size, "additional_size");
        auto limit = bind::extract<uint32_t>(count_limit, "count_limit");
        std::optional<Proof> proof = export_proof(self, id, size, limit);
        return proof ? py::cast(std::move(*proof)) : py::none();
      },
      py::arg("identity"), py::arg("additional_size"), py::arg("count_limit"),
      "export_proof(self, identity, additional_size, count_limit)\n--\n\nExports a proof DAG when `identity` is "
      "derivable under the given limits.");
}

}  // namespace morvane
