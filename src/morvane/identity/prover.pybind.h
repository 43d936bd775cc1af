#pragma once
#include <pybind11/pybind11.h>

#include "morvane/identity/prover.h"

namespace morvane {
pybind11::class_<IdentityProver> pybind_prover(pybind11::module_& m);
void pybind_prover_methods(pybind11::module_& m, pybind11::class_<IdentityProver>& c);
}  // namespace morvane
