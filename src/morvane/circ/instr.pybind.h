#pragma once
#include <pybind11/pybind11.h>

#include "morvane/circ/instr.h"

namespace morvane {
pybind11::class_<Instr32> pybind_instr(pybind11::module_& m, const char* name);
void pybind_instr_methods(pybind11::module_& m, pybind11::class_<Instr32>& c);
/// The Python-native form: (gate display, (byte 0, byte 1)), 255 for an empty slot.
pybind11::tuple instr_to_python(Instr32 i, GateTexts& texts);
/// Reads the Python-native form without the checks of Instr32::make; an unknown gate name stops
/// with "Failed to deserialize Gate16 from {}".
Instr32 instr_from_python(pybind11::handle obj, GateNames& names);
}  // namespace morvane
