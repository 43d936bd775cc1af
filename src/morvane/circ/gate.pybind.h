#pragma once
#include <pybind11/pybind11.h>

#include "morvane/circ/gate.h"

namespace morvane {
pybind11::class_<Gate16> pybind_gate(pybind11::module_& m, const char* name);
void pybind_gate_methods(pybind11::module_& m, pybind11::class_<Gate16>& c);
}  // namespace morvane
