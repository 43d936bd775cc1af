#pragma once
// Complex state vectors of n qubits: 2^n amplitudes held as two Qreal arrays `re` and `im`; bit q
// of an amplitude's index is the value of qubit q. Equality, order and hash look at the amplitudes'
// Qreal keys (2^-24 grid), `re` first, then `im`.
//
// The hot paths allocate nothing: copy_from reuses the arrays, gate kernels work in place, and
// relabelling exchanges arrays with this thread's scratch vector (reserve_state_vec_cache first) or
// with a scratch state the caller passes. States of 2 to 5 qubits (the class search's) take
// fixed-length loops in normalize_arg, hash_value and copy_from. A state whose order keys differ in
// their first parts (the common case) gets its sorting permutation and its inverse from
// distinct_order, without an OrderInfo; a state read only for its order can be normalised at just
// the amplitudes the order keys read (normalize_arg_order_keys, the same bits there). The hash
// rounds its keys two at a time (percision_reprs); hash_values hashes eight states of one size at
// once in two interleaved chains of AVX2 lanes (one chain's SipHash rounds fill the other's
// latency) where the processor has them (checked at run time), otherwise one by one; both give
// hash_value bit for bit.

#include <array>
#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "morvane/circ/gate.h"
#include "morvane/circ/instr.h"
#include "morvane/core/chacha.h"
#include "morvane/core/permut.h"
#include "morvane/core/qreal.h"

namespace morvane {

class OrderInfo;
class RelabelTables;
class StateVec;

/// The member offsets of group 0 of a one- or two-qubit application (a one-qubit one uses two).
using GateOffsets = std::array<size_t, 4>;

/// An instruction checked once against a state size, for states of that size: a kernel gate keeps
/// its kernel's body and member offsets, so that applying it skips the lookup and the operand
/// checks; any other gate is applied as StateVec::apply(Instr32) does.
struct PreparedGate {
  using Body = void (*)(Qreal* re, Qreal* im, size_t len, const GateOffsets& off);
  /// The gate on the four states of a StateLanes of its size.
  using LaneBody = void (*)(Qreal* re, Qreal* im);
  Instr32 instr;
  size_t len = 0;
  Body body = nullptr;
  LaneBody lanes = nullptr;  // a kernel gate on 2 to 5 qubits, where the processor runs lanes
  GateOffsets off{};

  /// Stops as an application of `instr` to a state of `nqubits` qubits would.
  static PreparedGate prepare(Instr32 instr, uint32_t nqubits);
};

/// Whether the processor has AVX2 (checked once).
bool cpu_has_avx2();

class StateVec {
 public:
  /// Takes the parts unchanged (no normalisation). Stops unless both have the same length and
  /// that length is a power of two.
  static StateVec make(std::span<const double> re, std::span<const double> im);
  /// 2^num_qubits amplitudes, every part +0.0.
  static StateVec zeros(uint32_t num_qubits);
  /// 2^n uniform draws for `re` (index 0 first), then 2^n for `im`; then normalize().
  static StateVec from_random(ChaCha12Rng& rng, uint32_t num_qubits);
  /// Becomes from_random(rng, num_qubits), reusing this state's arrays.
  void assign_random(ChaCha12Rng& rng, uint32_t num_qubits);
  /// n+1 draws r_w, then n+1 draws m_w; amplitude i is r_w + m_w i with w = popcount(i), so every
  /// relabelling of qubits leaves the state unchanged; then normalize().
  static StateVec from_random_symmetric(ChaCha12Rng& rng, uint32_t num_qubits);
  /// The length 2^num_qubits. Stops for 32 or more qubits, and with "capacity overflow" for 28 to
  /// 31 (the arrays would not fit a 32-bit address space), before anything is allocated.
  static size_t checked_len(uint32_t num_qubits);

  StateVec(const StateVec&) = default;
  StateVec(StateVec&&) noexcept = default;
  StateVec& operator=(const StateVec&) = default;
  StateVec& operator=(StateVec&&) noexcept = default;

  size_t len() const { return re_.size(); }
  uint32_t nqubits() const { return static_cast<uint32_t>(std::countr_zero(re_.size())); }

  /// Stops with the index message unless `index` is below the length.
  Complex at(size_t index) const;
  void set(size_t index, Complex value);

  std::span<const Qreal> re() const { return re_; }
  std::span<const Qreal> im() const { return im_; }
  Qreal* re_data() { return re_.data(); }
  Qreal* im_data() { return im_.data(); }

  /// Σ (im² + re²) in index order, from 0.0.
  double norm_sq() const;
  /// Divides every part by √norm_sq, then normalize_arg().
  void normalize();
  /// Rotates the global phase so that the reference amplitude (amplitude 0, else the last one,
  /// else the sum of all, skipping those near zero in both parts) becomes real and non-negative;
  /// amplitude 0's imaginary part is then set to +0.0.
  void normalize_arg();
  /// normalize_arg of the amplitudes the order keys read (get_orderinfo), each with the bits
  /// normalize_arg gives it; the others stay as they are (on 2 qubits or fewer: normalize_arg).
  void normalize_arg_order_keys();
  /// |norm_sq − 1| < 2^-24.
  bool check() const;
  /// SipHash-1-3 (zero keys) over: count of re (4 bytes), keys of re, count of im, keys of im.
  uint64_t hash_value() const;
  /// How many states hash_values hashes together where the machine allows.
  static constexpr size_t kHashBatch = 8;
  /// out[k] = states[k]->hash_value() for every k: states of 2 to 5 qubits eight (or four) at a
  /// time with AVX2 where the processor has it.
  static void hash_values(std::span<const StateVec* const> states, uint64_t* out);
  /// Qreal::loose_eq on every index below the shorter of each pair of arrays.
  bool loose_eq(const StateVec& other) const;
  StateVec clone() const { return *this; }
  /// Becomes a copy of `other`, reusing this state's arrays when their capacity suffices.
  void copy_from(const StateVec& other) {
    const size_t n = other.re_.size();
    if (re_.size() == n && im_.size() == n && other.im_.size() == n && &other != this) {
      // The sizes of the class search, copied without a library call.
      switch (n) {
        case 4: return copy_small<4>(other);
        case 8: return copy_small<8>(other);
        case 16: return copy_small<16>(other);
        case 32: return copy_small<32>(other);
        default: break;
      }
    }
    assign_from(other);
  }
  /// Exchanges the arrays of two states of any lengths; nothing is copied.
  void swap_arrays(StateVec& other) noexcept {
    re_.swap(other.re_);
    im_.swap(other.im_);
  }
  /// "[a0, a1, ...]", each amplitude at precision 4: "1.0000", "-1.0000j" or "0.5000+0.2500j".
  std::string to_string() const;

  // Gate application (kernels.cc).

  /// Applies `gate` with its operands on `qubits` (operand t is matrix bit K−1−t): the gate's
  /// kernel when it has one, otherwise its matrix under the registry's read lock.
  void apply(std::span<const uint8_t> qubits, Gate16 gate);
  void apply(Instr32 instr) { apply(instr.qargs.as_slice(), instr.gate); }
  /// Stops unless the state has the size the gate was prepared for.
  void apply(const PreparedGate& gate) { apply_reversed({&gate, 1}); }
  /// Applies the gates from the last to the first (a backward run of adjoints); stops at the first
  /// one not prepared for this state's size.
  void apply_reversed(std::span<const PreparedGate> gates) {
    const size_t len = re_.size();  // im_ has the same length
    for (size_t k = gates.size(); k-- > 0;) {
      const PreparedGate& gate = gates[k];
      if (!gate.body) {
        apply(gate.instr);
        continue;
      }
      if (gate.len != len) [[unlikely]]
        wrong_prepared_size();
      gate.body(re_.data(), im_.data(), len, gate.off);
    }
  }

  // Qubit order and relabelling (order_info.cc).

  OrderInfo get_orderinfo() const;
  /// The sorting permutation of get_orderinfo().
  Permut32 get_permutation() const;
  /// The sorting permutation of get_orderinfo() and its inverse when the first parts of the
  /// order keys all differ (they alone then give the order, and every class has one qubit); false
  /// when two first parts are equal or there are more than 8 qubits.
  bool distinct_order(Permut32& perm, Permut32& inverse) const;
  /// Old qubit k becomes qubit permut[k], through this thread's scratch vector of this size
  /// (reserve_state_vec_cache first). The permutation must have exactly nqubits() positions.
  void apply_permutation(Permut32 permut);
  /// The same through `scratch`, a state of this length whose arrays are exchanged with these.
  void apply_permutation(Permut32 permut, StateVec& scratch);
  /// apply_permutation(permut, scratch) by the tables of this state's qubit count.
  void relabel(const RelabelTables& tables, Permut32 permut, StateVec& scratch);

  friend bool operator==(const StateVec& a, const StateVec& b);
  friend std::strong_ordering operator<=>(const StateVec& a, const StateVec& b);

 private:
  StateVec(std::vector<Qreal> re, std::vector<Qreal> im) : re_(std::move(re)), im_(std::move(im)) {}
  [[noreturn]] static void wrong_prepared_size();
  /// copy_from for any lengths.
  void assign_from(const StateVec& other);
  /// Both arrays of a state of L amplitudes, as this one's.
  template <size_t L>
  void copy_small(const StateVec& from) {
    __builtin_memcpy(re_.data(), from.re_.data(), L * sizeof(Qreal));
    __builtin_memcpy(im_.data(), from.im_.data(), L * sizeof(Qreal));
  }

  std::vector<Qreal> re_;
  std::vector<Qreal> im_;
};

}  // namespace morvane
