#include "morvane/search/placements.h"

#include <algorithm>
#include <utility>

#include <fmt/format.h>

namespace morvane {

std::optional<uint32_t> placement_offset(std::span<const uint8_t> qubits, uint32_t nqubits) {
  switch (qubits.size()) {
    case 0:
      return 0;
    case 1:
      if (qubits[0] >= nqubits) return std::nullopt;
      return qubits[0];
    default:
      if (qubits[0] >= nqubits || qubits[1] >= nqubits || qubits[0] == qubits[1]) return std::nullopt;
      // The pairs before (i, j): n - 1 for each first qubit below i, then the second qubits below
      // j other than i.
      return qubits[0] * (nqubits - 1) + (qubits[1] < qubits[0] ? qubits[1] : qubits[1] - 1u);
  }
}

std::optional<uint32_t> InstrUniverse::find(Instr32 instr) const {
  if (instr.gate.index >= gate_base_.size() || gate_base_[instr.gate.index] < 0) return std::nullopt;
  auto offset = placement_offset(instr.qargs.as_slice(), nqubits_);
  if (!offset) return std::nullopt;
  uint32_t index = uint32_t(gate_base_[instr.gate.index]) + *offset;
  if (index >= instrs_.size() || instrs_[index] != instr) return std::nullopt;
  return index;
}

void InstrUniverse::add_gate_of(Instr32 instr) {
  uint16_t g = instr.gate.index;
  if (g < gate_base_.size() && gate_base_[g] >= 0) return;
  if (g >= gate_base_.size()) gate_base_.resize(size_t(g) + 1, -1);
  gate_base_[g] = int32_t(instrs_.size());
  for_each_placement(instr.gate, instr.qargs.len(), nqubits_, [&](Instr32 i) { instrs_.push_back(i); });
}

uint32_t InstrUniverse::index(Instr32 instr) const {
  auto i = find(instr);
  if (!i) [[unlikely]]
    panic(fmt::format("instruction {} is not a placement of the search's gates", instr.display()));
  return *i;
}

bool InstrUniverse::contains(Instr32 instr) const { return find(instr).has_value(); }

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
  std::stable_sort(out.begin(), out.end(),
                   [](Instr32 a, Instr32 b) { return a.largest_qubit() < b.largest_qubit(); });
  return out;
}

}  // namespace morvane
