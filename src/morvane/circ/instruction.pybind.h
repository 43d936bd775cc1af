#pragma once
#include <pybind11/pybind11.h>

#include "morvane/circ/instruction.h"

namespace morvane {
pybind11::class_<Argument> pybind_argument(pybind11::module_& m, const char* name);
void pybind_argument_methods(pybind11::module_& m, pybind11::class_<Argument>& c);
pybind11::class_<Instruction> pybind_instruction(pybind11::module_& m, const char* name);
void pybind_instruction_methods(pybind11::module_& m, pybind11::class_<Instruction>& c);
}  // namespace morvane
