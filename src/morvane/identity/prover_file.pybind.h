#pragma once
#include <pybind11/pybind11.h>

#include "morvane/identity/prover.h"

namespace morvane {
/// Adds the static from_postcard and dump_postcard to the IdentityProver class.
void pybind_prover_file_methods(pybind11::module_& m, pybind11::class_<IdentityProver>& c);
}  // namespace morvane
