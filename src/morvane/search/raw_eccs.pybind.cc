#include "morvane/search/raw_eccs.pybind.h"

#include <pybind11/stl.h>

#include "morvane/py/convert.h"
#include "morvane/search/evaluator.h"
#include "morvane/search/search.h"

namespace morvane {

namespace py = pybind11;

namespace {

py::tuple to_python(SearchResult&& r) {
  py::list counts;
  for (size_t c : r.counts) counts.append(py::int_(c));
  return py::make_tuple(std::make_shared<RawECCs>(std::move(r.map)), counts);
}

/// A search or generator as a static method: every argument is converted before any work is done.
template <typename Item, SearchResult (*Run)(const Evaluator&, std::vector<Item>, size_t)>
void def_search(RawECCsClass& c, const char* name, const char* items_name, const char* item_class, const char* doc) {
  c.def_static(
      name,
      [items_name, item_class](py::handle evaluator, py::handle items, py::handle max_size) {
        const Evaluator& e = bind::extract_ref<Evaluator>(evaluator, "evaluator", "Evaluator");
        auto list = bind::extract_bound_list<Item>(items, items_name, item_class);
        auto size = bind::extract<uint32_t>(max_size, "max_size");
        return to_python(Run(e, std::move(list), size));
      },
      py::arg("evaluator"), py::arg(items_name), py::arg("max_size"), doc);
}

SearchResult search_list(const Evaluator& e, std::vector<Instr32> instrs, size_t max_size) {
  return search(e, instrs, max_size);
}
SearchResult search_naive_list(const Evaluator& e, std::vector<Instr32> instrs, size_t max_size) {
  return search_naive(e, instrs, max_size);
}

}  // namespace

RawECCsClass pybind_raw_eccs(py::module_& m, const char* name) {
  return RawECCsClass(m, name, py::is_final(),
                      "RawECCs(evaluator)\n--\n\nMutable ECC map keyed by evaluator hash.\n\n"
                      "This is the direct output of the search algorithm before final simplification.");
}

void pybind_raw_eccs_methods(py::module_&, RawECCsClass& c) {
  c.def(py::init([](py::handle evaluator) {
          return std::make_shared<RawECCs>(bind::extract_ref<Evaluator>(evaluator, "evaluator", "Evaluator"));
        }),
        py::arg("evaluator"), "__init__(self, evaluator)\n--\n\n");
  def_search<Instr32, &search_list>(c, "search", "instrs", "Instr",
                                    "search(evaluator, instrs, max_size)\n--\n\nOptimized search using "
                                    "permutation-equivalent placements per circuit.");
  def_search<Instr32, &search_naive_list>(c, "search_naive", "instrs", "Instr",
                                          "search_naive(evaluator, instrs, max_size)\n--\n\nExhaustive baseline "
                                          "search without permutation-based multiplicity reduction.");
  def_search<Gate16, &generate>(c, "generate", "gates", "Gate",
                                "generate(evaluator, gates, max_size)\n--\n\nGenerates ECCs from a gate "
                                "set using the optimized search.\n\nAdjoint gates are added automatically "
                                "if missing.");
  def_search<Gate16, &generate_naive>(c, "generate_naive", "gates", "Gate",
                                      "generate_naive(evaluator, gates, max_size)\n--\n\nGenerates ECCs "
                                      "from a gate set using the naive search.");
  c.def("simplify", &RawECCs::simplify, "simplify(self)\n--\n\nConverts raw buckets into sorted, normalized ECCs.");
}

}  // namespace morvane
