#pragma once
// Argument conversion shared by the search classes' bindings.

#include <pybind11/pybind11.h>

#include <vector>

#include "morvane/py/convert.h"

namespace morvane::bind {

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

}  // namespace morvane::bind
