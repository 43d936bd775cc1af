#include "morvane/identity/proof.h"

#include <algorithm>
#include <functional>
#include <queue>

#include <fmt/format.h>

#include "morvane/core/interrupt.h"
#include "morvane/core/panic.h"
#include "morvane/core/stdout_writer.h"
#include "morvane/identity/splits.h"

namespace morvane {

std::string ProofFuture::debug() const {
  if (const Waiting* w = waiting()) {
    std::string notify;
    for (const auto& [other, dependent] : w->notify)
      notify += fmt::format("{}({}, {})", notify.empty() ? "" : ", ", other, dependent);
    return fmt::format("Waiting {{ expanded: {}, notify: [{}] }}", w->expanded, notify);
  }
  const Result& r = *result();
  if (!r.from) return "Result(None)";
  return fmt::format("Result(Some(({}, {})))", r.from->first, r.from->second);
}

std::string Proof::display() const {
  std::string s;
  for (size_t i = 0; i < entries.size(); ++i) {
    const ProofEntry& e = entries[i];
    if (e.from)
      s += fmt::format("{}: {} <- {}, {}\n", i, e.identity.display(), e.from->first, e.from->second);
    else
      s += fmt::format("{}: {} <- ASSUME\n", i, e.identity.display());
  }
  return s;
}

/// What one prove call reads: the prover, the visited set of the prover's own search, the
/// assumptions as a set, the size bound and the queue of (length, hash), smallest first.
struct ProofTracker::Search {
  Search(const IdentityProver& prover, const IdentitySet& visited)
      : prover(prover), visited(visited), assumed(prover.assume.begin(), prover.assume.end()) {}

  const IdentityProver& prover;
  const IdentitySet& visited;
  IdentitySet assumed;
  uint32_t bound = 0;
  std::priority_queue<std::pair<uint64_t, uint64_t>, std::vector<std::pair<uint64_t, uint64_t>>, std::greater<>> queue;

  /// Resolved without a derivation: an assumption, or the empty identity.
  bool is_leaf(const IdentityCirc& id) const { return id.circ.is_empty() || assumed.contains(id); }
  /// Usable in a transition pair: established by the prover (the empty identity too) or met by its
  /// search.
  bool is_usable(const IdentityCirc& id) const {
    return id.circ.is_empty() || prover.proved.contains(id) || visited.contains(id);
  }
};

bool ProofTracker::prove(const IdentityCirc& identity, const IdentityProver& prover, uint32_t additional_size,
                         uint32_t count_limit, const IdentitySet& visited) {
  Search search(prover, visited);
  if (search.is_leaf(identity)) {
    table_.insert(identity, ProofFuture::leaf());
    return true;
  }
  const uint64_t root = identity.hash_value();
  // The caller's bound, no further than the rewriting step reaches (the identity is no longer).
  search.bound = uint32_t(std::min<uint64_t>(uint64_t(identity.circ.len()) + additional_size, kLongestSplittable));
  search.queue.emplace(identity.circ.len(), root);
  table_.insert(identity, ProofFuture{});
  size_t steps = 0;
  while (!search.queue.empty()) {
    interrupt::check();
    const auto [len, key] = search.queue.top();
    search.queue.pop();
    if (table_.size() > count_limit) {
      write_stdout(fmt::format("Proof search exceeded limit of {} states.\n", count_limit));
      return false;
    }
    if (prune(key, root)) {
      if (steps % 50 == 0)
        write_stdout(fmt::format("Exploring {:x} {} {} ({} queued)\n", key, len, table_.address(key)->first.display(),
                                 search.queue.size()));
      expand(key, search);
      ++steps;
    }
    if (is_result(root)) return true;
  }
  return false;
}

void ProofTracker::expand(uint64_t key, Search& search) {
  auto slot = table_.address_mut(key);
  if (!slot) return;
  ProofFuture::Waiting* w = slot->value.waiting();
  if (!w || w->expanded) return;
  w->expanded = true;
  // A copy: the table may grow below, moving its entries.
  const IdentityCirc identity = slot->key;
  // A rule identity too long to split has no rewrites (a built prover assumes it).
  if (identity.circ.len() > kLongestSplittable) return;
  // A rule identity longer than the bound wraps around here, and the rule-length test of the
  // rewriting step wraps with it: only rules at least that much shorter than their key fit.
  const uint32_t size = search.bound - static_cast<uint32_t>(identity.circ.len());
  for (const TransitionPair& pair : search.prover.par_transition_pairs(identity, size)) {
    const IdentityCirc& id1 = pair.rewritten;
    const IdentityCirc& id2 = pair.rule;
    if (!search.is_usable(id1) || !search.is_usable(id2)) continue;
    const uint64_t h1 = id1.hash_value(), h2 = id2.hash_value();
    if (search.is_leaf(id1)) {
      table_.insert(id1, ProofFuture::leaf());
    } else if (wait(id1, {h2, key})) {
      if (h1 == key) panic("assertion failed: id1hash != key");
      search.queue.emplace(id1.circ.len(), h1);
    }
    if (search.is_leaf(id2)) {
      table_.insert(id2, ProofFuture::leaf());
    } else if (wait(id2, {h1, key})) {
      if (h2 == key) panic("assertion failed: id2hash != key");
      search.queue.emplace(id2.circ.len(), h2);
    }
    if (notify(h1, h2, key)) break;
  }
}

bool ProofTracker::wait(const IdentityCirc& identity, std::pair<uint64_t, uint64_t> pair) {
  const uint64_t h = identity.hash_value();
  auto slot = table_.address_mut(h);
  ProofFuture& future = slot ? slot->value : table_.address_or(h, {identity, ProofFuture{}}).value;
  ProofFuture::Waiting* w = future.waiting();
  if (!w) return false;
  w->notify.push_back(pair);
  return !w->expanded;
}

bool ProofTracker::is_result(uint64_t h) const {
  const Table::Entry* e = table_.address(h);
  return e && e->second.result();
}

bool ProofTracker::resolve(uint64_t id1hash, uint64_t id2hash, uint64_t key,
                           std::vector<std::pair<uint64_t, uint64_t>>& dependents) {
  if (!is_result(id1hash) || !is_result(id2hash)) return false;
  auto slot = table_.address_mut(key);
  if (!slot) return false;
  ProofFuture::Waiting* w = slot->value.waiting();
  if (!w) return false;
  dependents = std::move(w->notify);
  slot->value.state = ProofFuture::Result{std::pair(id1hash, id2hash)};
  return true;
}

bool ProofTracker::notify(uint64_t id1hash, uint64_t id2hash, uint64_t key) {
  // Depth first, as a recursion through the dependents in list order would go: a frame per
  // resolved identity, with its former notify list and the next entry of it to notify.
  struct Frame {
    uint64_t key;
    std::vector<std::pair<uint64_t, uint64_t>> dependents;
    size_t next = 0;
  };
  std::vector<Frame> stack(1);
  if (!resolve(id1hash, id2hash, key, stack[0].dependents)) return false;
  stack[0].key = key;
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.dependents.size()) {
      stack.pop_back();
      continue;
    }
    const auto [other, dependent] = top.dependents[top.next++];
    Frame frame{dependent, {}, 0};
    if (resolve(top.key, other, dependent, frame.dependents)) stack.push_back(std::move(frame));
  }
  return true;
}

bool ProofTracker::prune(uint64_t key, uint64_t root) {
  seen_.clear();
  seen_.insert(key);
  return check_reach(key, root, seen_);
}

bool ProofTracker::check_reach(uint64_t key, uint64_t root, HashSet& seen) const {
  if (key == root) return true;
  // Depth first over the waiting dependents: a frame per identity entered, with the next entry of
  // its notify list to look at. The table does not change here, so the lists stay in place.
  struct Frame {
    const std::vector<std::pair<uint64_t, uint64_t>>* notify;
    size_t next;
  };
  auto waiting = [&](uint64_t h) -> const ProofFuture::Waiting* {
    const Table::Entry* e = table_.address(h);
    return e ? e->second.waiting() : nullptr;
  };
  const ProofFuture::Waiting* start = waiting(key);
  if (!start) return false;
  std::vector<Frame> stack{{&start->notify, 0}};
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.notify->size()) {
      stack.pop_back();
      continue;
    }
    const uint64_t dependent = (*top.notify)[top.next++].second;
    if (!seen.insert(dependent).second) continue;
    if (dependent == root) return true;
    if (const ProofFuture::Waiting* w = waiting(dependent)) stack.push_back({&w->notify, 0});
  }
  return false;
}

void ProofTracker::export_inner(uint64_t key, IndexMap& map) const {
  // Pre-order, as a recursion into the first and then the second identity of each pair would
  // number them: a frame per identity numbered, with the number of its pair's identities done.
  struct Frame {
    uint64_t key;
    int done;
  };
  auto number = [&](uint64_t h) {
    const auto index = static_cast<uint32_t>(map.size());
    map.insert_or_assign(h, index);
  };
  number(key);
  std::vector<Frame> stack{{key, 0}};
  while (!stack.empty()) {
    Frame& top = stack.back();
    const Table::Entry* e = table_.address(top.key);
    const ProofFuture::Result* r = e ? e->second.result() : nullptr;
    if (!r || !r->from || top.done == 2) {
      stack.pop_back();
      continue;
    }
    const uint64_t next = top.done++ == 0 ? r->from->first : r->from->second;
    if (!map.contains(next)) {
      number(next);
      stack.push_back({next, 0});
    }
  }
}

std::vector<ProofEntry> ProofTracker::export_(uint64_t root) const {
  IndexMap map;
  export_inner(root, map);
  std::vector<ProofEntry> result(map.size(), ProofEntry{IdentityCirc::empty(), std::nullopt});
  for (const auto& [h, i] : map) {
    const Table::Entry* e = table_.address(h);
    if (!e) panic(fmt::format("Proof node {:x} has no entry", h));
    const ProofFuture::Result* r = e->second.result();
    std::optional<std::pair<uint32_t, uint32_t>> from;
    if (r && r->from) from = std::pair(map.at(r->from->first), map.at(r->from->second));
    result[i] = ProofEntry{e->first, from};
  }
  return result;
}

std::optional<Proof> export_proof(const IdentityProver& prover, const IdentityCirc& identity, uint32_t additional_size,
                                  uint32_t count_limit) {
  auto [gave_up_at, visited] = prover.prove_identity_with_visited(identity, additional_size, count_limit);
  if (gave_up_at) return std::nullopt;
  ProofTracker tracker;
  if (!tracker.prove(identity, prover, additional_size, count_limit, visited))
    panic("Failed to export proof for proved identity");
  return Proof{tracker.export_(identity.hash_value())};
}

}  // namespace morvane
