#include "morvane/py/native_form.h"

#include <fmt/format.h>

#include <stdexcept>

#include "morvane/py/convert.h"

namespace morvane::bind::native {

namespace {

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

bool is_mapping(py::handle obj) {
  if (PyDict_Check(obj.ptr())) return true;
  // Kept for the rest of the process: released only with the interpreter.
  static PyObject* mapping = nullptr;
  static OnceWithGil once;
  once([] { mapping = py::object(py::module_::import("collections.abc").attr("Mapping")).release().ptr(); });
  return py::isinstance(obj, py::handle(mapping));
}

}  // namespace

std::vector<py::object> read_fields(py::handle obj, std::initializer_list<const char*> names) {
  if (!is_mapping(obj)) raise(PyExc_TypeError, cannot_convert(obj, "Mapping"));
  PyObject* keys = PyMapping_Keys(obj.ptr());
  if (!keys) throw py::error_already_set();
  auto owned_keys = py::reinterpret_steal<py::list>(keys);
  std::vector<py::object> out(names.size());
  for (py::handle key : owned_keys) {
    if (!PyUnicode_Check(key.ptr())) raise(PyExc_TypeError, "dict keys must have type str");
    const std::string k = read_str(key);  // a key UTF-8 cannot hold raises its UnicodeEncodeError
    size_t i = 0;
    for (const char* name : names) {
      if (k == name) {
        PyObject* value = PyObject_GetItem(obj.ptr(), key.ptr());
        if (!value) throw py::error_already_set();
        out[i] = py::reinterpret_steal<py::object>(value);
      }
      ++i;
    }
  }
  size_t i = 0;
  for (const char* name : names)
    if (!out[i++]) raise(PyExc_Exception, fmt::format("missing field `{}`", name));
  return out;
}

std::vector<py::object> read_tuple(py::handle obj, size_t n) {
  if (!PySequence_Check(obj.ptr()) || PyDict_Check(obj.ptr())) raise(PyExc_TypeError, cannot_convert(obj, "Sequence"));
  const Py_ssize_t len = PySequence_Size(obj.ptr());
  if (len < 0) throw py::error_already_set();
  if (size_t(len) != n) raise(PyExc_ValueError, fmt::format("expected sequence of length {}, got {}", n, len));
  std::vector<py::object> out;
  for (Py_ssize_t i = 0; i < len; ++i) {
    PyObject* item = PySequence_GetItem(obj.ptr(), i);
    if (!item) throw py::error_already_set();
    out.push_back(py::reinterpret_steal<py::object>(item));
  }
  return out;
}

std::vector<py::object> read_seq(py::handle obj) {
  const bool sequence = PySequence_Check(obj.ptr()) && !PyDict_Check(obj.ptr());
  if (!sequence && !PyAnySet_Check(obj.ptr())) raise(PyExc_TypeError, cannot_convert(obj, "Sequence"));
  std::vector<py::object> out;
  for (py::handle item : py::reinterpret_borrow<py::iterable>(obj))
    out.push_back(py::reinterpret_borrow<py::object>(item));
  return out;
}

uint64_t read_uint(py::handle obj, uint64_t max) {
  PyObject* index = PyNumber_Index(obj.ptr());
  if (!index) throw py::error_already_set();
  auto owned = py::reinterpret_steal<py::object>(index);
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0 || v < 0 || uint64_t(v) > max)
    throw std::overflow_error("out of range integral type conversion attempted");
  return uint64_t(v);
}

std::string read_str(py::handle obj) {
  if (!PyUnicode_Check(obj.ptr())) raise(PyExc_TypeError, cannot_convert(obj, "PyString"));
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj.ptr(), &len);
  if (!s) throw py::error_already_set();
  return std::string(s, size_t(len));
}

py::dict permut_to_python(Permut32 p) {
  py::dict d;
  d["raw"] = p.raw;
  return d;
}

Permut32 permut_from_python(py::handle obj) {
  auto fields = read_fields(obj, {"raw"});
  return Permut32::from_raw(uint32_t(read_uint(fields[0], UINT32_MAX)));
}

}  // namespace morvane::bind::native
