#include "morvane/search/cross_check.h"

#include <algorithm>
#include <ranges>

#include <fmt/format.h>

#include "morvane/core/fmt_join.h"
#include "morvane/core/interrupt.h"
#include "morvane/core/per_thread.h"
#include "morvane/core/pool.h"
#include "morvane/search/evaluator.h"
#include "morvane/search/surface.h"
#include "morvane/state/state_vec.h"

namespace morvane {

namespace {

/// What one thread reuses across its evaluations: the states, the prepared gates and the adjoint
/// of every gate met so far (so that workers do not take the registry's lock per instruction).
struct EvaluationScratch {
  Evaluator::Scratch states{0};
  std::vector<PreparedGate> gates, adjoints;
  std::vector<uint32_t> adjoint_plus_one;  // by gate index; 0 while not looked up
  std::vector<Instr32> circuit;

  Instr32 adjoint(Instr32 i) {
    if (i.gate.index >= adjoint_plus_one.size()) adjoint_plus_one.resize(size_t(i.gate.index) + 1, 0);
    uint32_t& a = adjoint_plus_one[i.gate.index];
    if (a == 0) a = uint32_t(i.gate.adjoint().index) + 1;
    return Instr32{Gate16(uint16_t(a - 1)), i.qargs};
  }
};

EvaluationScratch& scratch() { return per_thread<EvaluationScratch>(); }

/// Evaluator::evaluate_multiple of `instrs` on this thread's scratch: the key state is in `best`,
/// the pairs in `pairs`, both valid until this thread's next evaluation.
const Evaluator::Scratch& evaluate_here(const Evaluator& evaluator, std::span<const Instr32> instrs) {
  EvaluationScratch& s = scratch();
  const uint32_t n = evaluator.nqubits();
  if (s.states.spare.len() != size_t(1) << n) s.states = Evaluator::Scratch(n);
  s.gates.clear();
  s.adjoints.clear();
  for (Instr32 i : instrs) s.gates.push_back(PreparedGate::prepare(i, n));
  for (Instr32 i : instrs) s.adjoints.push_back(PreparedGate::prepare(s.adjoint(i), n));
  evaluator.evaluate_into(s.gates, s.adjoints, s.states);
  return s.states;
}

uint64_t key_of(const Evaluator& evaluator, std::span<const Instr32> instrs) {
  return evaluate_here(evaluator, instrs).best.hash_value();
}

/// The key and the first pair of `instrs`.
struct FirstPair {
  uint64_t key;
  Permut32 front, back;
};
FirstPair evaluate_first(const Evaluator& evaluator, std::span<const Instr32> instrs) {
  const Evaluator::Scratch& r = evaluate_here(evaluator, instrs);
  return FirstPair{r.best.hash_value(), r.pairs[0].first, r.pairs[0].second};
}

/// Replaces `out` with the stored list in execution order, each instruction relabelled through
/// `relabel`.
void circuit_relabelled(const AliasArena& arena, AliasList list, Permut32 relabel, CircuitInstrs& out) {
  out.clear();
  for (Instr32 i : arena.iter(list)) out.push_back(i.apply_permutation(relabel));
  std::reverse(out.begin(), out.end());
}

void check_mask_width(size_t len) {
  if (len >= 64)
    panic(fmt::format("instruction masks hold at most 63 instructions, but a circuit of {} reached them", len));
}

uint64_t full_mask(size_t len) {
  check_mask_width(len);
  return (uint64_t(1) << len) - 1;
}

std::string circuit_text(const PermutedCircuit& c) {
  return fmt::format("{} {}", fjoin(c.instrs, ", "), c.perm.to_string());
}

/// A map's keys and permutations are those of an evaluator of its own qubit count.
void check_same_qubits(const RawECCs& map, const Evaluator& evaluator, const char* map_name) {
  if (map.nqubits() != evaluator.nqubits())
    panic(
        fmt::format("The evaluator has {} qubits but {} has {}: a class map goes with an evaluator of its own "
                    "qubit count",
                    evaluator.nqubits(), map_name, map.nqubits()));
}

}  // namespace

std::optional<ECC> find_equivalents(const RawECCs& map, const Evaluator& evaluator, std::span<const Instr32> instrs) {
  check_same_qubits(map, evaluator, "the class map");
  FirstPair r = evaluate_first(evaluator, instrs);
  const CircuitECC* ecc = map.find(r.key);
  if (ecc == nullptr) return std::nullopt;
  const Permut32 front_inv = r.front.inv(), back_inv = r.back.inv();
  ECC out;
  for (size_t k = 0; k < ecc->num_circuits(); ++k) {
    CircTriple t = ecc->circuit(map, k);
    CircTriple on_query{t.front_perm * front_inv, t.circ, back_inv * t.back_perm};
    out.circuits.push_back(on_query.simplify(map.arena()));
  }
  if (out.circuits.empty()) return std::nullopt;
  return out;
}

std::optional<uint64_t> compute_next_key(const RawECCs& map, const Evaluator& evaluator, uint64_t current_key,
                                         Instr32 instr) {
  check_same_qubits(map, evaluator, "the class map");
  const CircuitECC* ecc = map.find(current_key);
  if (ecc == nullptr) return std::nullopt;
  if (ecc->num_circuits() == 0) panic("called `Option::unwrap()` on a `None` value");
  std::vector<Instr32> circ = map.arena().to_vec(ecc->circuit(map, 0).circ);
  circ.push_back(instr);
  uint64_t key = key_of(evaluator, circ);
  if (map.find(key) == nullptr) return std::nullopt;
  return key;
}

RawECCs switch_evaluator(std::shared_ptr<const RawECCs> source, const Evaluator& evaluator) {
  const RawECCs& self = *source;
  check_same_qubits(self, evaluator, "the class map");
  const AliasArena& arena = self.arena();
  RawECCs out(evaluator, source);
  // The empty circuit's class that the new map starts with gives way to the source's. Any other
  // class met again means two source classes merged: that includes the source's own empty
  // circuit class, which holds circuits of its own.
  const uint64_t placeholder_key = evaluator.initial_key();
  bool placeholder = true;
  std::vector<CircTriple> triples;
  std::vector<Instr32> circ;
  interrupt::Ticker ticker(256);
  for (const auto& [key, ecc] : self.inner()) {
    ticker.tick();
    check_index(ecc.num_circuits(), 0);
    triples.clear();
    uint64_t hash = 0;
    // The opening circuit's first pair under the new evaluator relabels the class frame: each
    // further member takes, among its new pairs, the one its own pair becomes under that
    // relabelling. So every way the class was reached stays (a circuit stored once per pair
    // keeps distinct pairs), and the building evaluator gives back the source's very triples.
    Permut32 front_relabel, back_relabel;
    for (size_t k = 0; k < ecc.num_circuits(); ++k) {
      CircTriple t = ecc.circuit(self, k);
      arena.materialize(t.circ, circ);
      const Evaluator::Scratch& r = evaluate_here(evaluator, circ);
      PermPair pair = r.pairs[0];
      if (k == 0) {
        hash = r.best.hash_value();
        if (t.front_perm.len() == pair.first.len()) {
          front_relabel = t.front_perm.inv() * pair.first;
          back_relabel = pair.second * t.back_perm.inv();
        }
      } else if (r.best.hash_value() != hash) {
        panic("Inconsistent ECC detected during evaluator switch");
      } else if (front_relabel.len() == t.front_perm.len()) {
        const PermPair relabelled{t.front_perm * front_relabel, back_relabel * t.back_perm};
        for (size_t p = 0; p < r.pairs.size(); ++p)
          if (r.pairs[p] == relabelled) pair = relabelled;
      }
      triples.push_back(CircTriple{pair.first, t.circ, pair.second});
    }
    if (const CircuitECC* earlier = out.find(hash)) {
      if (!(placeholder && hash == placeholder_key))
        panic(fmt::format("Hash collision detected during evaluator switch: {} vs {}", earlier->debug(out),
                          ecc.debug(self)));
    }
    if (hash == placeholder_key) placeholder = false;
    out.put_shared_class(hash, triples);
  }
  return out;
}

void check_identity_subset(const RawECCs& self, const RawECCs& ecc1, const Evaluator& evaluator) {
  check_same_qubits(self, evaluator, "the class map");
  check_same_qubits(ecc1, evaluator, "ecc1");
  auto stop = interrupt::stop_token();
  pool::map_chunked(
      self.inner(), kCrossCheckChunk,
      [&](const RawECCs::Map::Record& record) {
        ECC simplified = record.second.simplify(self);
        for (const PermutedCircuit& c : simplified.circuits) {
          if (ecc1.find(key_of(evaluator, c.instrs)) == nullptr)
            panic("assertion failed: ecc1.contains_key(&bv.hash_value())");
          checked_equivalent(ecc1, c.instrs, c.perm, evaluator);
        }
      },
      &stop);
}

PermutedCircuit checked_equivalent(const RawECCs& map, std::span<const Instr32> instrs, Permut32 perm,
                                   const Evaluator& evaluator) {
  const AliasArena& arena = map.arena();
  // `vec` is the circuit so far on the current qubits: whenever a prefix has a class, it is
  // replaced by that class's first circuit, and `permut` takes up the relabelling.
  CircuitInstrs vec;
  Permut32 permut = perm;
  for (Instr32 instr : instrs) {
    vec.push_back(instr.apply_permutation(permut.inv()));
    FirstPair r = evaluate_first(evaluator, vec);
    const CircuitECC* ecc = map.find(r.key);
    if (ecc == nullptr) continue;
    auto [member, query] = export_equivalence(map, *ecc, r.front, vec, r.back);
    if (!member.instrs.empty() || !query.instrs.empty()) {
      PermutedCircuit r1 = checked_equivalent(map, member.instrs, member.perm, evaluator);
      PermutedCircuit r2 = checked_equivalent(map, query.instrs, query.perm, evaluator);
      if (r1 != r2)
        panic(fmt::format(
            "Non-deterministic equivalence detected during checked equivalence: \n {} vs {} \n {} vs {} \n {} vs {}",
            ecc->display(map), join_relabelled(vec, r.front, " "), circuit_text(member), circuit_text(query),
            circuit_text(r1), circuit_text(r2)));
    }
    CircTriple first = ecc->circuit(map, 0);
    Permut32 fperm = first.front_perm * r.front.inv();
    circuit_relabelled(arena, first.circ, fperm.inv(), vec);
    permut = permut * r.back.inv() * first.back_perm * fperm;
  }

  const Evaluator::Scratch& whole = evaluate_here(evaluator, instrs);
  const CircuitECC* ecc = map.find(whole.best.hash_value());
  if (ecc == nullptr) panic("no entry found for key");
  // No evaluation runs below, so the pairs stay as evaluated.
  std::optional<PermutedCircuit> best;
  PermutedCircuit candidate;
  for (size_t p = 0; p < whole.pairs.size(); ++p) {
    const Permut32 front_inv = whole.pairs[p].first.inv(), back_inv = whole.pairs[p].second.inv();
    for (size_t k = 0; k < ecc->num_circuits(); ++k) {
      CircTriple t = ecc->circuit(map, k);
      Permut32 fperm = t.front_perm * front_inv;
      circuit_relabelled(arena, t.circ, fperm.inv(), candidate.instrs);
      candidate.perm = perm * back_inv * t.back_perm * fperm;
      if (!best || candidate < *best) best = candidate;
    }
  }
  if (!best) panic("called `Option::unwrap()` on a `None` value");
  return std::move(*best);
}

std::pair<PermutedCircuit, PermutedCircuit> export_equivalence(const RawECCs& map, const CircuitECC& ecc,
                                                               Permut32 front_perm, std::span<const Instr32> instr_vec,
                                                               Permut32 back_perm) {
  PermutedCircuit query;
  const Permut32 front_inv = front_perm.inv();
  for (Instr32 i : instr_vec) query.instrs.push_back(i.apply_permutation(front_inv));
  query.perm = back_perm * front_perm;
  // One result object for every return, so that it is built in place (moving an empty inline
  // vector out of a temporary is what GCC cannot prove initialised).
  std::pair<PermutedCircuit, PermutedCircuit> result;
  for (size_t k = 0; k < ecc.num_circuits(); ++k) {
    PermutedCircuit member = ecc.circuit(map, k).simplify(map.arena());
    if (member == query) {
      result.first.perm = result.second.perm = query.perm;
      return result;
    }
    PermutedCircuit reduced = query;
    if (reduce_equivalence(member.instrs, member.perm, reduced.instrs, reduced.perm) > 0) {
      result = {std::move(member), std::move(reduced)};
      return result;
    }
  }
  auto triples = std::views::iota(size_t(0), ecc.num_circuits()) |
                 std::views::transform([&](size_t k) { return ecc.circuit(map, k).display(map.arena()); });
  panic(fmt::format("No equivalence found during export_equivalence: {} = {} {}", fjoin(triples, ", "),
                    fjoin(query.instrs, ", "), query.perm.to_string()));
}

size_t reduce_equivalence(CircuitInstrs& circ1, Permut32 perm1, CircuitInstrs& circ2, Permut32 perm2) {
  auto [mask1f, mask2f] = reduce_equivalence_front(circ1, circ2);
  // The back gates are the front gates of the reversed circuits, read on their output qubits.
  auto reversed = [](const CircuitInstrs& c, Permut32 p) {
    std::vector<Instr32> out;
    out.reserve(c.size());
    for (Instr32 i : c | std::views::reverse) out.push_back(i.apply_permutation(p));
    return out;
  };
  auto [mask1b, mask2b] = reduce_equivalence_front(reversed(circ1, perm1), reversed(circ2, perm2));
  size_t changed1 = retain_by_masks(circ1, mask1f, mask1b);
  size_t changed2 = retain_by_masks(circ2, mask2f, mask2b);
  if (changed1 != changed2)
    panic(fmt::format("mask1f: {:b}, mask1b: {:b}, mask2f: {:b}, mask2b: {:b}", mask1f, mask1b, mask2f, mask2b));
  return changed1;
}

std::pair<uint64_t, uint64_t> reduce_equivalence_front(std::span<const Instr32> circ1, std::span<const Instr32> circ2) {
  uint64_t mask1 = full_mask(circ1.size()), mask2 = full_mask(circ2.size());
  struct FrontGates {
    std::vector<std::pair<Instr32, size_t>> front1, front2;
  };
  auto& [front1, front2] = per_thread<FrontGates>();
  for (bool matched = true; matched;) {
    matched = false;
    circuit_get_surface_gates_hashmap(circ1, mask1, front1);
    circuit_get_surface_gates_hashmap(circ2, mask2, front2);
    for (const auto& [instr, i] : front1) {
      auto j = std::find_if(front2.begin(), front2.end(), [&](const auto& e) { return e.first == instr; });
      if (j == front2.end()) continue;
      mask1 &= ~(uint64_t(1) << i);
      mask2 &= ~(uint64_t(1) << j->second);
      matched = true;
    }
  }
  return {mask1, mask2};
}

size_t retain_by_masks(CircuitInstrs& circ, uint64_t mask_front, uint64_t mask_back) {
  const size_t len = circ.size();
  check_mask_width(len);
  size_t kept = 0;
  for (size_t i = 0; i < len; ++i)
    if (((mask_front >> i) & 1) && ((mask_back >> (len - 1 - i)) & 1)) circ[kept++] = circ[i];
  circ.resize(kept);
  return len - kept;
}

}  // namespace morvane
