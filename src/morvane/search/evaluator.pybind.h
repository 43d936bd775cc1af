#pragma once
#include <pybind11/pybind11.h>

#include "morvane/search/evaluator.h"

namespace morvane {
pybind11::class_<Evaluator> pybind_evaluator(pybind11::module_& m, const char* name);
void pybind_evaluator_methods(pybind11::module_& m, pybind11::class_<Evaluator>& c);
}  // namespace morvane
