#pragma once
#include <pybind11/pybind11.h>

#include "morvane/state/state_vec.h"

namespace morvane {
pybind11::class_<StateVec> pybind_state_vec(pybind11::module_& m, const char* name);
void pybind_state_vec_methods(pybind11::module_& m, pybind11::class_<StateVec>& c);
}  // namespace morvane
