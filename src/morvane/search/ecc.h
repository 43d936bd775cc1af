#pragma once
// Simplified equivalence classes: each circuit an instruction list with one trailing permutation,
// the first pair of a class its representative; a collection of classes with their qubit count.

#include <compare>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <absl/container/inlined_vector.h>

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

/// `instrs` followed by one SWAP on each pair that the permutation's sorting network exchanges.
std::vector<Instr32> with_swaps(std::span<const Instr32> instrs, Permut32 perm);

struct ECC {
  std::vector<PermutedCircuit> circuits;

  /// The class of these circuits: stable-sorted shortest first (then by instructions and the
  /// permutation's raw word), then relabelled so that the qubits the first circuit uses become
  /// 0, 1, … in ascending order (the others by Permut32::from_iter_with_ext's fill rule), each
  /// permutation p as uniform * p * uniform⁻¹. Stops with the index message when there is none.
  static ECC from_circuits(std::vector<PermutedCircuit> circuits);

  /// The i-th pair; stops with the index message when there is none.
  const PermutedCircuit& at(size_t i) const;
  /// Rebased so that the first pair's permutation is the identity: every permutation p becomes
  /// first⁻¹ * p; the instructions stay.
  ECC simplify_permute() &&;
  /// Every circuit followed by the SWAPs of first⁻¹ * its permutation (none for the first one).
  std::vector<std::vector<Instr32>> materialized() const;
  /// "ECC {\n" then "\t<materialized circuit>,\n" per pair, then "}".
  std::string display() const;

  friend bool operator==(const ECC&, const ECC&) = default;
  friend std::strong_ordering operator<=>(const ECC& a, const ECC& b) {
    return std::lexicographical_compare_three_way(a.circuits.begin(), a.circuits.end(), b.circuits.begin(),
                                                  b.circuits.end());
  }
};

/// Stable sort by the ECC order (equal classes keep their relative order).
void sort_eccs(std::vector<ECC>& eccs);

struct ECCs {
  std::vector<ECC> eccs;
  uint32_t nqubits = 0;

  /// The classes of at least two circuits in display form, joined by " & ".
  std::string display() const;
  /// The classes of more than one circuit, in order.
  ECCs filter_single() const;
  /// Copies of the classes whose materialized circuits do not all give one state from a fresh
  /// random state.
  std::vector<ECC> check() const;

  friend bool operator==(const ECCs&, const ECCs&) = default;
};

}  // namespace morvane
