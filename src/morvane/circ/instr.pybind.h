#pragma once
#include <pybind11/pybind11.h>

#include "morvane/circ/instr.h"

namespace morvane {
pybind11::class_<Instr32> pybind_instr(pybind11::module_& m);
void pybind_instr_methods(pybind11::module_& m, pybind11::class_<Instr32>& c);
}  // namespace morvane
