#include "morvane/search/cross_check.pybind.h"

#include <pybind11/stl.h>

#include "morvane/py/convert.h"
#include "morvane/search/cross_check.h"
#include "morvane/search/evaluator.h"

namespace morvane {

namespace py = pybind11;

void pybind_cross_check_methods(py::module_&, RawECCsClass& c) {
  c.def(
      "find_equivalents",
      [](const RawECCs& self, py::handle evaluator, py::handle instrs) {
        const Evaluator& e = bind::extract_ref<Evaluator>(evaluator, "evaluator", "Evaluator");
        auto circuit = bind::extract_bound_list<Instr32>(instrs, "instrs", "Instr");
        return find_equivalents(self, e, circuit);
      },
      py::arg("evaluator"), py::arg("instrs"),
      "find_equivalents(self, evaluator, instrs)\n--\n\n"
      "Python wrapper returning equivalent circuits for a candidate program.");
  c.def(
      "compute_next_key",
      [](const RawECCs& self, py::handle evaluator, py::handle current_key, py::handle instr) {
        const Evaluator& e = bind::extract_ref<Evaluator>(evaluator, "evaluator", "Evaluator");
        auto key = bind::extract<uint64_t>(current_key, "current_key");
        auto next = bind::extract_bound<Instr32>(instr, "instr", "Instr");
        return compute_next_key(self, e, key, next);
      },
      py::arg("evaluator"), py::arg("current_key"), py::arg("instr"),
      "compute_next_key(self, evaluator, current_key, instr)\n--\n\n"
      "Computes the next reachable ECC hash after appending one instruction.\n\n"
      "Returns `None` when the resulting state was not discovered in this map.");
  c.def(
      "switch_evaluator",
      [](std::shared_ptr<RawECCs> self, py::handle new_evaluator) {
        const Evaluator& e = bind::extract_ref<Evaluator>(new_evaluator, "new_evaluator", "Evaluator");
        return std::make_shared<RawECCs>(switch_evaluator(std::move(self), e));
      },
      py::arg("new_evaluator"),
      "switch_evaluator(self, new_evaluator)\n--\n\n"
      "Re-evaluates all stored circuits under a new evaluator.\n\n"
      "Useful for cross-checking evaluator-independence of discovered classes.");
  c.def(
      "check_identity_subset",
      [](const RawECCs& self, py::handle ecc1, py::handle evaluator) {
        const RawECCs& other = bind::extract_ref<RawECCs>(ecc1, "ecc1", "RawECCs");
        const Evaluator& e = bind::extract_ref<Evaluator>(evaluator, "evaluator", "Evaluator");
        check_identity_subset(self, other, e);
      },
      py::arg("ecc1"), py::arg("evaluator"),
      "check_identity_subset(self, ecc1, evaluator)\n--\n\n"
      "Checks that every identity in `self` is representable in `ecc1`.");
}

}  // namespace morvane
