#pragma once
// Four states of one size (2 to 5 qubits) side by side: amplitude i of lane k at index 4i + k of
// each part, so that the four values of one amplitude fill one AVX2 register. The class search
// runs the backward runs of candidates that share every gate after their first one on lanes: each
// shared gate is applied once for all four. Every lane goes through exactly the IEEE operations of
// the scalar path (StateVec::apply, normalize_arg, distinct_order, relabel), so it holds the bits
// of the state it stands for. Only where the processor has AVX2 (`available`).
//
// Kernel gates prepared for 2 to 5 qubits get a lane body (PreparedGate::lanes, the same element
// operations instantiated on vectors). normalize_arg chooses the reference amplitude lane by lane
// and computes the sum only when a lane needs it; distinct_orders finds the orders of all four at
// once (keys rounded and ranked on vectors); normalized_distinct_orders gives the orders four
// states would have once normalised, rotating only the amplitudes the keys read. Tests compare
// every lane bitwise with its state run alone.

#include <cstddef>
#include <cstdint>
#include <span>

#include "morvane/core/permut.h"
#include "morvane/core/qreal.h"
#include "morvane/state/state_vec.h"

namespace morvane {

class RelabelTables;

class StateLanes {
 public:
  static constexpr size_t kLanes = 4;
  static constexpr uint32_t kMaxQubits = 5;

  /// Whether lanes run here: AVX2, and gates prepared for 2 to 5 qubits get lane bodies.
  static bool available() { return cpu_has_avx2(); }

  /// Lanes of states of `nqubits` qubits (2 to 5), every value +0.0.
  explicit StateLanes(uint32_t nqubits);

  uint32_t nqubits() const { return nqubits_; }
  size_t len() const { return size_t(1) << nqubits_; }

  /// Lane k becomes a copy of states[k] for each of the states (at most kLanes, of this size).
  void load_all(std::span<const StateVec* const> states);
  /// `state`, a state of this size, becomes a copy of lane `lane`.
  void store(size_t lane, StateVec& state) const;
  /// Applies the gates from the last to the first to every lane (StateVec::apply_reversed); each
  /// gate must have its lane body for this size.
  void apply_reversed(std::span<const PreparedGate> gates);
  /// StateVec::normalize_arg on every lane; bit k of the result is set when lane k's phase
  /// reference was the sum of its amplitudes (amplitude 0 and the last one near zero).
  uint32_t normalize_arg();
  /// StateVec::distinct_order of every lane at once: bit k of the result is set when lane k's
  /// first key parts all differ, and then perm[k] and inverse[k] are its orders.
  uint32_t distinct_orders(Permut32* perm, Permut32* inverse) const;
  /// The same for each of `states` (at most kLanes states of one size, 2 to 5 qubits) as
  /// StateVec::normalize_arg would leave it; the states themselves stay as they are. Only the
  /// amplitudes the phase reference and the order keys need are normalised.
  static uint32_t normalized_distinct_orders(std::span<const StateVec* const> states, Permut32* perm,
                                             Permut32* inverse);
  /// `out` (a state of this size) becomes lane `lane` relabelled by `permut` (StateVec::relabel).
  void relabel_into(size_t lane, const RelabelTables& tables, Permut32 permut, StateVec& out) const;

  /// Stops: a state, gate, lane or count that does not fit the lanes.
  [[noreturn]] static void misfit();

 private:
  alignas(32) Qreal re_[kLanes << kMaxQubits];
  alignas(32) Qreal im_[kLanes << kMaxQubits];
  uint32_t nqubits_;
};

}  // namespace morvane
