#pragma once
// Argument conversion shared by every binding. Parameters are taken as py::handle and converted
// here, so every failure carries the prefix "argument '<name>': ": TypeError for a wrong type,
// OverflowError for an int out of the parameter's range, and "Can't extract `str` to `Vec`" for a
// str where a sequence is expected.
//
// Bindings only convert and call: what a method computes lives in the library, where C++ tests
// reach it. Anything the binding layer looks up once through Python (NumPy's C API,
// collections.abc.Mapping) is set up through OnceWithGil, never in a function-local static.
// Read-write properties of the register-style classes are made with def_rw_property, so deleting
// one raises AttributeError "can't delete attribute".

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "morvane/circ/gate.h"
#include "morvane/circ/instruction.h"
#include "morvane/core/permut.h"

namespace morvane::bind {

namespace py = pybind11;

/// Runs a set-up that calls into Python once per process, for the first thread that asks. A
/// function-local static would hang: its set-up may hand the interpreter lock to another thread
/// (an import does), which then waits for the static's guard while it holds the lock. Here a
/// thread waits for the set-up with the lock released. A set-up that throws is tried again by the
/// next caller; its exception unwinds through no C library frame (that of std::call_once would, and
/// the C library ends the process when it has no memory to unwind). Declare it `static` (its
/// construction needs no guard).
class OnceWithGil {
 public:
  template <typename F>
  void operator()(F&& setup) {
    if (done_.load(std::memory_order_acquire)) return;
    py::gil_scoped_release release;
    std::lock_guard lock(mutex_);
    if (done_.load(std::memory_order_relaxed)) return;
    py::gil_scoped_acquire acquire;
    setup();
    done_.store(true, std::memory_order_release);
  }

 private:
  std::mutex mutex_;
  std::atomic<bool> done_{false};
};

/// NumPy's C API, looked up by pybind11 on first use; call before any use of a NumPy array.
void ensure_numpy_api();

/// Raises TypeError "argument '<name>': <message>".
[[noreturn]] void raise_type_error(const char* name, const std::string& message);
/// Re-raises the pending Python error with the argument prefix added, the original as its cause;
/// of its own type, or of type `as_type` when one is given.
[[noreturn]] void raise_prefixed(const char* name, PyObject* as_type = nullptr);
/// "'<type name>' object cannot be converted to '<target>'".
std::string cannot_convert(py::handle obj, const char* target);

/// An int in [lo, hi] via __index__, as pyo3 extracts integers.
int64_t extract_int(py::handle obj, const char* name, int64_t lo, int64_t hi);
/// The same test without raising: nothing for a non-integer or a value outside [lo, hi].
std::optional<int64_t> try_extract_int(py::handle obj, int64_t lo, int64_t hi);
uint64_t extract_u64(py::handle obj, const char* name);
double extract_f64(py::handle obj, const char* name);
std::string extract_str(py::handle obj, const char* name);

template <typename T>
struct Extract;

template <typename T>
T extract(py::handle obj, const char* name) {
  return Extract<T>::get(obj, name);
}

template <typename T>
requires std::is_integral_v<T> &&(!std::is_same_v<T, bool>)&&(sizeof(T) < 8 || std::is_signed_v<T>)struct Extract<T> {
  static T get(py::handle obj, const char* name) {
    return static_cast<T>(extract_int(obj, name, std::numeric_limits<T>::min(), std::numeric_limits<T>::max()));
  }
};
template <>
struct Extract<uint64_t> {
  static uint64_t get(py::handle obj, const char* name) { return extract_u64(obj, name); }
};
template <>
struct Extract<double> {
  static double get(py::handle obj, const char* name) { return extract_f64(obj, name); }
};
template <>
struct Extract<std::string> {
  static std::string get(py::handle obj, const char* name) { return extract_str(obj, name); }
};

/// Visits the items of a sequence argument (not a str).
template <typename F>
void for_each_item(py::handle obj, const char* name, F&& f) {
  if (PyUnicode_Check(obj.ptr())) raise_type_error(name, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj.ptr())) raise_type_error(name, cannot_convert(obj, "Sequence"));
  Py_ssize_t n = PySequence_Size(obj.ptr());
  if (n < 0) raise_prefixed(name);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_GetItem(obj.ptr(), i);
    if (!item) raise_prefixed(name);
    auto owned = py::reinterpret_steal<py::object>(item);
    f(py::handle(item));
  }
}

template <typename T>
struct Extract<std::vector<T>> {
  static std::vector<T> get(py::handle obj, const char* name) {
    std::vector<T> out;
    for_each_item(obj, name, [&](py::handle item) { out.push_back(Extract<T>::get(item, name)); });
    return out;
  }
};

/// A permutation: a sequence of ints 0..255 (not a str), validated by Permut32::from_iter.
template <>
struct Extract<Permut32> {
  static Permut32 get(py::handle obj, const char* name) {
    auto values = Extract<std::vector<uint8_t>>::get(obj, name);
    return Permut32::from_iter(values);
  }
};

/// A value held by an object of a bound class: copied out, or TypeError naming the class.
template <typename T>
T extract_bound(py::handle obj, const char* name, const char* class_name) {
  if (!py::isinstance<T>(obj)) raise_type_error(name, cannot_convert(obj, class_name));
  return obj.cast<T>();
}

/// A reference to the value held by an object of a bound class, or TypeError naming the class.
template <typename T>
const T& extract_ref(py::handle obj, const char* name, const char* class_name) {
  if (!py::isinstance<T>(obj)) raise_type_error(name, cannot_convert(obj, class_name));
  return obj.cast<const T&>();
}

/// A sequence (not a str) of objects of one bound class, copied out.
template <typename T>
std::vector<T> extract_bound_list(py::handle obj, const char* name, const char* class_name) {
  std::vector<T> out;
  for_each_item(obj, name, [&](py::handle item) { out.push_back(extract_bound<T>(item, name, class_name)); });
  return out;
}

/// A tuple of `len` items: TypeError naming the argument for anything but a tuple, ValueError
/// "expected tuple of length {}, but got tuple of length {}" (without the prefix) for another length.
py::tuple extract_tuple(py::handle obj, const char* name, size_t len);

/// Anything CPython turns into a complex number (complex, float, int, __complex__, __float__,
/// __index__).
Complex extract_complex(py::handle obj, const char* name);

/// A gate matrix: a complex128 2-D array, used as it is, or the result of numpy.asarray(obj)
/// without a dtype. Nothing converts the element type; the shape is checked by check_gate_shape.
CMatrix extract_matrix(py::handle obj, const char* name);

/// A register operand: an Argument (copied) or a 2-tuple (str, int from 0 to 2^32 - 1). Anything
/// else, an out-of-range index included, fits neither form and is a TypeError.
Argument extract_operand(py::handle obj, const char* name);
/// A sequence (not a str) of register operands, each as extract_operand takes it.
std::vector<Argument> extract_operands(py::handle obj, const char* name);

/// The items as qubit indices (ints 0..255), or nothing when any item is not one.
std::optional<std::vector<uint8_t>> try_extract_qubits(const py::tuple& items);
/// The items as Argument objects (copied), or nothing when any item is not one.
std::optional<std::vector<Argument>> try_extract_arguments(const py::tuple& items);

/// A read-write property without a docstring whose deletion raises AttributeError "can't delete
/// attribute". The setter converts its value before it touches the receiver.
template <typename T, typename Get, typename Set>
void def_rw_property(py::class_<T>& cls, const char* name, Get&& get, Set&& set) {
  py::cpp_function fget(std::forward<Get>(get), py::is_method(cls));
  py::cpp_function fset(std::forward<Set>(set), py::is_method(cls));
  py::cpp_function fdel([](py::handle) { throw py::attribute_error("can't delete attribute"); }, py::is_method(cls));
  auto property = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyProperty_Type));
  py::object prop = property(fget, fset, fdel);
  prop.attr("__doc__") = py::none();
  py::setattr(cls, name, prop);
}

/// A permutation's Python form: a tuple of its images.
py::tuple to_python(Permut32 p);
/// A complex number's Python form.
py::object to_python(Complex c);
/// A matrix's Python form: a new complex128 array in column-major order.
py::object to_python(const CMatrix& m);
/// A list of Argument objects.
py::list to_python(const std::vector<Argument>& arguments);

/// The Python hash of a 64-bit hash value (low 32 bits signed, -1 replaced by -2).
Py_hash_t py_hash(uint64_t h);

}  // namespace morvane::bind
