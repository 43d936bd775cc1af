#pragma once
// Gate application: nine built-in gates have kernels that touch only the amplitudes they change;
// every other gate goes through its matrix (1, 2 or 3 qubits) under the registry's read lock.
//
// A K-qubit application on n qubits visits 2^(n−K) groups. The base index of group g is g with a
// 0 bit inserted at each qubit position in increasing order of position; member j of the group is
// the base with bit K−1−t of j placed at position qubits[t] (operand 0 is the most significant
// bit of the matrix's row and column index).
//
// Kernels work in place. A gate prepared for a state of 2 to 5 qubits (PreparedGate) gets a kernel
// body unrolled for its state size and placement (GateFuncs::Bodies::fixed), and one for four
// states side by side (StateLanes).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "morvane/circ/gate.h"
#include "morvane/state/state_vec.h"

namespace morvane {

/// A kernel: applies its gate in place to the qubits listed, in operand order.
using GateFn = void (*)(StateVec& state, std::span<const uint8_t> qubits);

/// The bits of `input` below `at`, then `value`, then the remaining bits of `input` moved up one.
constexpr size_t insert_bit(size_t input, uint8_t at, bool value) {
  size_t low = input & ((size_t(1) << at) - 1);
  return ((input - low) << 1) | (size_t(value) << at) | low;
}

/// The 2, 4 or 8 member indices of group `group`, member 0 first. The qubits must lie below the
/// width of a machine word and be distinct.
std::array<size_t, 2> qubit_matrix_indices1(size_t group, std::span<const uint8_t> qubits);
std::array<size_t, 4> qubit_matrix_indices2(size_t group, std::span<const uint8_t> qubits);
std::array<size_t, 8> qubit_matrix_indices3(size_t group, std::span<const uint8_t> qubits);

void perform_h_gate(StateVec& state, std::span<const uint8_t> qubits);
void perform_x_gate(StateVec& state, std::span<const uint8_t> qubits);
void perform_z_gate(StateVec& state, std::span<const uint8_t> qubits);
void perform_s_gate(StateVec& state, std::span<const uint8_t> qubits);
void perform_sdg_gate(StateVec& state, std::span<const uint8_t> qubits);
void perform_t_gate(StateVec& state, std::span<const uint8_t> qubits);
void perform_tdg_gate(StateVec& state, std::span<const uint8_t> qubits);
void perform_cx_gate(StateVec& state, std::span<const uint8_t> qubits);
void perform_swap_gate(StateVec& state, std::span<const uint8_t> qubits);

/// Replaces the amplitudes of every group by `matrix` times the group's amplitude vector; the
/// matrix must be 2^K × 2^K for K = qubits.size() in 1..3. Sums run over the columns in order.
void multiply(StateVec& state, std::span<const uint8_t> qubits, const CMatrix& matrix);

/// The process-wide map from gate to kernel, built on first use: h, x, z, t, tdg, s, sdg, swap, cx.
class GateFuncs {
 public:
  /// The kernel of `gate`, or nullptr when it goes through its matrix.
  GateFn find(Gate16 gate) const { return gate.index < by_index_.size() ? by_index_[gate.index] : nullptr; }
  /// The bodies of a kernel: for any state (`any`), and unrolled for one state size and placement
  /// (`fixed` gives it for a qubit count and checked operands, or nullptr when it has none), the
  /// latter also on four states side by side (`lanes`).
  struct Bodies {
    PreparedGate::Body any = nullptr;
    PreparedGate::Body (*fixed)(uint32_t nqubits, std::span<const uint8_t> qubits) = nullptr;
    /// The body on the lanes of a StateLanes of a qubit count, or nullptr.
    PreparedGate::LaneBody (*lanes)(uint32_t nqubits, std::span<const uint8_t> qubits) = nullptr;
    uint8_t nqargs = 0;
  };
  /// The bodies of the kernel of `gate`, or nullptr when it has none.
  const Bodies* bodies(Gate16 gate) const {
    return gate.index < bodies_.size() && bodies_[gate.index].any ? &bodies_[gate.index] : nullptr;
  }
  size_t size() const { return count_; }

 private:
  friend const GateFuncs& GATE_FUNCS();
  void insert(Gate16 gate, GateFn fn, Bodies bodies);
  std::vector<GateFn> by_index_;  // indexed by the gate's 16-bit index itself
  std::vector<Bodies> bodies_;
  size_t count_ = 0;
};

const GateFuncs& GATE_FUNCS();

}  // namespace morvane
