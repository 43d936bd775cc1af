#include "morvane/circ/gate.pybind.h"

#include <pybind11/numpy.h>

#include <complex>

#include "morvane/circ/instr.h"
#include "morvane/py/convert.h"

namespace morvane {

namespace py = pybind11;

namespace {

using ComplexArray = py::array_t<std::complex<double>, py::array::forcecast>;

/// A complex128 2-D array, used as it is, or the result of numpy.asarray(obj) without a dtype.
CMatrix matrix_from_python(py::handle obj) {
  auto np = py::module_::import("numpy");
  auto is_c128_2d = [&](py::handle a) {
    if (!py::isinstance<py::array>(a)) return false;
    auto arr = py::reinterpret_borrow<py::array>(a);
    return arr.ndim() == 2 && arr.dtype().is(py::dtype::of<std::complex<double>>());
  };
  py::object arr_obj = py::reinterpret_borrow<py::object>(obj);
  if (!is_c128_2d(arr_obj)) {
    try {
      arr_obj = np.attr("asarray")(obj);
    } catch (py::error_already_set&) {
      bind::raise_prefixed("matrix");
    }
    if (!is_c128_2d(arr_obj))
      bind::raise_type_error("matrix", bind::cannot_convert(obj, "PyArray<Complex<f64>, Dim<[usize; 2]>>"));
  }
  auto arr = py::reinterpret_borrow<py::array>(arr_obj);
  if (arr.strides(0) < 0 || arr.strides(1) < 0) panic("called `Option::unwrap()` on a `None` value");
  auto rows = static_cast<uint32_t>(arr.shape(0)), cols = static_cast<uint32_t>(arr.shape(1));
  CMatrix m(rows, cols);
  auto* base = static_cast<const char*>(arr.data());
  for (uint32_t i = 0; i < rows; ++i)
    for (uint32_t j = 0; j < cols; ++j) {
      std::complex<double> c;
      std::memcpy(&c, base + i * arr.strides(0) + j * arr.strides(1), sizeof c);
      m(i, j) = Complex{c.real(), c.imag()};
    }
  return m;
}

py::array matrix_to_python(const CMatrix& m) {
  py::array_t<std::complex<double>, py::array::f_style> out({py::ssize_t(m.rows), py::ssize_t(m.cols)});
  auto* data = out.mutable_data();
  for (size_t k = 0; k < m.data.size(); ++k) data[k] = {m.data[k].re.v, m.data[k].im.v};
  return out;
}

}  // namespace

py::class_<Gate16> pybind_gate(py::module_& m) {
  return py::class_<Gate16>(
      m, "Gate", "Gate(name, params, matrix)\n--\n\nParameterized quantum gate definition used by both search and Python APIs.");
}

void pybind_gate_methods(py::module_&, py::class_<Gate16>& c) {
  c.def(py::init([](py::handle name, py::handle params, py::handle matrix) {
          auto n = bind::extract<std::string>(name, "name");
          auto p = bind::extract<std::vector<std::string>>(params, "params");
          auto mat = matrix_from_python(matrix);
          return Gate16::make(std::move(n), std::move(p), std::move(mat));
        }),
        py::arg("name"), py::arg("params"), py::arg("matrix"), "__init__(self, name, params, matrix)\n--\n\n");
  c.def_static(
      "from_name", [](py::handle name) { return Gate16::from_name(bind::extract<std::string>(name, "name")); },
      py::arg("name"), "from_name(name)\n--\n\nLooks up a built-in gate by display name.");
  c.def("adjoint", &Gate16::adjoint, "adjoint(self)\n--\n\nReturns the adjoint (inverse) gate.");
  c.def_property_readonly("name", &Gate16::name, "Gate name.");
  c.def_property_readonly("params", &Gate16::params, "Symbolic parameter list.");
  c.def_property_readonly("nqargs", &Gate16::nqargs, "Number of qubit arguments required by this gate.");
  c.def_property_readonly(
      "matrix", [](Gate16 g) { return g.matrix([](const CMatrix& m) { return matrix_to_python(m); }); },
      "Dense unitary matrix.");
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
