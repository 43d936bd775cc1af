#pragma once
// Proof export: turns "the prover can derive this identity" into an explicit proof, a DAG of
// identities in which each one is an assumption (or the empty identity) or follows from two others
// by one rewrite. A best-first search by length over the prover's transition pairs records for each
// identity met whether it is resolved or waiting, and which waiting identities each one would help
// resolve; resolving an identity propagates to those until the target is resolved.
//
// The search state is a ProofTracker: a HashTable64 of ProofFutures under each identity's
// hash_value, searched best-first by (length, hash); the empty identity resolves as a leaf, like an
// assumption. All walks over the dependency graph (propagation in notify, the reachability test
// check_reach, the pre-order numbering export_inner) use explicit stacks, visiting in the order of
// their recursive definitions: proof graphs can be far deeper than the C stack allows recursion.
// The "Exploring ..." and limit lines go to file descriptor 1 directly.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include "morvane/core/hash_table64.h"
#include "morvane/identity/identity_circ.h"
#include "morvane/identity/prover.h"

namespace morvane {

/// The state of an identity not yet resolved in a proof search. `expanded`: its transition pairs
/// have been generated. `notify`: one entry (other, dependent) per transition pair it takes part
/// in: the hash of the pair's other identity and the hash of the identity the pair would resolve.
struct ProofWaiting {
  bool expanded = false;
  std::vector<std::pair<uint64_t, uint64_t>> notify;
  friend bool operator==(const ProofWaiting&, const ProofWaiting&) = default;
};

/// The state of a resolved identity: an assumption or the empty identity (no pair), or derived
/// from the identities whose hashes are the pair.
struct ProofResult {
  std::optional<std::pair<uint64_t, uint64_t>> from;
  friend bool operator==(const ProofResult&, const ProofResult&) = default;
};

/// The search state of one identity; `Waiting` by default.
struct ProofFuture {
  using Waiting = ProofWaiting;
  using Result = ProofResult;

  std::variant<Waiting, Result> state;

  static ProofFuture leaf() { return {Result{}}; }
  Waiting* waiting() { return std::get_if<Waiting>(&state); }
  const Waiting* waiting() const { return std::get_if<Waiting>(&state); }
  const Result* result() const { return std::get_if<Result>(&state); }

  /// "Waiting { expanded: false, notify: [(1, 2)] }", "Result(None)", "Result(Some((1, 2)))".
  std::string debug() const;
  friend bool operator==(const ProofFuture&, const ProofFuture&) = default;
};

/// One entry of a proof: an identity and, for a derived one, the indices of the two entries it
/// follows from.
struct ProofEntry {
  IdentityCirc identity;
  std::optional<std::pair<uint32_t, uint32_t>> from;

  /// By identity, then no pair before any pair, pairs by first then second index.
  friend auto operator<=>(const ProofEntry&, const ProofEntry&) = default;
  friend bool operator==(const ProofEntry&, const ProofEntry&) = default;
};

/// A proof DAG. In an exported proof entry 0 is the proved identity and the entries come in
/// pre-order from it; a proof made by hand may hold anything.
struct Proof {
  std::vector<ProofEntry> entries;

  /// Per entry i: "i: <identity> <- a, b\n" or "i: <identity> <- ASSUME\n"; "" when empty.
  std::string display() const;
  /// Entries compared in order; a prefix is smaller.
  friend auto operator<=>(const Proof&, const Proof&) = default;
  friend bool operator==(const Proof&, const Proof&) = default;
};

/// The state of one proof search: a future per identity met, under the identity's hash_value.
/// Lookups by hash do not compare identities.
class ProofTracker {
 public:
  using Table = HashTable64<IdentityCirc, ProofFuture>;
  using HashSet = absl::flat_hash_set<uint64_t, SelfHash64>;
  using IndexMap = absl::flat_hash_map<uint64_t, uint32_t, SelfHash64>;

  /// Searches for a derivation of `identity` from the prover's assumptions, using only transition
  /// pairs whose two identities are in `proved` (or are the empty identity) or in `visited`, the
  /// visited set of the prover's own search. Best-first by (length, hash); every 50th identity
  /// expanded (from the first) writes "Exploring {hash:x} {len} {identity} ({queued} queued)\n" to
  /// standard output. True when the identity is resolved; false when the queue runs dry, or when
  /// the tracker holds more than `count_limit` identities, after writing "Proof search exceeded
  /// limit of {count_limit} states.\n".
  bool prove(const IdentityCirc& identity, const IdentityProver& prover, uint32_t additional_size, uint32_t count_limit,
             const IdentitySet& visited);

  /// Records that `identity` takes part in a pair (other, dependent): creates its waiting entry if
  /// there is none. Returns whether it still has to be expanded (waiting and not expanded); a
  /// resolved identity records nothing.
  bool wait(const IdentityCirc& identity, std::pair<uint64_t, uint64_t> pair);
  /// Resolves `key` from `id1hash` and `id2hash` when both are resolved and `key` is waiting,
  /// then propagates to every (other, dependent) that waited on `key`. True when `key` has just
  /// been resolved.
  bool notify(uint64_t id1hash, uint64_t id2hash, uint64_t key);
  /// Whether some chain of waiting dependents leads from `key` to `root`.
  bool prune(uint64_t key, uint64_t root);
  /// The walk of prune with a given set of dependents already seen: `key` is `root`, or `key` is
  /// waiting and a dependent not yet seen (added to `seen` as it is met) reaches `root`.
  bool check_reach(uint64_t key, uint64_t root, HashSet& seen) const;

  /// The proof below `root` (`export`, a keyword in C++), numbered in pre-order: `root` is 0, then
  /// the subtree of the first identity of its pair, then that of the second; an identity met
  /// again keeps its number.
  std::vector<ProofEntry> export_(uint64_t root) const;
  /// Numbers `key` and the identities it is derived from, in pre-order, into `map` (an identity
  /// already numbered is not walked again).
  void export_inner(uint64_t key, IndexMap& map) const;

  const Table& table() const { return table_; }
  Table& table() { return table_; }

 private:
  struct Search;
  /// Expands the identity under `key` once: its transition pairs with the size left under the
  /// search's bound, the leaves among their identities resolved, the others waited on and queued.
  void expand(uint64_t key, Search& search);
  /// The test of notify for one identity: when `id1hash` and `id2hash` are resolved and `key` is
  /// waiting, resolves `key` and hands over its notify list.
  bool resolve(uint64_t id1hash, uint64_t id2hash, uint64_t key,
               std::vector<std::pair<uint64_t, uint64_t>>& dependents);
  bool is_result(uint64_t h) const;

  Table table_;
  HashSet seen_;  // prune's scratch set, reused
};

/// The proof of `identity` under the prover's size and count limits: none when
/// prove_identity_with_visited does not prove it; else the tracker's proof, or the stop "Failed to
/// export proof for proved identity" when the tracker's search fails.
std::optional<Proof> export_proof(const IdentityProver& prover, const IdentityCirc& identity, uint32_t additional_size,
                                  uint32_t count_limit);

}  // namespace morvane
