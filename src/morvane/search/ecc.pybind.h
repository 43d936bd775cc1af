#pragma once
#include <pybind11/pybind11.h>

#include "morvane/search/ecc.h"

namespace morvane {
pybind11::class_<ECC> pybind_ecc(pybind11::module_& m, const char* name);
void pybind_ecc_methods(pybind11::module_& m, pybind11::class_<ECC>& c);
/// The collection class; its file and export methods are added separately (pybind_ecc_file_methods,
/// pybind_quartz_methods).
pybind11::class_<ECCs> pybind_ecc_s(pybind11::module_& m, const char* name);
void pybind_ecc_s_methods(pybind11::module_& m, pybind11::class_<ECCs>& c);
}  // namespace morvane
