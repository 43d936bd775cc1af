#pragma once
#include <pybind11/pybind11.h>

#include "morvane/identity/prover.h"

namespace morvane {
pybind11::class_<IdentityProver> pybind_prover(pybind11::module_& m, const char* name);
/// The construction and the searches.
void pybind_prover_methods(pybind11::module_& m, pybind11::class_<IdentityProver>& c);
/// get_assumed, which follows export_proof (pybind_export_proof_methods) among the class's members.
void pybind_prover_assumed_methods(pybind11::module_& m, pybind11::class_<IdentityProver>& c);
}  // namespace morvane
