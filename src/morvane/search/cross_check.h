#pragma once
// Queries and cross-checks on a finished class map: the members of a circuit's class, one step of
// the class graph, re-keying a whole map under another evaluator, and the check that every circuit
// of one map is represented in another, step by step.
//
// The check reduces pairs of equivalent circuits by their common front and back gates. Those are
// chosen with instruction masks: bit i of a 64-bit word stands for the instruction at index i, so
// a circuit reaching a reduction has at most 63 instructions (a longer one stops).

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "morvane/circ/instr.h"
#include "morvane/core/permut.h"
#include "morvane/search/ecc.h"
#include "morvane/search/raw_eccs.h"

namespace morvane {

class Evaluator;

/// Classes handed to the worker pool at a time by check_identity_subset.
inline constexpr size_t kCrossCheckChunk = 4096;

// Every operation here takes an evaluator of the map's qubit count (of both maps for
// check_identity_subset) and stops up front on any other.

/// The members of the class of `instrs` in `map`, each expressed on the qubits of `instrs`, in
/// stored order (not sorted, not renumbered); nothing when the class is not there.
std::optional<ECC> find_equivalents(const RawECCs& map, const Evaluator& evaluator, std::span<const Instr32> instrs);

/// The key of the class reached by appending `instr` to the first circuit of the class under
/// `current_key`, when both classes are in `map`.
std::optional<uint64_t> compute_next_key(const RawECCs& map, const Evaluator& evaluator, uint64_t current_key,
                                         Instr32 instr);

/// `source` re-keyed under `evaluator`: every stored circuit evaluated again, each class kept
/// together under its new key, with empty surface-gate sets. The opening circuit of a class takes
/// its first new pair; every further member the new pair that its own pair becomes under the same
/// relabelling (its first new pair when there is none such), so a map switched under the
/// evaluator that built it holds the source's very triples. The result shares the source's cells
/// and keeps it alive. Stops when a class splits ("Inconsistent ECC ...") or two classes meet
/// ("Hash collision ..."), the source's own empty-circuit class included.
RawECCs switch_evaluator(std::shared_ptr<const RawECCs> source, const Evaluator& evaluator);

/// Checks on the worker pool, kCrossCheckChunk classes at a time, that every simplified circuit of
/// `self` has its class in `ecc1` and passes checked_equivalent there. `evaluator` must be the one
/// that keyed `ecc1`. The stop raised is the one a sequential run meets first.
void check_identity_subset(const RawECCs& self, const RawECCs& ecc1, const Evaluator& evaluator);

/// The smallest member of the class of (`instrs`, `perm`) in `map`, on the qubits of `instrs`,
/// after checking that every prefix step leads to the same member on both sides of its reduction.
PermutedCircuit checked_equivalent(const RawECCs& map, std::span<const Instr32> instrs, Permut32 perm,
                                   const Evaluator& evaluator);

/// A member of the class and the query `instr_vec` recorded under (front_perm, back_perm), both
/// in normal form and reduced by their common front and back gates; two empty circuits (with the
/// query's permutation) when the query equals a member.
std::pair<PermutedCircuit, PermutedCircuit> export_equivalence(const RawECCs& map, const CircuitECC& ecc,
                                                               Permut32 front_perm, std::span<const Instr32> instr_vec,
                                                               Permut32 back_perm);

/// Removes the common front gates and the common back gates (read through each circuit's
/// permutation) of two circuits in place; returns how many each lost (stops when they differ).
size_t reduce_equivalence(CircuitInstrs& circ1, Permut32 perm1, CircuitInstrs& circ2, Permut32 perm2);

/// The masks of the instructions left after removing matching front surface gates of both lists,
/// pass after pass, until a pass matches nothing.
std::pair<uint64_t, uint64_t> reduce_equivalence_front(std::span<const Instr32> circ1, std::span<const Instr32> circ2);

/// Keeps the instructions at index i with bit i of `mask_front` and bit len - 1 - i of
/// `mask_back` set, in order; returns how many were removed.
size_t retain_by_masks(CircuitInstrs& circ, uint64_t mask_front, uint64_t mask_back);

}  // namespace morvane
