#pragma once
#include <pybind11/pybind11.h>

#include "morvane/search/raw_eccs.pybind.h"

namespace morvane {

/// Adds find_equivalents, compute_next_key, switch_evaluator and check_identity_subset to the
/// RawECCs class.
void pybind_cross_check_methods(pybind11::module_& m, RawECCsClass& c);

}  // namespace morvane
