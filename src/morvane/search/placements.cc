#include "morvane/search/placements.h"

#include <algorithm>
#include <utility>

#include <fmt/format.h>

namespace morvane {

void InstrUniverse::add_gate_of(Instr32 instr) {
  uint16_t g = instr.gate.index;
  if (g < gate_base_.size() && gate_base_[g] >= 0) return;
  if (g >= gate_base_.size()) gate_base_.resize(size_t(g) + 1, -1);
  gate_base_[g] = int32_t(instrs_.size());
  for_each_placement(instr.gate, instr.qargs.len(), nqubits_, [&](Instr32 i) { instrs_.push_back(i); });
}

void InstrUniverse::not_a_placement(Instr32 instr) {
  panic(fmt::format("instruction {} is not a placement of the search's gates", instr.display()));
}

std::vector<Instr32> generator_placements(std::vector<Gate16> gates, uint32_t nqubits) {
  if (!gates.empty()) {
    std::vector<Gate16> adjoints;
    adjoints.reserve(gates.size());
    for (Gate16 g : gates) adjoints.push_back(g.adjoint());
    for (Gate16 a : adjoints)
      if (std::find(gates.begin(), gates.end(), a) == gates.end()) gates.push_back(a);
  }
  std::vector<std::pair<uint32_t, Gate16>> keyed;
  for (Gate16 g : gates) keyed.emplace_back(g.nqargs(), g);
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
    return std::pair(a.first, a.second.index) < std::pair(b.first, b.second.index);
  });
  std::vector<Instr32> out;
  for (auto [arity, g] : keyed) {
    if (arity != 1 && arity != 2) panic("Only 1 and 2 qubit instructions are supported");
    for_each_placement(g, arity, nqubits, [&](Instr32 i) { out.push_back(i); });
  }
  std::stable_sort(out.begin(), out.end(), [](Instr32 a, Instr32 b) { return a.largest_qubit() < b.largest_qubit(); });
  return out;
}

}  // namespace morvane
