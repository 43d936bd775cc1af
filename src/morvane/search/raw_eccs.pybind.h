#pragma once
#include <pybind11/pybind11.h>

#include <memory>

#include "morvane/search/raw_eccs.h"

namespace morvane {
using RawECCsClass = pybind11::class_<RawECCs, std::shared_ptr<RawECCs>>;
RawECCsClass pybind_raw_eccs(pybind11::module_& m, const char* name);
void pybind_raw_eccs_methods(pybind11::module_& m, RawECCsClass& c);
}  // namespace morvane
