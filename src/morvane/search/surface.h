#pragma once
// Surface gates: the instructions of a circuit that can be moved to its front (none of their qubits
// is touched by an earlier instruction) or to its back (none is touched by a later one). A class
// admits a further circuit only when that circuit's surface gates are all new to it.

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "morvane/circ/instr.h"

namespace morvane {

/// The qubits of an instruction as every surface-gate test sees them, scanned once: their bits
/// (modulo 32), and whether two of them share a bit (such an instruction is never fresh, but still
/// marks its qubits).
struct ScannedQubits {
  uint32_t mask = 0;
  bool repeats = false;

  explicit ScannedQubits(Instr32 instr) {
    for (uint8_t q : instr.qargs.as_slice()) {
      const uint32_t bit = 1u << (q % 32);
      repeats |= (mask & bit) != 0;
      mask |= bit;
    }
  }
  /// Marks the qubits in `touched` and tells whether none of them was marked before.
  bool touches_only_fresh(uint32_t& touched) const {
    const bool fresh = ((mask & touched) == 0) & !repeats;
    touched |= mask;
    return fresh;
  }
};

/// ScannedQubits(instr).touches_only_fresh(touched).
inline bool touches_only_fresh_qubits(Instr32 instr, uint32_t& touched) {
  return ScannedQubits(instr).touches_only_fresh(touched);
}

/// Visits the surface gates of `instrs` in visiting order: with `back` false the instructions none
/// of whose qubits an earlier instruction touches, with `back` true (visiting from the end) those
/// none of whose qubits a later one touches. The qubits in `touched` count as touched already.
template <typename F>
void for_each_surface_gate(std::span<const Instr32> instrs, bool back, F&& f, uint32_t touched = 0) {
  size_t n = instrs.size();
  for (size_t k = 0; k < n; ++k) {
    Instr32 i = instrs[back ? n - 1 - k : k];
    if (touches_only_fresh_qubits(i, touched)) f(i);
  }
}
std::vector<Instr32> circuit_get_surface_gates(std::span<const Instr32> instrs, bool back = false);

/// The front surface gates among the instructions selected by `filtering_mask` (bit i for index i),
/// each with its index, in visiting order; an equal instruction met again keeps its first place
/// and takes the later index.
std::vector<std::pair<Instr32, size_t>> circuit_get_surface_gates_hashmap(std::span<const Instr32> instrs,
                                                                          uint64_t filtering_mask);
/// The same into `out`, replacing its contents (its capacity is reused).
void circuit_get_surface_gates_hashmap(std::span<const Instr32> instrs, uint64_t filtering_mask,
                                       std::vector<std::pair<Instr32, size_t>>& out);

}  // namespace morvane
