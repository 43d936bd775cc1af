#include "morvane/py/convert.h"

#include <fmt/format.h>
#include <pybind11/numpy.h>

#include <complex>
#include <cstring>
#include <stdexcept>

#include "morvane/core/panic.h"
#include "morvane/core/siphash.h"

namespace morvane::bind {

void raise_type_error(const char* name, const std::string& message) {
  throw py::type_error(std::string("argument '") + name + "': " + message);
}

void raise_prefixed(const char* name, PyObject* as_type) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (!type) raise_type_error(name, "conversion failed");
  std::string message;
  if (value) {
    if (PyObject* s = PyObject_Str(value)) {
      if (const char* c = PyUnicode_AsUTF8(s)) message = c;
      Py_DECREF(s);
    }
    PyErr_Clear();
  }
  std::string full = std::string("argument '") + name + "': " + message;
  PyObject* target = as_type ? as_type : type;
  PyErr_SetString(target, full.c_str());
  // Chain the original error as the cause of the prefixed one.
  PyObject *t2, *v2, *tb2;
  PyErr_Fetch(&t2, &v2, &tb2);
  PyErr_NormalizeException(&t2, &v2, &tb2);
  if (!v2 || !PyErr_GivenExceptionMatches(t2, target)) {
    // The error's class cannot be built from a message alone (UnicodeEncodeError, say): the
    // prefixed error is a TypeError instead.
    Py_XDECREF(t2);
    Py_XDECREF(v2);
    Py_XDECREF(tb2);
    PyErr_SetString(PyExc_TypeError, full.c_str());
    PyErr_Fetch(&t2, &v2, &tb2);
    PyErr_NormalizeException(&t2, &v2, &tb2);
  }
  if (value && v2)
    PyException_SetCause(v2, value);  // steals value
  else
    Py_XDECREF(value);
  PyErr_Restore(t2, v2, tb2);
  Py_DECREF(type);
  Py_XDECREF(tb);
  throw py::error_already_set();
}

void ensure_numpy_api() {
  // pybind11 keeps the API in a function-local static whose set-up imports numpy.
  static OnceWithGil once;
  once([] { py::detail::npy_api::get(); });
}

std::string cannot_convert(py::handle obj, const char* target) {
  return std::string("'") + Py_TYPE(obj.ptr())->tp_name + "' object cannot be converted to '" + target + "'";
}

int64_t extract_int(py::handle obj, const char* name, int64_t lo, int64_t hi) {
  PyObject* index = PyNumber_Index(obj.ptr());
  if (!index) raise_prefixed(name);
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
  Py_DECREF(index);
  if (v == -1 && PyErr_Occurred()) raise_prefixed(name);
  if (overflow != 0 || v < lo || v > hi)
    throw std::overflow_error(std::string("argument '") + name + "': out of range integral type conversion attempted");
  return v;
}

std::optional<int64_t> try_extract_int(py::handle obj, int64_t lo, int64_t hi) {
  PyObject* index = PyNumber_Index(obj.ptr());
  if (!index) {
    PyErr_Clear();
    return std::nullopt;
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
  Py_DECREF(index);
  if (v == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  if (overflow != 0 || v < lo || v > hi) return std::nullopt;
  return v;
}

py::tuple extract_tuple(py::handle obj, const char* name, size_t len) {
  if (!PyTuple_Check(obj.ptr())) raise_type_error(name, cannot_convert(obj, "PyTuple"));
  auto tuple = py::reinterpret_borrow<py::tuple>(obj);
  if (tuple.size() != len)
    throw py::value_error("expected tuple of length " + std::to_string(len) + ", but got tuple of length " +
                          std::to_string(tuple.size()));
  return tuple;
}

uint64_t extract_u64(py::handle obj, const char* name) {
  PyObject* index = PyNumber_Index(obj.ptr());
  if (!index) raise_prefixed(name);
  unsigned long long v = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_prefixed(name);
  return v;
}

double extract_f64(py::handle obj, const char* name) {
  double v = PyFloat_AsDouble(obj.ptr());
  if (v == -1.0 && PyErr_Occurred()) raise_prefixed(name);
  return v;
}

std::string extract_str(py::handle obj, const char* name) {
  if (!PyUnicode_Check(obj.ptr())) raise_type_error(name, cannot_convert(obj, "PyString"));
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj.ptr(), &len);
  if (!s) raise_prefixed(name);
  return std::string(s, size_t(len));
}

py::tuple to_python(Permut32 p) {
  auto images = p.images();
  py::tuple t(images.size());
  for (size_t i = 0; i < images.size(); ++i) t[i] = py::int_(images[i]);
  return t;
}

Py_hash_t py_hash(uint64_t h) { return static_cast<Py_hash_t>(py_hash_of(h)); }

Complex extract_complex(py::handle obj, const char* name) {
  Py_complex c = PyComplex_AsCComplex(obj.ptr());
  if (c.real == -1.0 && PyErr_Occurred()) raise_prefixed(name);
  return Complex{c.real, c.imag};
}

CMatrix extract_matrix(py::handle obj, const char* name) {
  using Complex128 = std::complex<double>;
  ensure_numpy_api();
  py::object arr_obj = py::reinterpret_borrow<py::object>(obj);
  if (!py::isinstance<py::array>(arr_obj)) {
    try {
      arr_obj = py::module_::import("numpy").attr("asarray")(obj);
    } catch (py::error_already_set& e) {
      // An object NumPy cannot turn into an array (a ragged nested list, say) is a wrong argument.
      bool wrong_value = e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError);
      e.restore();
      raise_prefixed(name, wrong_value ? PyExc_TypeError : nullptr);
    }
    if (!py::isinstance<py::array>(arr_obj)) raise_type_error(name, cannot_convert(arr_obj, "PyArray<T, D>"));
  }
  auto arr = py::reinterpret_borrow<py::array>(arr_obj);
  if (arr.ndim() != 2) raise_type_error(name, fmt::format("dimensionality mismatch:\n from={}, to=2", arr.ndim()));
  if (!py::array_t<Complex128>::check_(arr))
    raise_type_error(name,
                     fmt::format("type mismatch:\n from={}, to=complex128", py::str(arr.dtype()).cast<std::string>()));
  // Checked on the full sizes, before they are narrowed to the matrix's 32-bit counts.
  check_gate_shape(uint64_t(arr.shape(0)), uint64_t(arr.shape(1)));
  auto rows = static_cast<uint32_t>(arr.shape(0)), cols = static_cast<uint32_t>(arr.shape(1));
  CMatrix m(rows, cols);
  // Any strides: negative ones (reversed views) step back from the first element.
  auto* base = static_cast<const char*>(arr.data());
  const ptrdiff_t row_stride = arr.strides(0), col_stride = arr.strides(1);
  for (uint32_t i = 0; i < rows; ++i)
    for (uint32_t j = 0; j < cols; ++j) {
      Complex128 c;
      std::memcpy(&c, base + ptrdiff_t(i) * row_stride + ptrdiff_t(j) * col_stride, sizeof c);
      m(i, j) = Complex{c.real(), c.imag()};
    }
  return m;
}

Argument extract_operand(py::handle obj, const char* name) {
  if (py::isinstance<Argument>(obj)) return obj.cast<Argument>();
  if (PyTuple_Check(obj.ptr()) && PyTuple_GET_SIZE(obj.ptr()) == 2) {
    PyObject* regid = PyTuple_GET_ITEM(obj.ptr(), 0);
    if (PyUnicode_Check(regid)) {
      if (auto index = try_extract_int(PyTuple_GET_ITEM(obj.ptr(), 1), 0, UINT32_MAX))
        return Argument{extract<std::string>(regid, name), static_cast<uint32_t>(*index)};
    }
  }
  raise_type_error(name, std::string("'") + Py_TYPE(obj.ptr())->tp_name +
                             "' object cannot be converted to either accepted item: an `Argument` or a "
                             "tuple (str, int from 0 to 2**32 - 1)");
}

std::vector<Argument> extract_operands(py::handle obj, const char* name) {
  std::vector<Argument> out;
  for_each_item(obj, name, [&](py::handle item) { out.push_back(extract_operand(item, name)); });
  return out;
}

std::optional<std::vector<uint8_t>> try_extract_qubits(const py::tuple& items) {
  std::vector<uint8_t> out;
  out.reserve(items.size());
  for (py::handle item : items) {
    auto v = try_extract_int(item, 0, 255);
    if (!v) return std::nullopt;
    out.push_back(static_cast<uint8_t>(*v));
  }
  return out;
}

std::optional<std::vector<Argument>> try_extract_arguments(const py::tuple& items) {
  std::vector<Argument> out;
  out.reserve(items.size());
  for (py::handle item : items) {
    if (!py::isinstance<Argument>(item)) return std::nullopt;
    out.push_back(item.cast<Argument>());
  }
  return out;
}

py::object to_python(Complex c) { return py::reinterpret_steal<py::object>(PyComplex_FromDoubles(c.re.v, c.im.v)); }

py::object to_python(const CMatrix& m) {
  ensure_numpy_api();
  py::array_t<std::complex<double>, py::array::f_style> out({py::ssize_t(m.rows), py::ssize_t(m.cols)});
  auto* data = out.mutable_data();
  for (size_t k = 0; k < m.data.size(); ++k) data[k] = {m.data[k].re.v, m.data[k].im.v};
  return out;
}

py::list to_python(const std::vector<Argument>& arguments) {
  py::list out;
  for (const Argument& a : arguments) out.append(py::cast(a));
  return out;
}

}  // namespace morvane::bind
