#pragma once
#include <pybind11/pybind11.h>

#include "morvane/circ/circ.h"

namespace morvane {
pybind11::class_<Circ> pybind_circ(pybind11::module_& m, const char* name);
void pybind_circ_methods(pybind11::module_& m, pybind11::class_<Circ>& c);

/// The instruction at `idx` (a signed 32-bit int) taken modulo the count, the remainder made
/// non-negative; an empty circuit stops with "attempt to calculate the remainder with a divisor of
/// zero".
Instr32 instr_at(const Circ& c, pybind11::handle idx);
/// The Python-native form: {"instrs": [(gate, (byte 0, byte 1)), ...], "perm": {"raw": word}}.
pybind11::dict circ_to_python(const Circ& c);
/// Reads the Python-native form as it is, without the checks of Circ::make.
Circ circ_from_python(pybind11::handle obj);

/// The six rich comparisons of a type ordered by <=>; NotImplemented for any other type.
template <typename T>
void def_order(pybind11::class_<T>& c) {
  namespace py = pybind11;
  c.def(
      "__eq__", [](const T& a, const T& b) { return a == b; }, py::is_operator());
  c.def(
      "__ne__", [](const T& a, const T& b) { return a != b; }, py::is_operator());
  c.def(
      "__lt__", [](const T& a, const T& b) { return a < b; }, py::is_operator());
  c.def(
      "__le__", [](const T& a, const T& b) { return a <= b; }, py::is_operator());
  c.def(
      "__gt__", [](const T& a, const T& b) { return a > b; }, py::is_operator());
  c.def(
      "__ge__", [](const T& a, const T& b) { return a >= b; }, py::is_operator());
}
}  // namespace morvane
