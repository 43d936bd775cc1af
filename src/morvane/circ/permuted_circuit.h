#pragma once
// A circuit with a trailing permutation in the form the class collections store: up to 8
// instructions inline, so a class of such circuits takes one allocation, not one more per circuit.
// It holds the same circuit as a Circ, whose operations it reaches through to_circ.

#include <algorithm>
#include <compare>
#include <vector>

#include <absl/container/inlined_vector.h>

#include "morvane/circ/circ.h"
#include "morvane/circ/instr.h"
#include "morvane/core/permut.h"

namespace morvane {

/// The instructions of a stored circuit: up to 8 inline, so the circuits of the usual searches
/// need no allocation of their own.
using CircuitInstrs = absl::InlinedVector<Instr32, 8>;

/// An instruction list followed by a relabelling of its output qubits.
struct PermutedCircuit {
  CircuitInstrs instrs;
  Permut32 perm;

  std::vector<Instr32> instrs_vector() const { return {instrs.begin(), instrs.end()}; }
  /// The same circuit as a Circ; stops as Circ::make does when a used qubit is not below the
  /// permutation's length.
  Circ to_circ() const { return Circ::make(instrs_vector(), perm); }

  friend bool operator==(const PermutedCircuit&, const PermutedCircuit&) = default;
  /// Instructions lexicographically (a proper prefix first), then the permutation's raw word.
  friend std::strong_ordering operator<=>(const PermutedCircuit& a, const PermutedCircuit& b) {
    if (auto c =
            std::lexicographical_compare_three_way(a.instrs.begin(), a.instrs.end(), b.instrs.begin(), b.instrs.end());
        c != 0)
      return c;
    return a.perm.raw <=> b.perm.raw;
  }
};

}  // namespace morvane
