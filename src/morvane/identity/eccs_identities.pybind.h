#pragma once
#include <pybind11/pybind11.h>

#include "morvane/search/ecc.h"

namespace morvane {
/// Adds `to_identity_circuits` to the class collection.
void pybind_eccs_identities_methods(pybind11::module_& m, pybind11::class_<ECCs>& c);
}  // namespace morvane
