#include "morvane/circ/gate.pybind.h"

#include <optional>

#include "morvane/circ/instr.h"
#include "morvane/circ/param.h"
#include "morvane/circ/instruction.h"
#include "morvane/py/convert.h"

namespace morvane {

namespace py = pybind11;

namespace {

/// The gate's matrix as a new array. The entries are copied out under the registry's read lock and
/// the array is made after it is released: making a Python object can run Python code (a
/// collection, a finaliser), which must be free to register gates.
py::object matrix_to_python(Gate16 g) { return bind::to_python(g.matrix([](const CMatrix& src) { return src; })); }

/// The integer operands of a call: all ints 0..255, or nothing.
std::optional<std::vector<uint8_t>> qubits_from_args(const py::args& args) {
  std::vector<uint8_t> out;
  out.reserve(args.size());
  for (py::handle item : args) {
    auto v = bind::try_extract_int(item, 0, 255);
    if (!v) return std::nullopt;
    out.push_back(static_cast<uint8_t>(*v));
  }
  return out;
}

/// The Argument operands of a call: all Argument objects, or nothing.
std::optional<std::vector<Argument>> arguments_from_args(const py::args& args) {
  std::vector<Argument> out;
  out.reserve(args.size());
  for (py::handle item : args) {
    if (!py::isinstance<Argument>(item)) return std::nullopt;
    out.push_back(item.cast<Argument>());
  }
  return out;
}

/// gate(0, 1) -> Instr; gate(Argument, ...) -> Instruction (the first nqargs operands are the
/// qubit operands, the rest the classical ones).
py::object call_gate(Gate16 g, const py::args& args, const py::kwargs& kwargs) {
  for (auto item : kwargs)
    throw py::type_error(fmt::format("Gate.__call__() got an unexpected keyword argument '{}'",
                                     py::str(item.first).cast<std::string>()));
  if (auto qubits = qubits_from_args(args)) {
    uint32_t n = g.nqargs();
    if (qubits->size() != n) panic(fmt::format("Number of arguments not match for gate {}", g.display()));
    // No uniqueness test: the call builds the instruction exactly as given.
    return py::cast(Instr32{g, QArgs16::from_iter(*qubits)});
  }
  if (auto arguments = arguments_from_args(args)) {
    size_t n = g.nqargs();
    if (arguments->size() < n)
      panic(fmt::format("range end index {} out of range for slice of length {}", n, arguments->size()));
    Instruction instr{g, {}, {}};
    instr.qargs.assign(arguments->begin(), arguments->begin() + ptrdiff_t(n));
    instr.cargs.assign(arguments->begin() + ptrdiff_t(n), arguments->end());
    return py::cast(std::move(instr));
  }
  bind::raise_type_error("args",
                         "cannot convert the operands to either accepted form: all qubit indices (ints from 0 to "
                         "255) or all `Argument` objects");
}

}  // namespace

py::class_<Gate16> pybind_gate(py::module_& m) {
  return py::class_<Gate16>(
      m, "Gate", py::is_final(), "Gate(name, params, matrix)\n--\n\nParameterized quantum gate definition used by both search and Python APIs.");
}

void pybind_gate_methods(py::module_&, py::class_<Gate16>& c) {
  c.def(py::init([](py::handle name, py::handle params, py::handle matrix) {
          auto n = bind::extract<std::string>(name, "name");
          auto p = bind::extract<std::vector<std::string>>(params, "params");
          auto mat = bind::extract_matrix(matrix, "matrix");
          return Gate16::make(std::move(n), std::move(p), std::move(mat));
        }),
        py::arg("name"), py::arg("params"), py::arg("matrix"), "__init__(self, name, params, matrix)\n--\n\n");
  c.def("__call__", &call_gate, "__call__(self, *args)\n--\n\n");
  c.def_static(
      "from_name", [](py::handle name) { return Gate16::from_name(bind::extract<std::string>(name, "name")); },
      py::arg("name"), "from_name(name)\n--\n\nLooks up a built-in gate by display name.");
  c.def("adjoint", &Gate16::adjoint, "adjoint(self)\n--\n\nReturns the adjoint (inverse) gate.");
  c.def_property_readonly("name", &Gate16::name, "Gate name.");
  c.def_property_readonly("params", &Gate16::params, "Symbolic parameter list.");
  c.def_property_readonly(
      "params_f",
      [](Gate16 g) {
        std::vector<double> values;
        for (const std::string& text : g.params()) {
          EvalResult r = evaluate_with_pi(text);
          if (auto* e = std::get_if<NumericError>(&r)) throw py::value_error(e->display());
          values.push_back(std::get<double>(r));
        }
        return values;
      },
      "Numeric parameters evaluated with support for `pi` expressions.");
  c.def_property_readonly("nqargs", &Gate16::nqargs, "Number of qubit arguments required by this gate.");
  c.def_property_readonly("matrix", &matrix_to_python, "Dense unitary matrix.");
  c.def("__eq__", [](Gate16 a, Gate16 b) { return a == b; }, py::is_operator());
  c.def("__ne__", [](Gate16 a, Gate16 b) { return a != b; }, py::is_operator());
  c.def("__hash__", [](Gate16 g) {
    SipHasher13 h;
    g.hash_into(h);
    return bind::py_hash(h.finish());
  });
  c.def("__str__", &Gate16::display);
}

}  // namespace morvane
