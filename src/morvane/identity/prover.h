#pragma once
// The identity prover: rewrite rules taken from equivalence classes, and a bounded search that
// decides which identities follow from the established ones. Identities are canonical identity
// circuits (rotate_representative); rule keys are canonical circuits (representative_with_perm).
//
// - Rules: each key's RuleList either holds its rules (classes of at most 32 circuits) or, for a
//   larger class, refers to the class's circuits, stored once, and makes each rule on use, so that
//   memory follows the circuits and not their pairs. An empty list (a one-circuit class's key,
//   most keys of a large build) is one null pointer.
// - RuleIndex, derived once per build: the rule identity of every held rule with its hash (those
//   of rules made on use are computed on use), and the gate multisets of the keys that have rules,
//   behind a 2^20-bit filter.
// - The rewriting step takes several identities at once. For each, SubsetSplits visits only the
//   selections connected through the wires and keeps the splittable ones in subset order (about
//   one subset in seventy at three qubits); those whose gate multiset is no key's are dropped.
//   A step of at least 4 identities per pool thread gives each identity to one task; a smaller
//   one gives runs of 4 consecutive candidates of one identity to the pool (steps of fewer than 16
//   candidates, or on a pool of one thread, run on the calling thread), which reuse per-thread
//   scratch circuits. Each canonical form is hashed once, on the worker that made it: a block's key
//   with its hash comes from a per-thread memo (4096 slots per thread, a block's slot chosen by its
//   hash and taken over by the next block that maps there; one block in three found there at three
//   qubits size 8 on 8 threads), and finds the rules; a rewritten identity's hash probes `proved`.
//   Rewritten identities are not remembered: few come again on one thread.
// - The breadth-first searches compute the rewrites of the next waiting identities in one step,
//   starting with one and doubling up to 16 per pool thread: a search does not change the prover,
//   so computing ahead changes no result. Every search's size bound stops at 19 gates, the longest
//   identity the subset table splits; a search that starts longer stops at once with the table's
//   message, and the build assumes such identities without a search.
// - The build registers every gate's adjoint in class order (gate numbers do not depend on the
//   threads), then computes each class's identities (whose check stops a class that is not one
//   before any rule is made) and its keys and rules on the pool, 4096 classes a step.
// - The build's searches depend on what the ones before them established. On a pool of more than
//   one thread the other threads plan the identities after the one in turn, up to 8 per pool thread
//   ahead, against the prover as it stands (each plan on one thread, at most 8 steps, with the hash
//   of every identity whose absence steered it: the rule identities it tested and the new
//   identities it reached; and the visited identities not yet established, the only ones recording
//   it can add, sorted out on that thread). The first 8 per pool thread are planned before any
//   turn. Then the calling thread takes the identities in order (planning the next one itself, in
//   at most 2 steps, while the plan it needs is being made): a plan none of whose misses the
//   identities before it added is the plan add_identity would make now, and is recorded as it is;
//   any other identity is added in its turn, beside the planners when its search takes at most 32
//   steps. What it records goes into a pending set that the planners see as it grows, through a
//   shared index published with release stores, and into `proved` when a stretch of planning ends
//   (at 2^16 pending identities, for a turn whose search is long enough for the whole pool, or once
//   every identity is planned, when the rest take their turns with the whole pool). So the prover
//   ends as the one-by-one build leaves it, for any pool size (a test compares pool sizes 1, 2 and 8
//   in child interpreters).

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include "morvane/circ/circ.h"
#include "morvane/identity/identity_circ.h"
#include "morvane/identity/packed_identity_set.h"
#include "morvane/search/ecc.h"

namespace morvane {

/// Hashes a circuit (or the circuit of an identity) by its SipHash stream; well mixed, so the
/// tables below take it as it is. Nothing depends on the iteration order of these tables.
struct CircHash {
  using is_transparent = void;
  size_t operator()(const Circ& c) const noexcept { return static_cast<size_t>(c.hash_value()); }
  size_t operator()(const IdentityCirc& c) const noexcept { return static_cast<size_t>(c.hash_value()); }
  size_t operator()(const HashedIdentity& h) const noexcept { return static_cast<size_t>(h.hash); }
};

struct IdentityEq {
  using is_transparent = void;
  bool operator()(const IdentityCirc& a, const IdentityCirc& b) const { return a == b; }
  bool operator()(const IdentityCirc& a, const HashedIdentity& b) const { return a == b.id; }
  bool operator()(const HashedIdentity& a, const IdentityCirc& b) const { return a.id == b; }
};

using IdentitySet = absl::flat_hash_set<IdentityCirc, CircHash, IdentityEq>;

/// The circuits of one class as the build's rules use them: each circuit with its permutation
/// (the first one's the identity), stored once for all the class's keys.
using ClassCircuits = std::vector<Circ>;

/// The rules under one key: circuits equivalent to the key, in its qubit labels, in order. Either
/// held as they are, or (for a large class, whose rules for all its keys would be a pair each)
/// taken from the class's circuits on use: each circuit c2 other than those with the key
/// circuit's own instructions, as make(c2's instructions, perm⁻¹ * c2's permutation) relabelled
/// by p, perm being the key circuit's permutation and p the relabelling to its key.
class RuleList {
 public:
  RuleList() = default;
  RuleList(std::vector<Circ> rules);
  RuleList(std::initializer_list<Circ> rules) : RuleList(std::vector<Circ>(rules)) {}
  RuleList(const RuleList& other) : body_(other.body_ ? std::make_unique<Body>(*other.body_) : nullptr) {}
  RuleList(RuleList&&) noexcept = default;
  RuleList& operator=(const RuleList& other) { return *this = RuleList(other); }
  RuleList& operator=(RuleList&&) noexcept = default;
  /// The rules of class circuit `self` taken on use.
  static RuleList of_class(std::shared_ptr<const ClassCircuits> circuits, size_t self, Permut32 p);

  size_t size() const {
    if (!body_) return 0;
    return body_->circuits ? body_->circuits->size() - body_->skipped.size() : body_->rules.size();
  }
  bool empty() const { return body_ == nullptr; }
  /// Whether the rules are held as they are (no circuit to make on use).
  bool held() const { return !body_ || body_->circuits == nullptr; }
  /// The length of rule j, without making it.
  size_t rule_len(size_t j) const {
    return body_->circuits ? (*body_->circuits)[member(j)].len() : body_->rules[j].len();
  }
  /// Rule j: a reference to the held rule, or the rule made into `scratch`.
  const Circ& rule(size_t j, Circ& scratch) const;
  Circ operator[](size_t j) const {
    Circ scratch;
    return rule(j, scratch);
  }

  class const_iterator {
   public:
    using value_type = Circ;
    using difference_type = std::ptrdiff_t;
    using reference = Circ;
    using iterator_category = std::input_iterator_tag;
    const_iterator() = default;
    const_iterator(const RuleList* list, size_t j) : list_(list), j_(j) {}
    Circ operator*() const { return (*list_)[j_]; }
    const_iterator& operator++() {
      ++j_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++j_;
      return old;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.j_ == b.j_; }

   private:
    const RuleList* list_ = nullptr;
    size_t j_ = 0;
  };
  using value_type = Circ;
  using iterator = const_iterator;
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size()}; }

  friend bool operator==(const RuleList& a, const RuleList& b);

 private:
  /// A non-empty list. A prover holds a list under every key, most of them empty (the circuits of
  /// one-circuit classes): an empty list is one null pointer.
  struct Body {
    std::vector<Circ> rules;
    std::shared_ptr<const ClassCircuits> circuits;
    /// The class circuits left out (the key circuit's own instructions), ascending.
    std::vector<uint32_t> skipped;
    Permut32 perm_inv, p;
  };

  /// The class circuit of rule j.
  size_t member(size_t j) const {
    for (uint32_t k : body_->skipped)
      if (k <= j) ++j;
    return j;
  }

  std::unique_ptr<Body> body_;
};

using RuleMap = absl::flat_hash_map<Circ, RuleList, CircHash>;

/// One rewrite of an identity: the identity it becomes and the identity of the rule used.
struct TransitionPair {
  IdentityCirc rewritten;
  IdentityCirc rule;

  friend bool operator==(const TransitionPair&, const TransitionPair&) = default;
};

/// Each thread remembers the canonical forms of the blocks it computed (4096 slots per thread,
/// pure results); this makes every thread forget them before its next use, so that a benchmark can
/// time a cold build.
void forget_prover_memos();

/// The gates of a circuit other than SWAP as a multiset, hashed (the sum of one mixed term per
/// gate): canonical forms keep it, so a block whose value is no key's value has no rules.
uint64_t gate_multiset_hash(std::span<const Instr32> instrs);
/// The term of one instruction: 0 for SWAP.
uint64_t gate_multiset_term(Instr32 instr);

/// An identity with its hash_value.
struct IdentityWithHash {
  IdentityCirc id;
  uint64_t hash;
};

/// Derived from the rules, computed once: the rule identity of every held rule under its key, in
/// stored order (rotate_representative(rule + inverse(key))), one identity per rule (rules made on
/// use have theirs computed on use); and the gate multisets of the keys that have rules.
struct RuleIndex {
  bool prepared = false;
  absl::flat_hash_map<Circ, std::vector<IdentityWithHash>, CircHash> rule_identities;
  absl::flat_hash_set<uint64_t> key_gate_multisets;
  /// Bit (m >> kFilterShift) set for every multiset m of key_gate_multisets: a first test that
  /// fits the cache and rejects most blocks.
  static constexpr int kFilterShift = 64 - 20;
  std::vector<uint64_t> multiset_filter;

  bool may_have_rules(uint64_t multiset) const {
    const uint64_t bit = multiset >> kFilterShift;
    return (multiset_filter[bit >> 6] >> (bit & 63)) & 1;
  }
  bool has_rules(uint64_t multiset) const { return may_have_rules(multiset) && key_gate_multisets.contains(multiset); }
};

struct IdentityProver {
  /// Identities recorded as assumptions, in recording order; only ever appended to.
  std::vector<IdentityCirc> assume;
  /// Every established identity: each one visited by a completed add_identity search (the
  /// assumptions among them), in the order they were recorded; only ever added to.
  PackedIdentitySet proved;
  /// Rewrite rules: canonical circuit -> circuits equivalent to it, in its qubit labels. Filled by
  /// build, fixed afterwards.
  RuleMap circ_map;

  /// What the rewriting step looks up besides `circ_map`, a pure function of it.
  RuleIndex rule_index;

  /// The extra size and the count limit of the build's searches.
  static constexpr uint32_t kBuildAdditionalSize = 3;
  static constexpr uint32_t kBuildCountLimit = 50000000;

  /// Rules and identities of the classes, in order; every identity added shortest first with
  /// add_identity(identity, 3, 50000000). Writes "Building identity prover from {} ECCs\n" and
  /// "Proving Identities\n" to standard error, each followed by a progress bar.
  static IdentityProver build(std::span<const ECC> classes);

  /// Fills `rule_index` from `circ_map` (on the worker pool). build does it; a prover assembled
  /// otherwise works without it, only slower.
  void prepare_rule_index();

  /// The rewritten identities (rule + rest, canonical) of every split of `identity` and every rule
  /// of its block's key no longer than the block plus `additional_size` (32-bit wrapping sum)
  /// whose rule identity is in `proved`; split order, then rule order, for any pool size. May
  /// repeat an identity. An identity of 20 or more gates stops.
  std::vector<IdentityCirc> par_apply_rules(const IdentityCirc& identity, uint32_t additional_size) const;
  /// par_apply_rules of each identity with its own size, all in one parallel step.
  std::vector<std::vector<IdentityCirc>> par_apply_rules_many(std::span<const IdentityCirc* const> identities,
                                                              std::span<const uint32_t> additional_sizes) const;
  /// As par_apply_rules, but every fitting rule, each as (rewritten identity, rule identity),
  /// without looking at `proved`.
  std::vector<TransitionPair> par_transition_pairs(const IdentityCirc& identity, uint32_t additional_size) const;

  /// False at once for the empty identity or a member of `proved`; else runs add_identity_search,
  /// puts every visited identity into `proved` and returns whether an assumption was recorded.
  bool add_identity(IdentityCirc identity, uint32_t additional_size, uint32_t count_limit);
  /// Breadth-first search by extra size. Returns (visited, assumed): `assumed` when the identity
  /// was recorded in `assume` (nothing smaller or established reached before the queues ran dry or
  /// more than `count_limit` identities were queued), or the result of the nested add_identity on
  /// the first shorter identity reached. Records its results only when it ends, so a stop leaves
  /// the prover as it was.
  std::pair<IdentitySet, bool> add_identity_search(IdentityCirc identity, uint32_t additional_size,
                                                   uint32_t count_limit);

  /// The same search without changing the prover: (none, visited) when the identity is proved
  /// (a member of `proved` or the empty identity reached, or a shorter identity proved), else
  /// (the identity at which a search gave up, visited). The empty identity counts as proved.
  std::pair<std::optional<IdentityCirc>, IdentitySet> prove_identity_with_visited(IdentityCirc identity,
                                                                                  uint32_t additional_size,
                                                                                  uint32_t count_limit) const;
  /// The first element of prove_identity_with_visited.
  std::optional<IdentityCirc> prove_identity(IdentityCirc identity, uint32_t additional_size,
                                             uint32_t count_limit) const;

  const std::vector<IdentityCirc>& assumed_identities() const { return assume; }
  std::vector<IdentityCirc> get_assumed() const { return assume; }
};

}  // namespace morvane
