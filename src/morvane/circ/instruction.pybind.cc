#include "morvane/circ/instruction.pybind.h"

#include "morvane/py/convert.h"

namespace morvane {

namespace py = pybind11;

namespace {

/// An operand of the constructor: an Argument (copied) or a 2-tuple (str, int from 0 to 2^32 - 1).
/// Anything else, an out-of-range index included, fits neither form and is a TypeError.
Argument operand_from_python(py::handle item, const char* name) {
  if (py::isinstance<Argument>(item)) return item.cast<Argument>();
  if (PyTuple_Check(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2) {
    PyObject* regid = PyTuple_GET_ITEM(item.ptr(), 0);
    if (PyUnicode_Check(regid)) {
      if (auto index = bind::try_extract_int(PyTuple_GET_ITEM(item.ptr(), 1), 0, UINT32_MAX))
        return Argument{bind::extract<std::string>(regid, name), static_cast<uint32_t>(*index)};
    }
  }
  bind::raise_type_error(name, std::string("'") + Py_TYPE(item.ptr())->tp_name +
                                   "' object cannot be converted to either accepted item: an `Argument` or a "
                                   "tuple (str, int from 0 to 2**32 - 1)");
}

std::vector<Argument> operands_from_python(py::handle obj, const char* name) {
  std::vector<Argument> out;
  bind::for_each_item(obj, name, [&](py::handle item) { out.push_back(operand_from_python(item, name)); });
  return out;
}

std::vector<Argument> arguments_from_python(py::handle obj, const char* name) {
  std::vector<Argument> out;
  bind::for_each_item(obj, name,
                      [&](py::handle item) { out.push_back(bind::extract_bound<Argument>(item, name, "Argument")); });
  return out;
}

py::list arguments_to_python(const std::vector<Argument>& v) {
  py::list out;
  for (const Argument& a : v) out.append(py::cast(a));
  return out;
}

}  // namespace

py::class_<Argument> pybind_argument(py::module_& m) {
  return py::class_<Argument>(
      m, "Argument", py::is_final(),
      "Argument(regid, index)\n--\n\nA named register argument (e.g., `q[0]`, `c[2]`) used by high-level instructions.");
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
  c.def("__eq__", [](const Argument& a, const Argument& b) { return a == b; }, py::is_operator());
  c.def("__ne__", [](const Argument& a, const Argument& b) { return a != b; }, py::is_operator());
  c.def("__hash__", [](const Argument& a) { return bind::py_hash(a.hash_value()); });
  c.def("__str__", &Argument::display);
  c.def("__repr__", &Argument::debug);
}

py::class_<Instruction> pybind_instruction(py::module_& m) {
  return py::class_<Instruction>(
      m, "Instruction", py::is_final(),
      "Instruction(gate, qargs, cargs=...)\n--\n\nA high-level instruction with gate + explicit quantum/classical register "
      "arguments.");
}

void pybind_instruction_methods(py::module_&, py::class_<Instruction>& c) {
  // An omitted cargs is an empty tuple, which converts like an explicit empty sequence.
  c.def(py::init([](py::handle gate, py::handle qargs, py::handle cargs) {
          Gate16 g = bind::extract_bound<Gate16>(gate, "gate", "Gate");
          auto q = operands_from_python(qargs, "qargs");
          auto cv = operands_from_python(cargs, "cargs");
          return Instruction{g, std::move(q), std::move(cv)};
        }),
        py::arg("gate"), py::arg("qargs"), py::arg("cargs") = py::tuple(),
        "__init__(self, gate, qargs, cargs=...)\n--\n\n");
  bind::def_rw_property(
      c, "gate", [](const Instruction& i) { return i.gate; },
      [](Instruction& i, py::handle v) { i.gate = bind::extract_bound<Gate16>(v, "gate", "Gate"); });
  bind::def_rw_property(
      c, "qargs", [](const Instruction& i) { return arguments_to_python(i.qargs); },
      [](Instruction& i, py::handle v) { i.qargs = arguments_from_python(v, "qargs"); });
  bind::def_rw_property(
      c, "cargs", [](const Instruction& i) { return arguments_to_python(i.cargs); },
      [](Instruction& i, py::handle v) { i.cargs = arguments_from_python(v, "cargs"); });
  c.def("__eq__", [](const Instruction& a, const Instruction& b) { return a == b; }, py::is_operator());
  c.def("__ne__", [](const Instruction& a, const Instruction& b) { return a != b; }, py::is_operator());
  c.def("__hash__", [](const Instruction& i) { return bind::py_hash(i.hash_value()); });
  c.def("__str__", &Instruction::display);
  c.def("__repr__", &Instruction::debug);
}

}  // namespace morvane
