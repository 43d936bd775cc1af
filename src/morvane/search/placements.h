#pragma once
// Placements: a gate applied to particular qubits. The searches number every placement of their
// gates densely, so that surface-gate sets are bit masks and relabelling is a table lookup; the
// generators turn a gate set into its placements, the candidate instructions of a search.
//
// The order of the placements of one gate is defined here once, by for_each_placement, and
// placement_offset computes a placement's position in that order.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "morvane/circ/instr.h"
#include "morvane/core/panic.h"

namespace morvane {

/// Calls `f(Instr32)` for every placement of the gate `g` of `arity` qubits (0, 1 or 2) on qubits
/// 0..nqubits-1, in placement order: no qubit; each qubit q upward; each ordered pair (i, j) of
/// distinct qubits, i then j upward.
template <typename F>
void for_each_placement(Gate16 g, uint32_t arity, uint32_t nqubits, F&& f) {
  MORVANE_ASSERT(arity <= 2);
  if (arity == 0) {
    f(Instr32{g, QArgs16{}});
  } else if (arity == 1) {
    for (uint32_t q = 0; q < nqubits; ++q) f(Instr32{g, QArgs16{{uint8_t(q), QArgs16::kEmpty}}});
  } else {
    for (uint32_t i = 0; i < nqubits; ++i)
      for (uint32_t j = 0; j < nqubits; ++j)
        if (i != j) f(Instr32{g, QArgs16{{uint8_t(i), uint8_t(j)}}});
  }
}

/// The position of the placement on `qubits` among those for_each_placement makes for a gate of
/// that many qubits; nothing when a qubit is not below `nqubits` or the two qubits are equal.
/// Inline: the searches look up a placement for every candidate they record.
inline std::optional<uint32_t> placement_offset(std::span<const uint8_t> qubits, uint32_t nqubits) {
  switch (qubits.size()) {
    case 0: return 0;
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

/// Every placement of a search's gates on the map's qubits, numbered densely.
class InstrUniverse {
 public:
  InstrUniverse() = default;
  explicit InstrUniverse(uint32_t nqubits) : nqubits_(nqubits) {}
  /// Adds every placement of the instruction's gate (with its qubit count) unless already there.
  void add_gate_of(Instr32 instr);
  /// The number of a placement; stops when the instruction lies outside the universe.
  uint32_t index(Instr32 instr) const {
    auto i = find(instr);
    if (!i) [[unlikely]]
      not_a_placement(instr);
    return *i;
  }
  bool contains(Instr32 instr) const { return find(instr).has_value(); }
  Instr32 instr(uint32_t index) const { return instrs_[index]; }
  std::span<const Instr32> instrs() const { return instrs_; }
  uint32_t size() const { return uint32_t(instrs_.size()); }

 private:
  std::optional<uint32_t> find(Instr32 instr) const {
    if (instr.gate.index >= gate_base_.size() || gate_base_[instr.gate.index] < 0) return std::nullopt;
    auto offset = placement_offset(instr.qargs.as_slice(), nqubits_);
    if (!offset) return std::nullopt;
    uint32_t index = uint32_t(gate_base_[instr.gate.index]) + *offset;
    if (index >= instrs_.size() || instrs_[index] != instr) return std::nullopt;
    return index;
  }
  [[noreturn]] static void not_a_placement(Instr32 instr);
  uint32_t nqubits_ = 0;
  std::vector<int32_t> gate_base_;  // by gate index: the number of the gate's first placement, or -1
  std::vector<Instr32> instrs_;
};

/// The candidate instructions of a generator: missing adjoints added, gates sorted by (qubit count,
/// index), every placement built, placements sorted by their largest qubit. Only 1- and 2-qubit
/// gates can be placed.
std::vector<Instr32> generator_placements(std::vector<Gate16> gates, uint32_t nqubits);

}  // namespace morvane
