#pragma once
// Simplified equivalence classes: each circuit an instruction list with one trailing permutation,
// the first pair of a class its representative; a collection of classes with their qubit count.
//
// sort_eccs sorts classes by the heads of their first circuits with stable_sort_by_keys
// (core/key_sort.h): the heads' upper bits (above the position) in an LSD radix sort, whole ECCs
// compared only where those bits agree, and the classes moved in place; the result is that of a
// stable sort by the ECC order.

#include <algorithm>
#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "morvane/circ/instr.h"
#include "morvane/circ/permuted_circuit.h"
#include "morvane/core/permut.h"

namespace morvane {

/// Permut32::from_iter_with_ext(n, the qubits in `used` (a 256-bit set) in ascending order): the
/// inverse of the relabelling that numbers a class's qubits from its first circuit.
Permut32 numbering_of_used(uint8_t n, const std::array<uint64_t, 4>& used);

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

/// Order-preserving codes of instructions, and the 64-bit heads they make of circuits: a circuit's
/// first instructions as digits, the first one in the top bits, 0 where the circuit has ended. Of
/// two classes, the one whose first circuit has the smaller head comes first in the ECC order;
/// equal heads leave the order open.
class HeadCodes {
 public:
  /// Codes for the instructions of the classes' first circuits.
  explicit HeadCodes(std::span<const ECC> eccs);
  /// Codes for these instructions; others have none, except when their qubit bytes and gates make
  /// too many combinations to number again: then every combination of those has its code.
  explicit HeadCodes(std::span<const Instr32> instrs);

  /// The head of a circuit; nothing when one of the instructions it holds has no code.
  std::optional<uint64_t> head(std::span<const Instr32> instrs) const {
    if (instrs.empty()) return 0;
    const size_t n = std::min(instrs.size(), in_head_);
    uint64_t head = 0;
    for (size_t at = 0; at < n; ++at) {
      const uint64_t c = code(instrs[at]);
      if (c == 0) [[unlikely]]
        return std::nullopt;
      head = (head << bits_) | c;
    }
    return head << (64 - n * bits_);
  }

 private:
  static constexpr uint64_t kMaxTable = uint64_t(1) << 20;

  /// Numbers the instructions that `for_each_instr(f)` passes to f (it is called twice).
  template <typename ForEachInstr>
  void number(ForEachInstr for_each_instr);
  /// The instruction's qubit-byte and gate ranks as digits of a mixed radix, from 1; 0 when one of
  /// them has no rank.
  uint64_t dense(Instr32 i) const {
    const uint64_t q0 = byte_rank_[i.qargs.bytes[0]], q1 = byte_rank_[i.qargs.bytes[1]];
    const uint64_t g = i.gate.index < gate_rank_.size() ? gate_rank_[i.gate.index] : 0;
    if (q0 == 0 || q1 == 0 || g == 0) [[unlikely]]
      return 0;
    return ((q0 - 1) * bytes_ + q1 - 1) * gates_ + g;
  }
  uint64_t code(Instr32 i) const {
    const uint64_t d = dense(i);
    return d == 0 || codes_.empty() ? d : codes_[d - 1];
  }

  // Ranks from 1 of the qubit bytes and gate indices that occur, 0 for the others.
  std::array<uint16_t, 256> byte_rank_{};
  std::vector<uint32_t> gate_rank_;  // up to 65536 gates
  uint64_t bytes_ = 0, gates_ = 0;
  // By dense code less 1: the code of the instructions that occur, 0 for the other combinations;
  // empty when there are too many combinations, and the dense codes serve.
  std::vector<uint32_t> codes_;
  unsigned bits_ = 1;
  size_t in_head_ = 64;
};

/// sort_eccs with each class's head given (heads[k] of eccs[k]'s first circuit, from one HeadCodes);
/// the heads' room serves the sort.
void sort_eccs(std::vector<ECC>& eccs, std::vector<uint64_t> heads);

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
