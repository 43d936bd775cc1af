#include "morvane/circ/gate.pybind.h"

#include <pybind11/numpy.h>

#include <complex>
#include <cstring>
#include <optional>

#include "morvane/circ/instr.h"
#include "morvane/circ/param.h"
#include "morvane/circ/instruction.h"
#include "morvane/py/convert.h"

namespace morvane {

namespace py = pybind11;

namespace {

using Complex128 = std::complex<double>;

/// A complex128 2-D array, used as it is, or the result of numpy.asarray(obj) without a dtype.
/// Nothing converts the element type.
CMatrix matrix_from_python(py::handle obj) {
  py::object arr_obj = py::reinterpret_borrow<py::object>(obj);
  if (!py::isinstance<py::array>(arr_obj)) {
    try {
      arr_obj = py::module_::import("numpy").attr("asarray")(obj);
    } catch (py::error_already_set& e) {
      // An object NumPy cannot turn into an array (a ragged nested list, say) is a wrong argument.
      bool wrong_value = e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError);
      e.restore();
      bind::raise_prefixed("matrix", wrong_value ? PyExc_TypeError : nullptr);
    }
    if (!py::isinstance<py::array>(arr_obj))
      bind::raise_type_error("matrix", bind::cannot_convert(arr_obj, "PyArray<T, D>"));
  }
  auto arr = py::reinterpret_borrow<py::array>(arr_obj);
  if (arr.ndim() != 2) bind::raise_type_error("matrix", fmt::format("dimensionality mismatch:\n from={}, to=2", arr.ndim()));
  if (!py::array_t<Complex128>::check_(arr))
    bind::raise_type_error("matrix",
                           fmt::format("type mismatch:\n from={}, to=complex128", py::str(arr.dtype()).cast<std::string>()));
  if (arr.strides(0) < 0 || arr.strides(1) < 0) panic("called `Option::unwrap()` on a `None` value");
  // Checked on the full sizes, before they are narrowed to the matrix's 32-bit counts.
  check_gate_shape(uint64_t(arr.shape(0)), uint64_t(arr.shape(1)));
  auto rows = static_cast<uint32_t>(arr.shape(0)), cols = static_cast<uint32_t>(arr.shape(1));
  CMatrix m(rows, cols);
  auto* base = static_cast<const char*>(arr.data());
  for (uint32_t i = 0; i < rows; ++i)
    for (uint32_t j = 0; j < cols; ++j) {
      Complex128 c;
      std::memcpy(&c, base + i * arr.strides(0) + j * arr.strides(1), sizeof c);
      m(i, j) = Complex{c.real(), c.imag()};
    }
  return m;
}

/// A new complex128 array in column-major order. The entries are copied out under the registry's
/// read lock and the array is made after it is released: making a Python object can run Python
/// code (a collection, a finaliser), which must be free to register gates.
py::array matrix_to_python(Gate16 g) {
  CMatrix m = g.matrix([](const CMatrix& src) { return src; });
  py::array_t<Complex128, py::array::f_style> out({py::ssize_t(m.rows), py::ssize_t(m.cols)});
  auto* data = out.mutable_data();
  for (size_t k = 0; k < m.data.size(); ++k) data[k] = {m.data[k].re.v, m.data[k].im.v};
  return out;
}

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
          auto mat = matrix_from_python(matrix);
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
