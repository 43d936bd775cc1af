#pragma once
#include <pybind11/pybind11.h>

#include "morvane/identity/identity_circ.h"

namespace morvane {
pybind11::class_<IdentityCirc> pybind_identity_circ(pybind11::module_& m, const char* name);
void pybind_identity_circ_methods(pybind11::module_& m, pybind11::class_<IdentityCirc>& c);
}  // namespace morvane
