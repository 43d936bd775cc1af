#include "morvane/identity/identity_circ.pybind.h"

#include <pybind11/stl.h>

#include "morvane/circ/circ.pybind.h"
#include "morvane/py/convert.h"

namespace morvane {

namespace py = pybind11;

py::class_<IdentityCirc> pybind_identity_circ(py::module_& m, const char* name) {
  return py::class_<IdentityCirc>(
      m, name, py::is_final(),
      "IdentityCirc(circuit)\n--\n\nCanonical identity circuit (a circuit proven equivalent to identity).");
}

void pybind_identity_circ_methods(py::module_&, py::class_<IdentityCirc>& c) {
  c.def(py::init([](py::handle circuit) {
          return IdentityCirc::unchecked(bind::extract_bound<Circ>(circuit, "circuit", "Circ"));
        }),
        py::arg("circuit"), "__init__(self, circuit)\n--\n\n");
  c.def("check", &IdentityCirc::check, "check(self)\n--\n\nRandomized semantic check that this circuit is identity.");
  c.def("hash_value", &IdentityCirc::hash_value,
        "hash_value(self)\n--\n\nStable hash of the canonical identity representation.");
  c.def("nqubits", &IdentityCirc::nqubits, "nqubits(self)\n--\n\nReturns number of qubits.");
  c.def(
      "qargs_forward",
      [](const IdentityCirc& self, py::handle gate_id) {
        return self.qargs_forward(bind::extract<uint32_t>(gate_id, "gate_id"));
      },
      py::arg("gate_id"),
      "qargs_forward(self, gate_id)\n--\n\nFor each argument of gate `gate_id`, returns next gate index using that "
      "qubit.");
  c.def(
      "qargs_backward",
      [](const IdentityCirc& self, py::handle gate_id) {
        return self.qargs_backward(bind::extract<uint32_t>(gate_id, "gate_id"));
      },
      py::arg("gate_id"),
      "qargs_backward(self, gate_id)\n--\n\nFor each argument of gate `gate_id`, returns previous gate index using "
      "that "
      "qubit.");
  c.def_property_readonly(
      "inner", [](const IdentityCirc& self) { return self.circ; }, "Underlying circuit representation.");
  c.def(
      "pythonize", [](const IdentityCirc& self) { return circ_to_python(self.circ); },
      "pythonize(self)\n--\n\nConverts this identity to a Python-serializable form.");
  c.def_static(
      "from_python", [](py::handle obj) { return IdentityCirc::as_read(circ_from_python(obj)); }, py::arg("obj"),
      "from_python(obj)\n--\n\nParses a Python-serialized identity object.");
  c.def("__str__", &IdentityCirc::display);
  c.def("__repr__", &IdentityCirc::debug);
  c.def("__hash__", [](const IdentityCirc& self) { return bind::py_hash(self.hash_value()); });
  c.def("__len__", [](const IdentityCirc& self) { return self.circ.len(); });
  c.def(
      "__getitem__", [](const IdentityCirc& self, py::handle idx) { return instr_at(self.circ, idx); }, py::arg("idx"));
  def_order(c);
}

}  // namespace morvane
