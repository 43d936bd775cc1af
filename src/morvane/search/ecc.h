#pragma once
// Simplified equivalence classes: each circuit an instruction list with one trailing permutation,
// the first pair of a class its representative; a collection of classes with their qubit count.

#include <compare>
#include <cstdint>
#include <utility>
#include <vector>

#include "morvane/circ/instr.h"
#include "morvane/core/permut.h"

namespace morvane {

/// An instruction list followed by a relabelling of its output qubits.
struct PermutedCircuit {
  std::vector<Instr32> instrs;
  Permut32 perm;

  friend bool operator==(const PermutedCircuit&, const PermutedCircuit&) = default;
  /// Instructions lexicographically (a proper prefix first), then the permutation's raw word.
  friend std::strong_ordering operator<=>(const PermutedCircuit& a, const PermutedCircuit& b) {
    if (auto c = std::lexicographical_compare_three_way(a.instrs.begin(), a.instrs.end(), b.instrs.begin(),
                                                        b.instrs.end());
        c != 0)
      return c;
    return a.perm.raw <=> b.perm.raw;
  }
};

struct ECC {
  std::vector<PermutedCircuit> circuits;

  friend bool operator==(const ECC&, const ECC&) = default;
  friend std::strong_ordering operator<=>(const ECC& a, const ECC& b) {
    return std::lexicographical_compare_three_way(a.circuits.begin(), a.circuits.end(), b.circuits.begin(),
                                                  b.circuits.end());
  }
};

struct ECCs {
  std::vector<ECC> eccs;
  uint32_t nqubits = 0;

  friend bool operator==(const ECCs&, const ECCs&) = default;
};

}  // namespace morvane
