#include "morvane/py/convert.h"

#include <stdexcept>

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
  if (value && v2) PyException_SetCause(v2, value);  // steals value
  else Py_XDECREF(value);
  PyErr_Restore(t2, v2, tb2);
  Py_DECREF(type);
  Py_XDECREF(tb);
  throw py::error_already_set();
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

}  // namespace morvane::bind
