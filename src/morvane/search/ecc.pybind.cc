#include "morvane/search/ecc.pybind.h"

#include <pybind11/stl.h>

namespace morvane {

namespace py = pybind11;

py::class_<ECC> pybind_ecc(py::module_& m, const char* name) {
  return py::class_<ECC>(m, name, py::is_final(), "One equivalence class of circuits.");
}

void pybind_ecc_methods(py::module_&, py::class_<ECC>& c) {
  c.def("circuits", &ECC::materialized,
        "circuits(self)\n--\n\nReturns all circuits in this class with swap instructions materialized.");
  c.def("__str__", &ECC::display);
  c.def(
      "__eq__", [](const ECC& a, const ECC& b) { return a == b; }, py::is_operator());
  c.def(
      "__ne__", [](const ECC& a, const ECC& b) { return a != b; }, py::is_operator());
}

py::class_<ECCs> pybind_ecc_s(py::module_& m, const char* name) {
  return py::class_<ECCs>(m, name, py::is_final(), "Collection of equivalence classes for a fixed number of qubits.");
}

void pybind_ecc_s_methods(py::module_&, py::class_<ECCs>& c) {
  c.def_property_readonly("nqubits", [](const ECCs& e) { return e.nqubits; });
  c.def("__len__", [](const ECCs& e) { return e.eccs.size(); });
  c.def("__str__", &ECCs::display);
  c.def(
      "__eq__", [](const ECCs& a, const ECCs& b) { return a == b; }, py::is_operator());
  c.def(
      "__ne__", [](const ECCs& a, const ECCs& b) { return a != b; }, py::is_operator());
  c.def("check", &ECCs::check, "check(self)\n--\n\nReturns classes that fail randomized equivalence checks.");
  c.def(
      "to_list", [](const ECCs& e) { return e.eccs; }, "to_list(self)\n--\n\nReturns all classes as a Python list.");
  c.def("filter_single", &ECCs::filter_single, "filter_single(self)\n--\n\nRemoves classes with only one circuit.");
}

}  // namespace morvane
