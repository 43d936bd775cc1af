#include "morvane/circ/gate.pybind.h"

#include <optional>

#include "morvane/circ/gate_call.h"
#include "morvane/py/convert.h"

namespace morvane {

namespace py = pybind11;

namespace {

/// The gate's matrix as a new array. The entries are copied out under the registry's read lock and
/// the array is made after it is released: making a Python object can run Python code (a
/// collection, a finaliser), which must be free to register gates.
py::object matrix_to_python(Gate16 g) {
  return bind::to_python(g.matrix([](const CMatrix& src) { return src; }));
}

/// gate(0, 1) -> Instr; gate(Argument, ...) -> Instruction.
py::object call(Gate16 g, const py::args& args, const py::kwargs& kwargs) {
  for (auto item : kwargs)
    throw py::type_error(fmt::format("Gate.__call__() got an unexpected keyword argument '{}'",
                                     py::str(item.first).cast<std::string>()));
  if (auto qubits = bind::try_extract_qubits(args)) return py::cast(call_gate(g, *qubits));
  if (auto arguments = bind::try_extract_arguments(args)) return py::cast(call_gate(g, *arguments));
  bind::raise_type_error("args",
                         "cannot convert the operands to either accepted form: all qubit indices (ints from 0 to "
                         "255) or all `Argument` objects");
}

}  // namespace

py::class_<Gate16> pybind_gate(py::module_& m, const char* name) {
  return py::class_<Gate16>(
      m, name, py::is_final(),
      "Gate(name, params, matrix)\n--\n\nParameterized quantum gate definition used by both search and Python APIs.");
}

void pybind_gate_methods(py::module_&, py::class_<Gate16>& c) {
  c.def(py::init([](py::handle name, py::handle params, py::handle matrix) {
          auto n = bind::extract<std::string>(name, "name");
          auto p = bind::extract<std::vector<std::string>>(params, "params");
          auto mat = bind::extract_matrix(matrix, "matrix");
          check_unitary(mat);
          return Gate16::make(std::move(n), std::move(p), std::move(mat));
        }),
        py::arg("name"), py::arg("params"), py::arg("matrix"), "__init__(self, name, params, matrix)\n--\n\n");
  c.def("__call__", &call, "__call__(self, *args)\n--\n\n");
  c.def_static(
      "from_name", [](py::handle name) { return Gate16::from_name(bind::extract<std::string>(name, "name")); },
      py::arg("name"), "from_name(name)\n--\n\nLooks up a built-in gate by display name.");
  c.def("adjoint", &Gate16::adjoint, "adjoint(self)\n--\n\nReturns the adjoint (inverse) gate.");
  c.def_property_readonly("name", &Gate16::name, "Gate name.");
  c.def_property_readonly("params", &Gate16::params, "Symbolic parameter list.");
  c.def_property_readonly(
      "params_f",
      [](Gate16 g) {
        auto values = gate_params_f(g);
        if (auto* e = std::get_if<NumericError>(&values)) throw py::value_error(e->display());
        return std::get<std::vector<double>>(std::move(values));
      },
      "Numeric parameters evaluated with support for `pi` expressions.");
  c.def_property_readonly("nqargs", &Gate16::nqargs, "Number of qubit arguments required by this gate.");
  c.def_property_readonly("matrix", &matrix_to_python, "Dense unitary matrix.");
  c.def(
      "__eq__", [](Gate16 a, Gate16 b) { return a == b; }, py::is_operator());
  c.def(
      "__ne__", [](Gate16 a, Gate16 b) { return a != b; }, py::is_operator());
  c.def("__hash__", [](Gate16 g) {
    SipHasher13 h;
    g.hash_into(h);
    return bind::py_hash(h.finish());
  });
  c.def("__str__", &Gate16::display);
}

}  // namespace morvane
