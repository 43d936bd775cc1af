#pragma once
#include <pybind11/pybind11.h>

#include "morvane/search/ecc.h"

namespace morvane {

/// Adds dump_quartz to the ECCs class.
void pybind_quartz_methods(pybind11::module_& m, pybind11::class_<ECCs>& c);

}  // namespace morvane
