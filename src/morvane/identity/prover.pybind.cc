#include "morvane/identity/prover.pybind.h"

#include "morvane/identity/identity_circ.pybind.h"
#include "morvane/py/convert.h"
#include "morvane/search/ecc.h"

namespace morvane {

namespace py = pybind11;

namespace {

py::set to_python(const IdentitySet& identities) {
  py::set out;
  for (const IdentityCirc& id : identities) out.add(py::cast(id));
  return out;
}

py::object to_python(std::optional<IdentityCirc> id) { return id ? py::cast(std::move(*id)) : py::none(); }

/// The arguments shared by the searches, converted before the prover is touched.
struct SearchArgs {
  IdentityCirc identity;
  uint32_t additional_size;
  uint32_t count_limit;

  SearchArgs(py::handle identity, py::handle additional_size, py::handle count_limit)
      : identity(bind::extract_bound<IdentityCirc>(identity, "identity", "IdentityCirc")),
        additional_size(bind::extract<uint32_t>(additional_size, "additional_size")),
        count_limit(bind::extract<uint32_t>(count_limit, "count_limit")) {}
};

}  // namespace

py::class_<IdentityProver> pybind_prover(py::module_& m, const char* name) {
  return py::class_<IdentityProver>(
      m, name, py::is_final(),
      "Rule-based prover for circuit identities.\n\nThe prover is built from ECCs, extracts assumed rules, and can "
      "then:\n- check whether a target identity is derivable,\n- produce visited states for diagnostics,\n- export "
      "explicit proof traces.");
}

void pybind_prover_methods(py::module_&, py::class_<IdentityProver>& c) {
  c.def_static(
      "build_from_eccs",
      [](py::handle eccs) { return IdentityProver::build(bind::extract_ref<ECCs>(eccs, "eccs", "ECCs").eccs); },
      py::arg("eccs"), "build_from_eccs(eccs)\n--\n\nPython entrypoint: builds a prover from generated ECCs.");
  c.def(
      "par_apply_rules",
      [](const IdentityProver& self, py::handle identity, py::handle additional_size) {
        const IdentityCirc& id = bind::extract_ref<IdentityCirc>(identity, "identity", "IdentityCirc");
        const auto size = bind::extract<uint32_t>(additional_size, "additional_size");
        py::list out;
        for (IdentityCirc& rewritten : self.par_apply_rules(id, size)) out.append(py::cast(std::move(rewritten)));
        return out;
      },
      py::arg("identity"), py::arg("additional_size"),
      "par_apply_rules(self, identity, additional_size)\n--\n\nApplies one round of parallel rule rewriting bounded "
      "by `additional_size`.");
  c.def(
      "add_identity",
      [](IdentityProver& self, py::handle identity, py::handle additional_size, py::handle count_limit) {
        SearchArgs a(identity, additional_size, count_limit);
        return self.add_identity(std::move(a.identity), a.additional_size, a.count_limit);
      },
      py::arg("identity"), py::arg("additional_size"), py::arg("count_limit"),
      "add_identity(self, identity, additional_size, count_limit)\n--\n\nInserts one identity into the prover, "
      "deriving it when possible.\n\nReturns `true` when this identity must be kept as an assumption.");
  c.def(
      "add_identity_search",
      [](IdentityProver& self, py::handle identity, py::handle additional_size, py::handle count_limit) {
        SearchArgs a(identity, additional_size, count_limit);
        auto [visited, assumed] = self.add_identity_search(std::move(a.identity), a.additional_size, a.count_limit);
        return py::make_tuple(to_python(visited), assumed);
      },
      py::arg("identity"), py::arg("additional_size"), py::arg("count_limit"),
      "add_identity_search(self, identity, additional_size, count_limit)\n--\n\nInternal bounded search used by "
      "[`Self::add_identity`].\n\nReturns `(visited, assumed)` where `assumed=true` means the identity\ncould not be "
      "derived within `count_limit`.");
  c.def(
      "prove_identity",
      [](const IdentityProver& self, py::handle identity, py::handle additional_size, py::handle count_limit) {
        SearchArgs a(identity, additional_size, count_limit);
        return to_python(self.prove_identity(std::move(a.identity), a.additional_size, a.count_limit));
      },
      py::arg("identity"), py::arg("additional_size"), py::arg("count_limit"),
      "prove_identity(self, identity, additional_size, count_limit)\n--\n\nAttempts to prove one identity.\n\nReturns "
      "`None` if proved, or `Some(identity)` if the search exceeded limits.");
  c.def(
      "prove_identity_with_visited",
      [](const IdentityProver& self, py::handle identity, py::handle additional_size, py::handle count_limit) {
        SearchArgs a(identity, additional_size, count_limit);
        auto [gave_up_at, visited] =
            self.prove_identity_with_visited(std::move(a.identity), a.additional_size, a.count_limit);
        return py::make_tuple(to_python(std::move(gave_up_at)), to_python(visited));
      },
      py::arg("identity"), py::arg("additional_size"), py::arg("count_limit"),
      "prove_identity_with_visited(self, identity, additional_size, count_limit)\n--\n\nSame as "
      "[`Self::prove_identity`] but also returns visited identities.");
}

void pybind_prover_assumed_methods(py::module_&, py::class_<IdentityProver>& c) {
  c.def(
      "get_assumed",
      [](const IdentityProver& self) {
        py::list out;
        for (const IdentityCirc& id : self.assumed_identities()) out.append(py::cast(id));
        return out;
      },
      "get_assumed(self)\n--\n\nReturns current assumptions as a cloned list (Python helper).");
}

}  // namespace morvane
