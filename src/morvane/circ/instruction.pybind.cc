#include "morvane/circ/instruction.pybind.h"

#include "morvane/py/convert.h"

namespace morvane {

namespace py = pybind11;

py::class_<Argument> pybind_argument(py::module_& m, const char* name) {
  return py::class_<Argument>(m, name, py::is_final(),
                              "Argument(regid, index)\n--\n\nA named register argument (e.g., `q[0]`, `c[2]`) used by "
                              "high-level instructions.");
}

void pybind_argument_methods(py::module_&, py::class_<Argument>& c) {
  c.def(py::init([](py::handle regid, py::handle index) {
          auto r = bind::extract<std::string>(regid, "regid");
          auto i = bind::extract<uint32_t>(index, "index");
          return Argument{std::move(r), i};
        }),
        py::arg("regid"), py::arg("index"), "__init__(self, regid, index)\n--\n\n");
  bind::def_rw_property(
      c, "regid", [](const Argument& a) { return a.regid; },
      [](Argument& a, py::handle v) { a.regid = bind::extract<std::string>(v, "regid"); });
  bind::def_rw_property(
      c, "index", [](const Argument& a) { return a.index; },
      [](Argument& a, py::handle v) { a.index = bind::extract<uint32_t>(v, "index"); });
  c.def(
      "__eq__", [](const Argument& a, const Argument& b) { return a == b; }, py::is_operator());
  c.def(
      "__ne__", [](const Argument& a, const Argument& b) { return a != b; }, py::is_operator());
  c.def("__hash__", [](const Argument& a) { return bind::py_hash(a.hash_value()); });
  c.def("__str__", &Argument::display);
  c.def("__repr__", &Argument::debug);
}

py::class_<Instruction> pybind_instruction(py::module_& m, const char* name) {
  return py::class_<Instruction>(m, name, py::is_final(),
                                 "Instruction(gate, qargs, cargs=...)\n--\n\nA high-level instruction with gate + "
                                 "explicit quantum/classical register "
                                 "arguments.");
}

void pybind_instruction_methods(py::module_&, py::class_<Instruction>& c) {
  // An omitted cargs is an empty tuple, which converts like an explicit empty sequence.
  c.def(py::init([](py::handle gate, py::handle qargs, py::handle cargs) {
          Gate16 g = bind::extract_bound<Gate16>(gate, "gate", "Gate");
          auto q = bind::extract_operands(qargs, "qargs");
          auto cv = bind::extract_operands(cargs, "cargs");
          return Instruction{g, std::move(q), std::move(cv)};
        }),
        py::arg("gate"), py::arg("qargs"), py::arg("cargs") = py::tuple(),
        "__init__(self, gate, qargs, cargs=...)\n--\n\n");
  bind::def_rw_property(
      c, "gate", [](const Instruction& i) { return i.gate; },
      [](Instruction& i, py::handle v) { i.gate = bind::extract_bound<Gate16>(v, "gate", "Gate"); });
  bind::def_rw_property(
      c, "qargs", [](const Instruction& i) { return bind::to_python(i.qargs); },
      [](Instruction& i, py::handle v) { i.qargs = bind::extract_bound_list<Argument>(v, "qargs", "Argument"); });
  bind::def_rw_property(
      c, "cargs", [](const Instruction& i) { return bind::to_python(i.cargs); },
      [](Instruction& i, py::handle v) { i.cargs = bind::extract_bound_list<Argument>(v, "cargs", "Argument"); });
  c.def(
      "__eq__", [](const Instruction& a, const Instruction& b) { return a == b; }, py::is_operator());
  c.def(
      "__ne__", [](const Instruction& a, const Instruction& b) { return a != b; }, py::is_operator());
  c.def("__hash__", [](const Instruction& i) { return bind::py_hash(i.hash_value()); });
  c.def("__str__", &Instruction::display);
  c.def("__repr__", &Instruction::debug);
}

}  // namespace morvane
