#pragma once
// Circuits with a trailing permutation: compact instructions followed by a relabelling of the
// qubits. An instruction on qubit q placed right after the permutation π equals the same
// instruction on π⁻¹[q] placed right before it. Every operation returns a new circuit.
//
// Circuits read from a serialized form are taken as stored. Every operation that indexes by their
// qubits or permutation images first runs check_well_formed, so malformed data stop with a
// message naming the fault.

#include <compare>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "morvane/circ/instr.h"
#include "morvane/core/permut.h"
#include "morvane/core/postcard.h"
#include "morvane/core/siphash.h"

namespace morvane {

/// `instrs` followed by one SWAP on each pair that the permutation's sorting network exchanges.
std::vector<Instr32> with_swaps(std::span<const Instr32> instrs, Permut32 perm);

struct Circ {
  std::vector<Instr32> instrs;
  Permut32 perm;

  /// Stops with "Permutation length must be greater than the max qubit index." when a used qubit
  /// is not below the permutation's length. Instructions and permutation stay as passed.
  static Circ make(std::vector<Instr32> instrs, Permut32 perm);
  /// The identity permutation on one more qubit than the largest used one; the empty permutation
  /// when no instruction uses a qubit.
  static Circ make_no_perm(std::vector<Instr32> instrs);

  size_t len() const { return instrs.size(); }
  bool is_empty() const { return instrs.empty(); }
  uint8_t nqubits() const { return perm.len(); }

  /// Relabelled by `p`: qubit q becomes p'[q], the permutation p' * perm * p'⁻¹, both padded with
  /// fixed points to the longer length.
  Circ permut(Permut32 p) const;
  /// permut(p) written into `out`, whose instruction storage is reused (`out` must not be this).
  void permut_into(Permut32 p, Circ& out) const;
  /// n > 0: instructions n.. first, then 0..n-1 relabelled through perm⁻¹; n < 0: the last -n
  /// instructions relabelled through perm first, then the others. |n| above the length stops.
  Circ rotate(int64_t n) const;
  /// Reversed, each gate replaced by its adjoint on perm[q], with the permutation perm⁻¹.
  Circ inverse() const;
  /// SWAP instructions folded into the permutation.
  Circ remove_swaps() const;
  /// The instructions followed by the SWAPs of the permutation's sorting network (with_swaps).
  std::vector<Instr32> instrs_with_swaps() const { return with_swaps(instrs, perm); }
  friend Circ operator+(const Circ& a, const Circ& b);
  /// a + b written into `out`, whose instruction storage is reused (`out` must be neither).
  static void join_into(const Circ& a, const Circ& b, Circ& out);

  /// Stops with a message naming the fault unless the permutation word is a permutation of at
  /// most 8 positions and every instruction has its gate's arity on distinct qubits below the
  /// permutation's length, with no used slot after an empty one. Circuits built with `make` pass;
  /// circuits read from a serialized form may not, and must not reach any qubit-indexed table.
  void check_well_formed() const;
  /// The permutation-word part of check_well_formed.
  void check_perm_word() const;

  /// "Circuit { h(0) cx(0, 1) (1 0) }"
  std::string display() const { return display_as("Circuit"); }
  /// The display with another name in front: "<name> { h(0) (0) }".
  std::string display_as(std::string_view name) const;
  /// "Circ { instrs: [h(0), cx(0, 1)], perm: (1 0) }"
  std::string debug() const;

  friend bool operator==(const Circ&, const Circ&) = default;
  /// Fewer instructions first, then the instructions in order, then the permutation's raw word.
  friend std::strong_ordering operator<=>(const Circ& a, const Circ& b);

  /// Count (4 bytes), per instruction gate index (2), the count 2 (4) and the two qubit bytes,
  /// then the permutation's raw word (4).
  void hash_into(SipHasher13& h) const;
  /// SipHash-1-3 (zero keys) of the stream above, packed into whole words.
  uint64_t hash_value() const;

  /// Postcard form: the instruction count and each instruction's postcard form, then the
  /// permutation's raw word as a varint. Reading performs none of the checks of `make`.
  template <typename W>
  void write_postcard(W& w, GateTexts& texts) const {
    w.varint32(static_cast<uint32_t>(instrs.size()));
    for (Instr32 i : instrs) i.write_postcard(w, texts);
    w.varint32(perm.raw);
  }
  static Circ read_postcard(postcard::Reader& r, std::string& scratch, GateNames& names);
};

}  // namespace morvane
