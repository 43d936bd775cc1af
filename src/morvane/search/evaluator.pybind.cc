#include "morvane/search/evaluator.pybind.h"

#include "morvane/py/convert.h"

namespace morvane {

namespace py = pybind11;

py::class_<Evaluator> pybind_evaluator(py::module_& m, const char* name) {
  return py::class_<Evaluator>(
      m, name, py::is_final(),
      "Evaluator(nqubits)\n--\n\nRandomized evaluator used to hash circuits and recover permutation metadata.");
}

void pybind_evaluator_methods(py::module_&, py::class_<Evaluator>& c) {
  c.def(py::init(
            [](py::handle nqubits) { return Evaluator::from_os_random(bind::extract<uint32_t>(nqubits, "nqubits")); }),
        py::arg("nqubits"), "__init__(self, nqubits)\n--\n\n");
  c.def("nqubits", &Evaluator::nqubits, "nqubits(self)\n--\n\nReturns evaluator qubit count.");
  c.def(
      "evaluate",
      [](const Evaluator& e, py::handle instrs) {
        auto circuit = bind::extract_bound_list<Instr32>(instrs, "instrs", "Instr");
        Evaluator::Single r = e.evaluate(circuit);
        return py::make_tuple(std::move(r.key), bind::to_python(r.front), bind::to_python(r.back),
                              std::move(r.forward));
      },
      py::arg("instrs"), "evaluate(self, instrs)\n--\n\nPython wrapper for circuit evaluation.");
  c.def("initial_key", &Evaluator::initial_key,
        "initial_key(self)\n--\n\nHash key for the empty circuit under this evaluator.");
  c.def(
      "__eq__", [](const Evaluator& a, const Evaluator& b) { return a == b; }, py::is_operator());
  c.def(
      "__ne__", [](const Evaluator& a, const Evaluator& b) { return !(a == b); }, py::is_operator());
}

}  // namespace morvane
