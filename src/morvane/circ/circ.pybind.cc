#include "morvane/circ/circ.pybind.h"

#include <pybind11/stl.h>

#include "morvane/circ/instr.pybind.h"
#include "morvane/identity/canonical.h"
#include "morvane/py/convert.h"
#include "morvane/py/native_form.h"

namespace morvane {

namespace py = pybind11;

Instr32 instr_at(const Circ& c, py::handle idx) {
  const int64_t i = bind::extract<int32_t>(idx, "idx");
  if (c.instrs.empty()) panic("attempt to calculate the remainder with a divisor of zero");
  const int64_t len = int64_t(c.instrs.size());
  return c.instrs[size_t(((i % len) + len) % len)];
}

py::dict circ_to_python(const Circ& c) {
  GateTexts texts;
  py::list instrs;
  for (Instr32 i : c.instrs) instrs.append(instr_to_python(i, texts));
  py::dict d;
  d["instrs"] = instrs;
  d["perm"] = bind::native::permut_to_python(c.perm);
  return d;
}

Circ circ_from_python(py::handle obj) {
  auto fields = bind::native::read_fields(obj, {"instrs", "perm"});
  GateNames names;
  Circ c;
  for (const py::object& item : bind::native::read_seq(fields[0])) c.instrs.push_back(instr_from_python(item, names));
  c.perm = bind::native::permut_from_python(fields[1]);
  return c;
}

py::class_<Circ> pybind_circ(py::module_& m, const char* name) {
  return py::class_<Circ>(m, name, py::is_final(),
                          "Circ(instrs, perm=None)\n--\n\nCircuit with an explicit trailing qubit permutation.");
}

void pybind_circ_methods(py::module_&, py::class_<Circ>& c) {
  c.def(py::init([](py::handle instrs, py::handle perm) {
          auto v = bind::extract_bound_list<Instr32>(instrs, "instrs", "Instr");
          if (perm.is_none()) return Circ::make_no_perm(std::move(v));
          const Permut32 p = bind::extract<Permut32>(perm, "perm");
          return Circ::make(std::move(v), p);
        }),
        py::arg("instrs"), py::arg("perm") = py::none(), "__init__(self, instrs, perm=None)\n--\n\n");
  c.def("len", &Circ::len, "len(self)\n--\n\nNumber of instructions.");
  c.def("is_empty", &Circ::is_empty, "is_empty(self)\n--\n\nReturns whether the circuit is empty.");
  c.def("nqubits", &Circ::nqubits, "nqubits(self)\n--\n\nNumber of qubits tracked by the permutation.");
  c.def(
      "permut", [](const Circ& self, py::handle perm) { return self.permut(bind::extract<Permut32>(perm, "perm")); },
      py::arg("perm"), "permut(self, perm)\n--\n\nApplies a qubit permutation to this circuit.");
  c.def(
      "rotate", [](const Circ& self, py::handle n) { return self.rotate(bind::extract<int32_t>(n, "n")); },
      py::arg("n"), "rotate(self, n)\n--\n\nCircularly rotates instruction order by `n`.");
  c.def("inverse", &Circ::inverse, "inverse(self)\n--\n\nReturns inverse circuit.");
  c.def("remove_swaps", &Circ::remove_swaps,
        "remove_swaps(self)\n--\n\nRemoves explicit swap gates into the stored trailing permutation.");
  c.def("instrs_with_swaps", &Circ::instrs_with_swaps,
        "instrs_with_swaps(self)\n--\n\nReturns instructions plus swaps needed for stored permutation.");
  c.def(
      "representative", [](const Circ& self) { return representative(self); },
      "representative(self)\n--\n\nReturns canonical circuit representative.");
  c.def(
      "rotate_representative", [](const Circ& self) { return rotate_representative(self); },
      "rotate_representative(self)\n--\n\nReturns canonical identity representative across rotations/permutations.");
  c.def(
      "representative_with_perm",
      [](const Circ& self) {
        auto [rep, p] = representative_with_perm(self);
        return py::make_tuple(py::cast(std::move(rep)), bind::to_python(p));
      },
      "representative_with_perm(self)\n--\n\nReturns `(representative, applied_perm)` used in canonicalization.");
  c.def_property_readonly("instrs", [](const Circ& self) { return self.instrs; });
  c.def_property_readonly("perm", [](const Circ& self) { return bind::to_python(self.perm); });
  c.def("__len__", &Circ::len);
  c.def("__getitem__", &instr_at, py::arg("idx"));
  c.def("__hash__", [](const Circ& self) { return bind::py_hash(self.hash_value()); });
  c.def(
      "__add__", [](const Circ& a, const Circ& b) { return a + b; }, py::is_operator());
  def_order(c);
  c.def("__str__", &Circ::display);
  c.def("__repr__", &Circ::debug);
}

}  // namespace morvane
