#pragma once
#include <pybind11/pybind11.h>

#include "morvane/identity/proof.h"
#include "morvane/identity/prover.h"

namespace morvane {
pybind11::class_<Proof> pybind_proof(pybind11::module_& m, const char* name);
void pybind_proof_methods(pybind11::module_& m, pybind11::class_<Proof>& c);
/// Adds export_proof to the IdentityProver class.
void pybind_export_proof_methods(pybind11::module_& m, pybind11::class_<IdentityProver>& c);
}  // namespace morvane
