#include "morvane/search/ecc.h"

#include <ranges>

#include <fmt/format.h>

#include "morvane/core/chacha.h"
#include "morvane/core/fmt_join.h"
#include "morvane/core/interrupt.h"
#include "morvane/core/panic.h"
#include "morvane/state/state_vec.h"

namespace morvane {

std::vector<Instr32> with_swaps(std::span<const Instr32> instrs, Permut32 perm) {
  std::vector<Instr32> out(instrs.begin(), instrs.end());
  for (auto [a, b] : perm.generate_swaps()) out.push_back(Instr32{gates::SWAP(), QArgs16{{a, b}}});
  return out;
}

const PermutedCircuit& ECC::at(size_t i) const {
  check_index(circuits.size(), i);
  return circuits[i];
}

ECC ECC::simplify_permute() && {
  Permut32 unit = at(0).perm.inv();
  for (PermutedCircuit& p : circuits) p.perm = unit * p.perm;
  return std::move(*this);
}

std::vector<std::vector<Instr32>> ECC::materialized() const {
  Permut32 unit = at(0).perm.inv();
  std::vector<std::vector<Instr32>> out;
  out.reserve(circuits.size());
  for (const PermutedCircuit& p : circuits) out.push_back(with_swaps(p.instrs, unit * p.perm));
  return out;
}

std::string ECC::display() const {
  std::string s = "ECC {\n";
  for (const auto& circ : materialized()) s += fmt::format("\t{},\n", fjoin(circ, " "));
  return s + "}";
}

std::string ECCs::display() const {
  auto shown = eccs | std::views::filter([](const ECC& e) { return e.circuits.size() >= 2; }) |
               std::views::transform(&ECC::display);
  return fmt::format("{}", fjoin(shown, " & "));
}

ECCs ECCs::filter_single() const {
  ECCs out;
  out.nqubits = nqubits;
  for (const ECC& e : eccs)
    if (e.circuits.size() > 1) out.eccs.push_back(e);
  return out;
}

std::vector<ECC> ECCs::check() const {
  ChaCha12Rng rng = ChaCha12Rng::from_os_rng();
  const StateVec start = StateVec::from_random(rng, nqubits);
  StateVec state = start;
  auto hash_of = [&](const std::vector<Instr32>& circuit) {
    state.copy_from(start);
    for (Instr32 i : circuit) state.apply(i);
    state.normalize_arg();
    return state.hash_value();
  };
  std::vector<ECC> failing;
  interrupt::Ticker ticker(64);
  for (const ECC& e : eccs) {
    ticker.tick();
    auto circuits = e.materialized();
    uint64_t first = hash_of(circuits[0]);
    for (size_t k = 1; k < circuits.size(); ++k)
      if (hash_of(circuits[k]) != first) {
        failing.push_back(e);
        break;
      }
  }
  return failing;
}

}  // namespace morvane
