#pragma once
// The randomized evaluator that fingerprints circuits. It holds two random states drawn once: a
// circuit runs forward on the first, which is symmetric under every relabelling of qubits, and
// backward (its inverse) on the second. The forward result decides which output relabellings must
// be tried; the backward results are brought into canonical qubit order and the smallest of them is
// the key state, whose hash is the circuit's class key. Circuits that differ only by relabellings of
// their input and output qubits get the same key state. Alongside the key state the evaluator
// reports every (front, back) permutation pair that reaches it.
//
// Batched runs (extend_batch): up to four candidates that each extend one expanded circuit by one
// instruction, one Extension record per candidate (its gate, its adjoint, its scratch and its
// backward starts, if kept). Each backward run in full starts from its relabelled backtrack state
// with its candidate's own adjoint applied, then goes on a lane (four starts loaded together,
// transposed four amplitudes at a time); the expanded circuit's adjoints, shared by all, run once
// for four lanes (filled from any candidates of the group). Up to 4 qubits the search keeps each
// candidate's backward starts (append_backward_starts: the relabelled backtrack states with its
// adjoint applied, a few hundred small states), and the lanes load from them.
//
// Where a forward state has several symmetries, a symmetry whose relabelling differs from that of
// one already run in full only on qubits no gate touches (its back permutation agrees with that
// one's on every touched qubit) takes that run's result: the backward state is the same bits
// relabelled, so is the canonical state, and its sorting permutation is the relabelling composed
// with that run's. Not when that run's phase reference was the sum of all amplitudes (its rounding
// depends on their order) or its order needed more than the first key parts. So the lanes take the
// first symmetry of each such set (up to 8); the runs' results are kept per candidate, and
// choose_key then takes the symmetries in order, running alone the rare one whose set's first run
// turned out unfit. On 2 and 3 qubits candidates with several symmetries run alone (cheaper than
// that bookkeeping there). evaluate_multiple keeps the plain loop, and tests compare both paths.

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "morvane/circ/instr.h"
#include "morvane/core/chacha.h"
#include "morvane/core/permut.h"
#include "morvane/state/order_info.h"
#include "morvane/state/state_lanes.h"
#include "morvane/state/state_vec.h"

namespace morvane {

using PermPair = std::pair<Permut32, Permut32>;

/// The (front, back) pairs of one evaluation, in the order found; the first one is held inline.
class PermPairs {
 public:
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const PermPair& operator[](size_t i) const { return i == 0 ? first_ : rest_[i - 1]; }
  void clear() {
    size_ = 0;
    rest_.clear();
  }
  void push_back(PermPair p) {
    if (size_ == 0)
      first_ = p;
    else
      rest_.push_back(p);
    ++size_;
  }
  std::vector<PermPair> to_vec() const {
    std::vector<PermPair> out;
    for (size_t i = 0; i < size_; ++i) out.push_back((*this)[i]);
    return out;
  }

 private:
  PermPair first_;
  std::vector<PermPair> rest_;
  size_t size_ = 0;
};

class Evaluator {
 public:
  struct Result {
    StateVec key;
    PermPairs pairs;
    StateVec forward;
  };
  struct Single {
    StateVec key;
    Permut32 front, back;
    StateVec forward;
  };
  /// What a backward run in full gives: the sorting permutation t of its normalised state (whose
  /// relabelling by t⁻¹ is the canonical state), whether the phase reference was amplitude 0 or
  /// the last one (not the sum of all), and whether the first key parts alone gave the order.
  struct FullRun {
    Permut32 t;
    bool fixed_reference = false;
    bool distinct = false;
  };
  /// A forward state's symmetries and sorting permutation (defined where evaluations run).
  struct ForwardOrder;
  /// Reusable states of one caller's evaluations: nothing is allocated per evaluation once they
  /// have grown (the pair list keeps its capacity).
  struct Scratch {
    explicit Scratch(uint32_t nqubits);
    StateVec forward, back, best;
    StateVec spare;  // the other arrays of relabellings
    PermPairs pairs;
    std::vector<PreparedGate> gates;  // a backward run's gates, where they are not at hand in one list
    // Backward runs in full on lanes: their results and, for a forward state with several
    // symmetries, their canonical states and for each symmetry its run (or -1).
    std::vector<FullRun> runs;
    std::vector<StateVec> run_states;
    std::vector<int32_t> run_of;
  };
  /// One candidate of extend_batch: the circuit of the prefix extended by `first` (prepared), whose
  /// adjoint is `last`; its results go to `scratch`. `starts`, where not null, is its
  /// append_backward_starts, so that its runs start from a copy.
  struct Extension {
    const PreparedGate* first = nullptr;
    const PreparedGate* last = nullptr;
    Scratch* scratch = nullptr;
    const StateVec* starts = nullptr;
  };

  /// The symmetric initial state, then the backtrack state from the same generator.
  /// The largest evaluator: the symmetry table covers 5 qubits.
  static constexpr uint32_t kMaxQubits = 5;

  /// Stops for 6 to 31 qubits (naming the supported range); 0 qubits is allowed.
  static Evaluator from_random(uint32_t nqubits, ChaCha12Rng& rng);
  /// With a generator seeded afresh from the operating system.
  static Evaluator from_os_random(uint32_t nqubits);
  /// Takes both states as given: the backtrack state should be in canonical qubit order and the
  /// initial state symmetric under relabellings, or evaluations lose their meaning.
  static Evaluator from_states(StateVec initial, StateVec backtrack) {
    return Evaluator(std::move(initial), std::move(backtrack));
  }

  uint32_t nqubits() const { return initial_state_.nqubits(); }
  const StateVec& initial_state() const { return initial_state_; }
  const StateVec& backtrack_state() const { return backtrack_state_; }

  /// The key state, every (front, back) pair that reaches it, and the forward state.
  Result evaluate_multiple(std::span<const Instr32> instrs) const;
  /// As evaluate_multiple, keeping the first pair.
  Single evaluate(std::span<const Instr32> instrs) const;
  /// The class key of the empty circuit.
  uint64_t initial_key() const;

  /// The initial state with `instrs` applied, not normalised: the shared start of the forward runs
  /// of the circuits that extend `instrs` by one instruction.
  void prefix_into(std::span<const Instr32> instrs, StateVec& prefix) const;
  /// The same with the instructions prepared for the evaluator's qubit count.
  void prefix_into(std::span<const PreparedGate> instrs, StateVec& prefix) const;
  /// For up to StateLanes::kLanes candidates, each the circuit of the prefix (`shared`: the
  /// adjoints of its gates) extended by its `first`: its scratch gets in `best` and `pairs` what
  /// evaluate_into gives for the whole circuit. The backward runs share the gates of `shared` on
  /// `lanes` (of the evaluator's size; nullptr: every candidate runs alone), bit for bit as they
  /// run alone. On lanes the forward states' orders are found on all four at once; only the
  /// amplitudes the order keys read are normalised, and only where the first key parts tie:
  /// `forward` is left as scratch.
  void extend_batch(const StateVec& prefix, std::span<const PreparedGate> shared, std::span<const Extension> batch,
                    StateLanes* lanes) const;
  /// Appends to `out` the start of every backward run of a candidate whose own adjoint is `last`
  /// (prepared for the evaluator's qubit count): the backtrack state relabelled by each
  /// permutation, in the order of their Lehmer ranks, with `last` applied. Up to 5 qubits.
  void append_backward_starts(const PreparedGate& last, std::vector<StateVec>& out) const;

  /// evaluate_multiple into `scratch` (the key state in `best`), with adjoints[k] the adjoint of
  /// instrs[k], all prepared for the evaluator's qubit count.
  void evaluate_into(std::span<const PreparedGate> instrs, std::span<const PreparedGate> adjoints,
                     Scratch& scratch) const;

  friend bool operator==(const Evaluator& a, const Evaluator& b) {
    return a.initial_state_ == b.initial_state_ && a.backtrack_state_ == b.backtrack_state_;
  }

 private:
  template <typename G>
  void run_forward(std::span<const G> instrs, StateVec& state) const;
  template <typename G>
  void backward_run(std::span<const G> adjoints, Scratch& scratch) const;
  /// backward_run from the forward state's order.
  template <typename G>
  void run_symmetries(const ForwardOrder& order, std::span<const G> adjoints, Scratch& scratch) const;
  /// The backtrack state relabelled by m, into `back`.
  void start_backward(Permut32 m, StateVec& back) const;
  /// A normalised backward state relabelled by the inverse of its sorting permutation.
  void relabel_canonical(StateVec& back, Permut32 t_inv, StateVec& spare) const;
  /// The end of a backward run in the scratch's `back`, its canonical state left there.
  FullRun finish_alone(Scratch& s) const;
  /// Whether the backward runs go on `lanes`.
  bool lanes_fit(std::span<const PreparedGate> shared, const StateLanes* lanes) const;
  /// The backward runs of extend_batch on `lanes` (nullptr: each runs alone), where bit k of `known` marks
  /// a candidate whose forward state has distinct first key parts, of sorting permutation f[k]
  /// and inverse f_inv[k] (the others' forward states are normalised).
  void backward_lanes(std::span<const PreparedGate> shared, std::span<const Extension> batch, uint32_t known,
                      const Permut32* f, const Permut32* f_inv, StateLanes* lanes) const;

  Evaluator(StateVec initial, StateVec backtrack);

  StateVec initial_state_;
  StateVec backtrack_state_;
  // Up to 5 qubits: relabelling by table, and the backtrack state relabelled by every permutation,
  // by Lehmer rank, so that a backward run starts from a copy instead of a relabelling (the
  // amplitudes are the same bits).
  std::optional<RelabelTables> relabel_tables_;
  std::vector<StateVec> relabelled_backtrack_;
};

}  // namespace morvane
