#pragma once
#include <pybind11/pybind11.h>

#include "morvane/search/ecc.h"

namespace morvane {

/// Adds dump_postcard and the static from_postcard to the ECCs class.
void pybind_ecc_file_methods(pybind11::module_& m, pybind11::class_<ECCs>& c);

}  // namespace morvane
