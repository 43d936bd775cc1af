#include "morvane/circ/instr.pybind.h"

#include "morvane/py/convert.h"
#include "morvane/py/native_form.h"

namespace morvane {

namespace py = pybind11;

py::class_<Instr32> pybind_instr(py::module_& m, const char* name) {
  return py::class_<Instr32>(
      m, name, py::is_final(),
      "Instr(gate, qargs)\n--\n\nA compact, index-only quantum instruction used internally by the search/prover.");
}

void pybind_instr_methods(py::module_&, py::class_<Instr32>& c) {
  c.def(py::init([](py::handle gate, py::handle qargs) {
          Gate16 g = bind::extract_bound<Gate16>(gate, "gate", "Gate");
          auto q = bind::extract<std::vector<uint8_t>>(qargs, "qargs");
          return Instr32::make(g, q);
        }),
        py::arg("gate"), py::arg("qargs"), "__init__(self, gate, qargs)\n--\n\n");
  c.def_property_readonly(
      "gate", [](Instr32 i) { return i.gate; }, "Underlying gate.");
  c.def_property_readonly(
      "qargs",
      [](Instr32 i) {
        auto s = i.qargs.as_slice();
        return py::bytes(reinterpret_cast<const char*>(s.data()), s.size());
      },
      "Qubit arguments as dense integer indices.");
  c.def(
      "apply_permutation",
      [](Instr32 i, py::handle perm) { return i.apply_permutation(bind::extract<Permut32>(perm, "perm")); },
      py::arg("perm"), "apply_permutation(self, perm)\n--\n\nApplies a qubit permutation.");
  c.def(
      "permut", [](Instr32 i, py::handle perm) { return i.permut(bind::extract<Permut32>(perm, "perm")); },
      py::arg("perm"), "permut(self, perm)\n--\n\nAlias of `apply_permutation`.");
  c.def("arg_mask", &Instr32::arg_mask, "arg_mask(self)\n--\n\nBitmask of qubits touched by this instruction.");
  c.def(
      "pass_mask", [](Instr32 i, py::handle mask) { return i.pass_mask(bind::extract<uint8_t>(mask, "mask")); },
      py::arg("mask"), "pass_mask(self, mask)\n--\n\nUpdates a frontier mask for left-to-right scheduling checks.");
  c.def("largest_qubit", &Instr32::largest_qubit,
        "largest_qubit(self)\n--\n\nLargest qubit index touched by this instruction.");
  c.def(
      "disjoint",
      [](Instr32 i, py::handle other) { return i.disjoint(bind::extract_bound<Instr32>(other, "other", "Instr")); },
      py::arg("other"), "disjoint(self, other)\n--\n\nReturns `true` when this and `other` touch disjoint qubits.");
  c.def("adjoint", &Instr32::adjoint, "adjoint(self)\n--\n\nReturns the adjoint instruction.");
  c.def(
      "position_of_qubit",
      [](Instr32 i, py::handle qubit) { return i.position_of_qubit(bind::extract<uint8_t>(qubit, "qubit")); },
      py::arg("qubit"),
      "position_of_qubit(self, qubit)\n--\n\nReturns position of `qubit` in argument list, if present.");
  c.def("__str__", &Instr32::display);
  c.def("__repr__", &Instr32::display);
  c.def("__hash__", [](Instr32 i) { return bind::py_hash(i.hash_value()); });
}

py::tuple instr_to_python(Instr32 i, GateTexts& texts) {
  return py::make_tuple(texts(i.gate), py::make_tuple(i.qargs.bytes[0], i.qargs.bytes[1]));
}

Instr32 instr_from_python(py::handle obj, GateNames& names) {
  auto items = bind::native::read_tuple(obj, 2);
  const Gate16 gate = names(bind::native::read_str(items[0]));
  auto bytes = bind::native::read_tuple(items[1], 2);
  Instr32 i{gate, QArgs16{}};
  for (size_t k = 0; k < 2; ++k) i.qargs.bytes[k] = uint8_t(bind::native::read_uint(bytes[k], 255));
  return i;
}

}  // namespace morvane
