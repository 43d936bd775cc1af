#pragma once
// Python-native forms (dicts, tuples and ints) of stored values, and the reading rules of the
// object-mapping layer that turns them back: a wrong kind of object raises TypeError, a sequence
// of the wrong length ValueError "expected sequence of length {}, got {}", an int out of range
// OverflowError, a missing field Exception "missing field `{}`". These errors carry no argument
// prefix: the whole object is one argument.

#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "morvane/core/permut.h"

namespace morvane::bind::native {

namespace py = pybind11;

/// The values of the named fields of a mapping whose keys are all str (else TypeError "dict keys
/// must have type str"); other keys are skipped without looking at their values.
std::vector<py::object> read_fields(py::handle obj, std::initializer_list<const char*> names);
/// The items of a sequence of exactly `n` items.
std::vector<py::object> read_tuple(py::handle obj, size_t n);
/// The items of a sequence or a set, in iteration order.
std::vector<py::object> read_seq(py::handle obj);
/// An int in [0, max].
uint64_t read_uint(py::handle obj, uint64_t max);
std::string read_str(py::handle obj);

/// {"raw": word}
py::dict permut_to_python(Permut32 p);
/// The word as read, without checks.
Permut32 permut_from_python(py::handle obj);

}  // namespace morvane::bind::native
