#include "morvane/search/evaluator.h"

#include <array>
#include <optional>
#include <type_traits>

#include "morvane/core/panic.h"
#include "morvane/state/order_info.h"
#include "morvane/state/state_lanes.h"

namespace morvane {

Evaluator::Scratch::Scratch(uint32_t nqubits)
    : forward(StateVec::zeros(nqubits)),
      back(StateVec::zeros(nqubits)),
      best(StateVec::zeros(nqubits)),
      spare(StateVec::zeros(nqubits)) {}

Evaluator::Evaluator(StateVec initial, StateVec backtrack)
    : initial_state_(std::move(initial)), backtrack_state_(std::move(backtrack)) {
  const uint32_t n = backtrack_state_.nqubits();
  if (n > 5 || initial_state_.nqubits() != n) return;
  const auto& all = Permut32::all(uint8_t(n));
  relabel_tables_.emplace(n);
  relabelled_backtrack_.resize(all.size(), backtrack_state_);
  reserve_state_vec_cache(n);
  for (Permut32 p : all) relabelled_backtrack_[p.lehmer_rank()].apply_permutation(p);
}

Evaluator Evaluator::from_random(uint32_t nqubits, ChaCha12Rng& rng) {
  // Sorting permutations hold at most 8 positions; larger states are refused before anything is
  // drawn (from 28 qubits on the state itself refuses its size).
  if (nqubits > 8 && nqubits < 28) panic("Permutation length must be less than or equal to 8");
  StateVec initial = StateVec::from_random_symmetric(rng, nqubits);
  StateVec b = StateVec::from_random(rng, nqubits);
  b.normalize_arg();
  Permut32 p = b.get_permutation();
  reserve_state_vec_cache(nqubits);
  b.apply_permutation(p.inv());
  return Evaluator(std::move(initial), std::move(b));
}

Evaluator Evaluator::from_os_random(uint32_t nqubits) {
  ChaCha12Rng rng = ChaCha12Rng::from_os_rng();
  return from_random(nqubits, rng);
}

void Evaluator::evaluate_into(std::span<const PreparedGate> instrs, std::span<const PreparedGate> adjoints,
                              Scratch& s) const {
  run_forward(instrs, s.forward);
  s.forward.normalize_arg();
  backward_run(adjoints, s);
}

template <typename G>
void Evaluator::run_forward(std::span<const G> instrs, StateVec& state) const {
  state.copy_from(initial_state_);
  for (const G& i : instrs) state.apply(i);
}

void Evaluator::prefix_into(std::span<const Instr32> instrs, StateVec& prefix) const { run_forward(instrs, prefix); }

void Evaluator::prefix_into(std::span<const PreparedGate> instrs, StateVec& prefix) const {
  run_forward(instrs, prefix);
}

void Evaluator::extend_into(const StateVec& prefix, const PreparedGate& last, Scratch& s) const {
  s.forward.copy_from(prefix);
  s.forward.apply(last);
  s.forward.normalize_arg();
}

void Evaluator::backward_into(std::span<const PreparedGate> adjoints, Scratch& s) const { backward_run(adjoints, s); }

namespace {

/// Bits 3q..3q+2 set for every qubit q that a gate of `gates` acts on: the image fields of those
/// qubits in a permutation's raw form.
uint32_t touched_image_bits(std::span<const PreparedGate> gates) {
  uint32_t bits = 0;
  for (const PreparedGate& g : gates)
    for (uint8_t q : g.instr.qargs.as_slice())
      if (q < 8) bits |= uint32_t(7) << (3 * q);
  return bits;
}

bool near_zero_amplitude(const StateVec& s, size_t i) { return s.re()[i].near_zero() && s.im()[i].near_zero(); }

/// The sorting permutation of a backward state whose qubits tie in the first parts of their order
/// keys, and its inverse; stops when whole keys tie.
void tied_order(const StateVec& back, Permut32& t, Permut32& t_inv) {
  auto [sorting, eqmask] = back.get_orderinfo().as_bits();
  if (eqmask != 0) panic("Non-deterministic front permutation detected during evaluation");
  t = sorting;
  t_inv = sorting.inv();
}

}  // namespace

template <typename G>
void Evaluator::backward_run(std::span<const G> adjoints, Scratch& s) const {
  constexpr bool kPrepared = std::is_same_v<G, PreparedGate>;
  const uint32_t n = nqubits();
  // A forward state whose qubits all differ in their first key parts has one symmetry, the
  // identity; the table's entry for that case holds it. Beyond 5 qubits the table stops.
  Permut32 f, f_inv;
  std::optional<SymmetryPerms> symmetries;
  const bool only_identity = n <= 5 && s.forward.distinct_order(f, f_inv);
  if (only_identity) {
    symmetries.emplace(EQMASK_TO_PERMS()[0], uint8_t(n));
  } else {
    auto [perms, sorting] = s.forward.get_orderinfo().as_perms();
    symmetries.emplace(perms);
    f = sorting;
  }
  // Several symmetries mostly shuffle qubits that no gate touches. Two relabellings m and m' of
  // the backtrack state that differ only there, π = m'·m⁻¹ fixing every touched qubit, give
  // backward states that differ by π alone, bit for bit: a gate meets the same values in the same
  // groups, and the phase reference, amplitude 0 or the last one, stays in place. So do their
  // canonical states, which are then equal, and their sorting permutations, t' = π·t. A symmetry
  // whose m⁻¹ agrees with that of a symmetry run in full (its back_perm) on the touched qubits
  // takes its pair from there, unless that run took its phase reference from the sum of all
  // amplitudes (whose rounding depends on their order) or needed the full order of its qubits.
  struct Base {
    Permut32 back_perm;
    Permut32 back_perm_t;  // back_perm · t
    bool best;             // its canonical state equals the best one so far
  };
  std::array<Base, 8> bases;
  size_t nbases = 0;
  uint32_t touched = 0;
  if constexpr (kPrepared)
    if (symmetries->size() > 1) touched = touched_image_bits(adjoints);
  // Only relabelling the backtrack state goes through this thread's cache; the backward states use
  // the scratch's spare.
  if (!relabel_tables_) reserve_state_vec_cache(n);
  s.pairs.clear();
  for (Permut32 sym : *symmetries) {
    // With the identity alone, m is f itself.
    const Permut32 m = only_identity ? f : f * sym;
    const Permut32 back_perm = only_identity ? f_inv : m.inv();
    if constexpr (kPrepared) {
      const Base* base = nullptr;
      for (size_t b = 0; b < nbases && !base; ++b)
        if (((bases[b].back_perm.raw ^ back_perm.raw) & touched) == 0) base = &bases[b];
      if (base) {
        if (base->best) s.pairs.push_back({m * base->back_perm_t, back_perm});
        continue;
      }
    }
    if (relabel_tables_) {
      s.back.copy_from(relabelled_backtrack_[relabel_tables_->rank(m)]);
    } else {
      s.back.copy_from(backtrack_state_);
      s.back.apply_permutation(m);
    }
    if constexpr (kPrepared)
      s.back.apply_reversed(adjoints);
    else
      for (size_t k = adjoints.size(); k-- > 0;) s.back.apply(adjoints[k]);
    const bool fixed_reference =
        symmetries->size() > 1 && !(near_zero_amplitude(s.back, 0) && near_zero_amplitude(s.back, s.back.len() - 1));
    s.back.normalize_arg();
    Permut32 t, t_inv;
    const bool distinct = s.back.distinct_order(t, t_inv);
    if (!distinct) tied_order(s.back, t, t_inv);
    if (relabel_tables_)
      s.back.relabel(*relabel_tables_, t_inv, s.spare);
    else
      s.back.apply_permutation(t_inv, s.spare);
    bool best = true;
    if (s.pairs.empty()) {
      s.best.swap_arrays(s.back);
      s.pairs.push_back({t, back_perm});
    } else {
      auto order = s.back <=> s.best;
      if (order < 0) {
        s.best.swap_arrays(s.back);
        s.pairs.clear();
        s.pairs.push_back({t, back_perm});
        for (size_t b = 0; b < nbases; ++b) bases[b].best = false;
      } else if (order == 0) {
        s.pairs.push_back({t, back_perm});
      } else {
        best = false;
      }
    }
    if (kPrepared && fixed_reference && distinct && nbases < bases.size())
      bases[nbases++] = Base{back_perm, back_perm * t, best};
  }
}

bool Evaluator::lanes_fit(std::span<const PreparedGate> shared, const StateLanes* lanes) const {
  // Lanes take the candidates whose forward state has one symmetry (most of them), when every
  // shared gate has its lane body; the others run alone.
  bool fit = lanes && relabel_tables_ && lanes->nqubits() == nqubits();
  for (const PreparedGate& g : shared) fit = fit && g.lanes && g.len == lanes->len();
  return fit;
}

void Evaluator::backward_batch(std::span<const PreparedGate> shared, std::span<const PreparedGate* const> last,
                               std::span<Scratch* const> scratch, StateLanes* lanes) const {
  if (last.size() != scratch.size() || scratch.size() > StateLanes::kLanes) StateLanes::misfit();
  std::array<Permut32, StateLanes::kLanes> f, f_inv;
  uint32_t on_lanes = 0;
  if (lanes_fit(shared, lanes))
    for (size_t k = 0; k < scratch.size(); ++k)
      if (scratch[k]->forward.distinct_order(f[k], f_inv[k])) on_lanes |= 1u << k;
  backward_lanes(shared, last, scratch, on_lanes, f.data(), f_inv.data(), lanes);
}

void Evaluator::extend_batch(const StateVec& prefix, std::span<const PreparedGate* const> first,
                             std::span<const PreparedGate> shared, std::span<const PreparedGate* const> last,
                             std::span<Scratch* const> scratch, StateLanes* lanes) const {
  if (first.size() != scratch.size() || last.size() != scratch.size() || scratch.size() > StateLanes::kLanes)
    StateLanes::misfit();
  std::array<const StateVec*, StateLanes::kLanes> forwards;
  for (size_t k = 0; k < scratch.size(); ++k) {
    scratch[k]->forward.copy_from(prefix);
    scratch[k]->forward.apply(*first[k]);
    forwards[k] = &scratch[k]->forward;
  }
  std::array<Permut32, StateLanes::kLanes> f, f_inv;
  uint32_t on_lanes = 0;
  if (lanes_fit(shared, lanes))
    on_lanes = StateLanes::normalized_distinct_orders(std::span(forwards).first(scratch.size()), f.data(), f_inv.data());
  for (size_t k = 0; k < scratch.size(); ++k)
    if (!((on_lanes >> k) & 1)) scratch[k]->forward.normalize_arg();
  backward_lanes(shared, last, scratch, on_lanes, f.data(), f_inv.data(), lanes);
}

void Evaluator::backward_lanes(std::span<const PreparedGate> shared, std::span<const PreparedGate* const> last,
                               std::span<Scratch* const> scratch, uint32_t on_lanes, const Permut32* f,
                               const Permut32* f_inv, StateLanes* lanes) const {
  std::array<size_t, StateLanes::kLanes> candidate_of;  // by lane
  std::array<Permut32, StateLanes::kLanes> back_perm;   // by lane
  size_t used = 0;
  for (size_t k = 0; k < scratch.size(); ++k) {
    Scratch& s = *scratch[k];
    if ((on_lanes >> k) & 1) {
      // The one symmetry is the identity: m is f, the back permutation its inverse.
      s.back.copy_from(relabelled_backtrack_[relabel_tables_->rank(f[k])]);
      s.back.apply(*last[k]);
      lanes->load(used, s.back);
      back_perm[used] = f_inv[k];
      candidate_of[used++] = k;
    } else {
      s.gates.assign(shared.begin(), shared.end());
      s.gates.push_back(*last[k]);
      backward_run(std::span<const PreparedGate>(s.gates), s);
    }
  }
  if (used == 0) return;
  lanes->apply_reversed(shared);
  lanes->normalize_arg();
  std::array<Permut32, StateLanes::kLanes> t, t_inv;
  const uint32_t distinct = lanes->distinct_orders(t.data(), t_inv.data());
  for (size_t lane = 0; lane < used; ++lane) {
    Scratch& s = *scratch[candidate_of[lane]];
    if ((distinct >> lane) & 1) {
      lanes->relabel_into(lane, *relabel_tables_, t_inv[lane], s.best);
    } else {
      lanes->store(lane, s.back);
      tied_order(s.back, t[lane], t_inv[lane]);
      s.back.relabel(*relabel_tables_, t_inv[lane], s.spare);
      s.best.swap_arrays(s.back);
    }
    s.pairs.clear();
    s.pairs.push_back({t[lane], back_perm[lane]});
  }
}

Evaluator::Result Evaluator::evaluate_multiple(std::span<const Instr32> instrs) const {
  Scratch s(nqubits());
  run_forward(instrs, s.forward);
  s.forward.normalize_arg();
  // Adjoints are looked up (and registered when new) once the forward run has succeeded, from the
  // last instruction to the first, in the order the backward run meets them.
  std::vector<Instr32> adjoints(instrs.begin(), instrs.end());
  for (size_t k = adjoints.size(); k-- > 0;) adjoints[k] = instrs[k].adjoint();
  backward_run(std::span<const Instr32>(adjoints), s);
  return Result{std::move(s.best), std::move(s.pairs), std::move(s.forward)};
}

Evaluator::Single Evaluator::evaluate(std::span<const Instr32> instrs) const {
  Result r = evaluate_multiple(instrs);
  PermPair first = r.pairs[0];
  return Single{std::move(r.key), first.first, first.second, std::move(r.forward)};
}

uint64_t Evaluator::initial_key() const { return evaluate({}).key.hash_value(); }

}  // namespace morvane
