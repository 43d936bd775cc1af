#include "morvane/identity/identity_circ.h"

#include <absl/container/inlined_vector.h>
#include <fmt/format.h>

#include <bit>
#include <optional>

#include "morvane/core/fmt_join.h"
#include "morvane/core/panic.h"
#include "morvane/core/per_thread.h"
#include "morvane/state/order_info.h"
#include "morvane/state/state_vec.h"

namespace morvane {

namespace {

constexpr size_t kNotFound = SIZE_MAX;

/// The adjoint of every instruction's gate from position `from` on, looked up under one read of the
/// registry, registering the missing ones afterwards. Stops first unless every instruction has
/// its gate's arity; with check_well_formed this keeps every state application within its operands.
absl::InlinedVector<Gate16, 24> arity_checked_adjoints(const Circ& c, size_t from) {
  absl::InlinedVector<std::optional<uint16_t>, 24> known(c.len() - from);
  {
    RegistryReadGuard guard;
    const GateRegistry& registry = GateRegistry::get();
    for (size_t k = 0; k < c.len(); ++k) {
      const Instr32 i = c.instrs[k];
      const GateData& entry = registry.entry(i.gate.index);
      if (const uint32_t arity = std::countr_zero(entry.matrix.rows); i.qargs.len() != arity)
        panic(fmt::format("Instruction {} has {} qubits but its gate {} takes {}", k, i.qargs.len(), entry.display(),
                          arity));
      if (k >= from) known[k - from] = entry.adjoint;
    }
  }
  absl::InlinedVector<Gate16, 24> out(known.size());
  for (size_t k = 0; k < known.size(); ++k) out[k] = known[k] ? Gate16(*known[k]) : c.instrs[from + k].gate.adjoint();
  return out;
}

/// The list's debug form, an entry not found showing as the all-ones 32-bit word.
std::string entries_debug(const std::vector<size_t>& v) {
  std::vector<uint64_t> shown;
  for (size_t e : v) shown.push_back(e == kNotFound ? 4294967295u : e);
  return fmt::format("[{}]", fjoin(shown, ", "));
}

}  // namespace

IdentityCirc IdentityCirc::unchecked(Circ c) {
  IdentityCirc id{std::move(c)};
  id.check();
  return id;
}

bool IdentityCirc::check() const {
  ChaCha12Rng rng = ChaCha12Rng::from_thread_seeder();
  return check_with(rng);
}

bool IdentityCirc::check_with(ChaCha12Rng& rng) const {
  circ.check_well_formed();
  const uint8_t n = circ.nqubits();
  const size_t len = circ.len();
  const size_t half = len / 2;
  const auto adjoints = arity_checked_adjoints(circ, half);
  // This thread's two states, reused from check to check.
  struct States {
    StateVec s = StateVec::zeros(0), t = StateVec::zeros(0);
  };
  auto& [s, t] = per_thread<States>();
  s.assign_random(rng, n);
  t.copy_from(s);
  for (size_t k = 0; k < half; ++k) s.apply(circ.instrs[k]);
  s.normalize_arg();
  reserve_state_vec_cache(n);
  t.apply_permutation(circ.perm.inv());
  for (size_t k = len; k-- > half;) t.apply(circ.instrs[k].qargs.as_slice(), adjoints[k - half]);
  t.normalize_arg();
  if (!s.loose_eq(t))
    panic(fmt::format("IdentityCirc: circuit is not identity {} {} {}", s.to_string(), t.to_string(), display()));
  return true;
}

size_t IdentityCirc::find_wire_neighbours(size_t g, bool forward, std::array<size_t, 2>& out) const {
  // Walks the circuit as if rotated to start after gate g (forward) or to end just before it
  // (backward): gates reached across the end of the circuit carry the permutation (forward, its
  // inverse), so that their qubits are in gate g's labels.
  const size_t len = circ.len();
  const Instr32 gate = circ.instrs[g];
  const size_t nargs = gate.qargs.len();
  out = {kNotFound, kNotFound};
  size_t found = 0;
  auto visit = [&](Instr32 instr, size_t index) {
    for (uint8_t x : instr.qargs.as_slice())
      for (size_t e = 0; e < nargs; ++e)
        if (gate.qargs.bytes[e] == x) {
          if (out[e] == kNotFound) {
            out[e] = index;
            ++found;
          }
          break;
        }
  };
  if (forward) {
    const Permut32 back = circ.perm.inv();
    for (size_t j = g + 1; j <= g + len && found < nargs; ++j)
      visit(j < len ? circ.instrs[j] : circ.instrs[j - len].permut(back), j % len);
  } else {
    for (size_t j = g + len; j-- > g && found < nargs;)
      visit(j < len ? circ.instrs[j].permut(circ.perm) : circ.instrs[j - len], j % len);
  }
  return found;
}

std::vector<size_t> IdentityCirc::qargs_forward(size_t g) const {
  check_index(circ.len(), g);
  circ.check_well_formed();
  std::array<size_t, 2> found;
  const size_t n = find_wire_neighbours(g, true, found);
  std::vector<size_t> out(found.begin(), found.begin() + circ.instrs[g].qargs.len());
  if (n < out.size()) panic(fmt::format("{} {}", display(), entries_debug(out)));
  return out;
}

std::vector<size_t> IdentityCirc::qargs_backward(size_t g) const {
  const size_t len = circ.len();
  check_index(len, g);
  circ.check_well_formed();
  std::array<size_t, 2> found;
  const size_t n = find_wire_neighbours(g, false, found);
  std::vector<size_t> out(found.begin(), found.begin() + circ.instrs[g].qargs.len());
  if (n < out.size()) panic(fmt::format("a {} {} {}", display(), circ.rotate(int64_t(g) - int64_t(len)).debug(), g));
  return out;
}

std::string IdentityCirc::display() const { return circ.display_as("Identity"); }

std::string IdentityCirc::debug() const { return "IdentityCirc(" + circ.debug() + ")"; }

}  // namespace morvane
