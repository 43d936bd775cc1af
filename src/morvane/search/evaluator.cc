#include "morvane/search/evaluator.h"

#include <array>
#include <optional>
#include <type_traits>

#include <fmt/format.h>

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
  // The symmetry table covers 5 qubits, so larger evaluators are refused before anything is drawn
  // (from 32 qubits on the state itself refuses its size).
  if (nqubits > kMaxQubits && nqubits < 32)
    panic(fmt::format("Evaluator qubit count must be from 1 to {} (the range the class search supports), got {}",
                      kMaxQubits, nqubits));
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

/// The symmetries of a forward state and its sorting permutation f: each symmetry s gives the
/// relabelling m = f·s of the backtrack state and the back permutation m⁻¹.
struct Evaluator::ForwardOrder {
  SymmetryPerms symmetries;
  Permut32 f, f_inv;   // f_inv where the identity is the only symmetry
  bool only_identity;  // then m is f itself
  Permut32 relabelling(Permut32 sym) const { return only_identity ? f : f * sym; }
  Permut32 back_perm(Permut32 m) const { return only_identity ? f_inv : m.inv(); }
};

namespace {

using ForwardOrder = Evaluator::ForwardOrder;

/// The order of a forward state that is not known to have distinct first key parts (`tied`: known
/// not to have them).
void forward_order(const StateVec& forward, ForwardOrder& order, bool tied = false) {
  // A forward state whose qubits all differ in their first key parts has one symmetry, the
  // identity; the table's entry for that case holds it. Beyond 5 qubits the table stops.
  const uint32_t n = forward.nqubits();
  order.only_identity = !tied && n <= 5 && forward.distinct_order(order.f, order.f_inv);
  if (order.only_identity) {
    order.symmetries = SymmetryPerms(EQMASK_TO_PERMS()[0], uint8_t(n));
  } else {
    auto [perms, sorting] = forward.get_orderinfo().as_perms();
    order.symmetries = perms;
    order.f = sorting;
  }
}

using FullRun = Evaluator::FullRun;

/// The backward run's end on a state just past its gates: normalised, its order, and relabelled
/// into the canonical state (by `relabel(t_inv)`).
template <typename Relabel>
FullRun finish_run(StateVec& back, Relabel&& relabel) {
  FullRun run;
  run.fixed_reference = !(near_zero_amplitude(back, 0) && near_zero_amplitude(back, back.len() - 1));
  back.normalize_arg();
  Permut32 t_inv;
  run.distinct = back.distinct_order(run.t, t_inv);
  if (!run.distinct) tied_order(back, run.t, t_inv);
  relabel(t_inv);
  return run;
}

/// The key state (into s.best) and the pairs from the forward order, taking the symmetries in
/// order. `full_run(sym_index, m)` runs the backward run from the backtrack state relabelled by m
/// and gives its result and canonical state (which this may exchange arrays with).
//
// Several symmetries mostly shuffle qubits that no gate touches. Two relabellings m and m' of the
// backtrack state that differ only there, π = m'·m⁻¹ fixing every touched qubit, give backward
// states that differ by π alone, bit for bit: a gate meets the same values in the same groups, and
// the phase reference, amplitude 0 or the last one, stays in place. So do their canonical states,
// which are then equal, and their sorting permutations, t' = π·t. With `use_bases`, a symmetry
// whose m⁻¹ agrees with that of a symmetry run in full (its back_perm) on the touched qubits
// (`touched`: the image fields of the qubits a gate acts on) takes its pair from there, unless that
// run took its phase reference from the sum of all amplitudes (whose rounding depends on their
// order) or needed the full order of its qubits.
template <typename Run>
void choose_key(const ForwardOrder& order, bool use_bases, uint32_t touched, Evaluator::Scratch& s, Run&& full_run) {
  struct Base {
    Permut32 back_perm;
    Permut32 back_perm_t;  // back_perm · t
    bool best;             // its canonical state equals the best one so far
  };
  std::array<Base, 8> bases;
  size_t nbases = 0;
  const bool several = order.symmetries.size() > 1;
  s.pairs.clear();
  size_t j = 0;
  for (Permut32 sym : order.symmetries) {
    const size_t index = j++;
    const Permut32 m = order.relabelling(sym);
    const Permut32 back_perm = order.back_perm(m);
    if (use_bases) {
      const Base* base = nullptr;
      for (size_t b = 0; b < nbases && !base; ++b)
        if (((bases[b].back_perm.raw ^ back_perm.raw) & touched) == 0) base = &bases[b];
      if (base) {
        if (base->best) s.pairs.push_back({m * base->back_perm_t, back_perm});
        continue;
      }
    }
    auto [run, canonical] = full_run(index, m);
    const Permut32 t = run.t;
    bool best = true;
    if (s.pairs.empty()) {
      if (canonical != &s.best) s.best.swap_arrays(*canonical);
      s.pairs.push_back({t, back_perm});
    } else {
      auto cmp = *canonical <=> s.best;
      if (cmp < 0) {
        s.best.swap_arrays(*canonical);
        s.pairs.clear();
        s.pairs.push_back({t, back_perm});
        for (size_t b = 0; b < nbases; ++b) bases[b].best = false;
      } else if (cmp == 0) {
        s.pairs.push_back({t, back_perm});
      } else {
        best = false;
      }
    }
    if (use_bases && several && run.fixed_reference && run.distinct && nbases < bases.size())
      bases[nbases++] = Base{back_perm, back_perm * t, best};
  }
}

}  // namespace

inline void Evaluator::start_backward(Permut32 m, StateVec& back) const {
  if (relabel_tables_) {
    back.copy_from(relabelled_backtrack_[relabel_tables_->rank(m)]);
  } else {
    back.copy_from(backtrack_state_);
    back.apply_permutation(m);
  }
}

inline void Evaluator::relabel_canonical(StateVec& back, Permut32 t_inv, StateVec& spare) const {
  if (relabel_tables_)
    back.relabel(*relabel_tables_, t_inv, spare);
  else
    back.apply_permutation(t_inv, spare);
}

Evaluator::FullRun Evaluator::finish_alone(Scratch& s) const {
  return finish_run(s.back, [&](Permut32 t_inv) { relabel_canonical(s.back, t_inv, s.spare); });
}

template <typename G>
void Evaluator::backward_run(std::span<const G> adjoints, Scratch& s) const {
  ForwardOrder order;
  forward_order(s.forward, order);
  run_symmetries(order, adjoints, s);
}

template <typename G>
void Evaluator::run_symmetries(const ForwardOrder& order, std::span<const G> adjoints, Scratch& s) const {
  constexpr bool kPrepared = std::is_same_v<G, PreparedGate>;
  const uint32_t n = nqubits();
  uint32_t touched = 0;
  if constexpr (kPrepared)
    if (order.symmetries.size() > 1) touched = touched_image_bits(adjoints);
  // Only relabelling the backtrack state goes through this thread's cache; the backward states use
  // the scratch's spare.
  if (!relabel_tables_) reserve_state_vec_cache(n);
  choose_key(order, kPrepared, touched, s, [&](size_t, Permut32 m) {
    start_backward(m, s.back);
    if constexpr (kPrepared)
      s.back.apply_reversed(adjoints);
    else
      for (size_t k = adjoints.size(); k-- > 0;) s.back.apply(adjoints[k]);
    return std::pair{finish_alone(s), &s.back};
  });
}

bool Evaluator::lanes_fit(std::span<const PreparedGate> shared, const StateLanes* lanes) const {
  // Lanes take every candidate when every shared gate has its lane body; otherwise each runs alone.
  if (!lanes || !relabel_tables_ || lanes->nqubits() != nqubits()) return false;
  const size_t len = lanes->len();
  for (const PreparedGate& g : shared)
    if (!g.lanes || g.len != len) return false;
  return true;
}

void Evaluator::extend_batch(const StateVec& prefix, std::span<const PreparedGate> shared,
                             std::span<const Extension> batch, StateLanes* lanes) const {
  if (batch.size() > StateLanes::kLanes) StateLanes::misfit();
  std::array<const StateVec*, StateLanes::kLanes> forwards;
  for (size_t k = 0; k < batch.size(); ++k) {
    batch[k].scratch->forward.copy_from(prefix);
    batch[k].scratch->forward.apply(*batch[k].first);
    forwards[k] = &batch[k].scratch->forward;
  }
  std::array<Permut32, StateLanes::kLanes> f, f_inv;
  uint32_t known = 0;
  const bool fit = lanes_fit(shared, lanes);
  if (fit)
    known = StateLanes::normalized_distinct_orders(std::span(forwards).first(batch.size()), f.data(), f_inv.data());
  for (size_t k = 0; k < batch.size(); ++k)
    if (!((known >> k) & 1)) batch[k].scratch->forward.normalize_arg_order_keys();
  backward_lanes(shared, batch, known, f.data(), f_inv.data(), fit ? lanes : nullptr);
}

void Evaluator::append_backward_starts(const PreparedGate& last, std::vector<StateVec>& out) const {
  if (!relabel_tables_) panic("Backward runs start from a table for at most 5 qubits");
  for (const StateVec& relabelled : relabelled_backtrack_) {
    out.push_back(relabelled);
    out.back().apply(last);
  }
}

void Evaluator::backward_lanes(std::span<const PreparedGate> shared, std::span<const Extension> batch, uint32_t known,
                               const Permut32* f, const Permut32* f_inv, StateLanes* lanes) const {
  if (!lanes) {
    for (const Extension& c : batch) {
      Scratch& s = *c.scratch;
      s.gates.assign(shared.begin(), shared.end());
      s.gates.push_back(*c.last);
      backward_run(std::span<const PreparedGate>(s.gates), s);
    }
    return;
  }
  const uint32_t n = nqubits();
  // Every backward run in full that a candidate surely needs (one for each symmetry whose
  // relabelling no earlier one's matches on the touched qubits) goes on the lanes, four at a time
  // from any candidates of the group: they share the gates of `shared`, and each starts from its
  // relabelled backtrack state with its candidate's own adjoint applied. A candidate with one
  // symmetry gets its key state and pair straight from its lane; the runs of several symmetries
  // are kept (`runs`, `run_states`) until choose_key takes the symmetries in order.
  // Where states are small, a run alone costs less than the bookkeeping of several on lanes.
  constexpr uint32_t kSeveralOnLanesFrom = 4;
  std::array<ForwardOrder, StateLanes::kLanes> orders;
  std::array<uint32_t, StateLanes::kLanes> touched{};
  uint32_t touched_shared = UINT32_MAX;  // found when first needed
  struct OnLane {
    Scratch* s;
    int32_t run;  // -1: the candidate's only symmetry
    Permut32 back_perm;
  };
  std::array<OnLane, StateLanes::kLanes> on_lane;
  std::array<const StateVec*, StateLanes::kLanes> start;  // by lane, loaded together
  size_t used = 0;
  auto flush = [&] {
    if (used == 0) return;
    lanes->load_all(std::span(start).first(used));
    lanes->apply_reversed(shared);
    const uint32_t by_sum = lanes->normalize_arg();
    std::array<Permut32, StateLanes::kLanes> t, t_inv;
    const uint32_t distinct = lanes->distinct_orders(t.data(), t_inv.data());
    for (size_t lane = 0; lane < used; ++lane) {
      Scratch& s = *on_lane[lane].s;
      const int32_t r = on_lane[lane].run;
      StateVec& canonical = r < 0 ? s.best : s.run_states[size_t(r)];
      FullRun run;
      run.fixed_reference = !((by_sum >> lane) & 1);
      run.distinct = (distinct >> lane) & 1;
      if (run.distinct) {
        run.t = t[lane];
        lanes->relabel_into(lane, *relabel_tables_, t_inv[lane], canonical);
      } else {
        lanes->store(lane, canonical);
        Permut32 tied_inv;
        tied_order(canonical, run.t, tied_inv);
        relabel_canonical(canonical, tied_inv, s.spare);
      }
      if (r < 0) {
        s.pairs.clear();
        s.pairs.push_back({run.t, on_lane[lane].back_perm});
      } else {
        s.runs[size_t(r)] = run;
      }
    }
    used = 0;
  };
  auto to_lane = [&](size_t k, Permut32 m, int32_t run, Permut32 back_perm) {
    Scratch& s = *batch[k].scratch;
    if (!batch[k].starts) {
      // The run's start waits where its canonical state will go.
      StateVec& at = run < 0 ? s.best : s.run_states[size_t(run)];
      start_backward(m, at);
      at.apply(*batch[k].last);
      start[used] = &at;
    } else {
      start[used] = &batch[k].starts[relabel_tables_->rank(m)];
    }
    on_lane[used++] = OnLane{&s, run, back_perm};
    if (used == StateLanes::kLanes) flush();
  };
  uint32_t several = 0;  // bit k: candidate k has several symmetries
  for (size_t k = 0; k < batch.size(); ++k) {
    Scratch& s = *batch[k].scratch;
    ForwardOrder& order = orders[k];
    if ((known >> k) & 1) {
      to_lane(k, f[k], -1, f_inv[k]);
      continue;
    }
    // On lanes a forward state not known to have distinct first key parts does not have them.
    forward_order(s.forward, order, true);
    if (order.symmetries.size() == 1) {
      const Permut32 m = order.relabelling(*order.symmetries.begin());
      to_lane(k, m, -1, order.back_perm(m));
      continue;
    }
    if (n < kSeveralOnLanesFrom) {
      s.gates.assign(shared.begin(), shared.end());
      s.gates.push_back(*batch[k].last);
      run_symmetries(order, std::span<const PreparedGate>(s.gates), s);
      continue;
    }
    several |= 1u << k;
    s.runs.clear();
    s.run_of.clear();
    if (touched_shared == UINT32_MAX) touched_shared = touched_image_bits(shared);
    touched[k] = touched_shared | touched_image_bits({batch[k].last, 1});
    // Which run each symmetry's is (-1: decided by choose_key). The run states are there before
    // the first run waits in one.
    std::array<Permut32, 8> run_back_perm;
    while (s.run_states.size() < std::min(run_back_perm.size(), order.symmetries.size()))
      s.run_states.push_back(StateVec::zeros(n));
    for (Permut32 sym : order.symmetries) {
      const Permut32 m = order.relabelling(sym);
      const Permut32 back_perm = order.back_perm(m);
      bool new_run = s.runs.size() < run_back_perm.size();
      for (size_t r = 0; r < s.runs.size() && new_run; ++r)
        new_run = ((run_back_perm[r].raw ^ back_perm.raw) & touched[k]) != 0;
      s.run_of.push_back(new_run ? int32_t(s.runs.size()) : -1);
      if (!new_run) continue;
      run_back_perm[s.runs.size()] = back_perm;
      s.runs.push_back(FullRun{});
      to_lane(k, m, int32_t(s.runs.size() - 1), back_perm);
    }
  }
  flush();
  for (size_t k = 0; k < batch.size(); ++k) {
    if (!((several >> k) & 1)) continue;
    Scratch& s = *batch[k].scratch;
    choose_key(orders[k], true, touched[k], s, [&](size_t index, Permut32 m) {
      const int32_t run = s.run_of[index];
      if (run >= 0) return std::pair{s.runs[size_t(run)], &s.run_states[size_t(run)]};
      // A symmetry whose run would have been taken from a run that turned out unfit.
      start_backward(m, s.back);
      s.back.apply(*batch[k].last);
      s.back.apply_reversed(shared);
      return std::pair{finish_alone(s), &s.back};
    });
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
