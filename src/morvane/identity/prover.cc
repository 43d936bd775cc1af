#include "morvane/identity/prover.h"

#include <algorithm>
#include <cstdio>
#include <deque>

#include <fmt/format.h>

#include "morvane/core/panic.h"
#include "morvane/core/pool.h"
#include "morvane/core/progress.h"
#include "morvane/identity/canonical.h"
#include "morvane/identity/splits.h"

namespace morvane {

namespace {

void write_stderr(const std::string& text) {
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

/// Queues of identities by extra size; the front of the lowest non-empty queue comes out first.
/// Queues are made as identities of a new extra size arrive, so a large size bound costs nothing.
class SizeQueues {
 public:
  void push(size_t extra, IdentityCirc id) {
    if (extra >= queues_.size()) queues_.resize(extra + 1);
    queues_[extra].push_back(std::move(id));
  }
  std::optional<IdentityCirc> pop() {
    for (auto& q : queues_) {
      if (!q.empty()) {
        IdentityCirc id = std::move(q.front());
        q.pop_front();
        return id;
      }
    }
    return std::nullopt;
  }

 private:
  std::vector<std::deque<IdentityCirc>> queues_;
};

}  // namespace

/// The breadth-first search shared by add_identity_search and prove_identity_with_visited. For each
/// identity newly visited, `step(new_id, visited, queued)` returns a result to end the search with,
/// or none to go on; it is called before a new identity is queued (queued = false: decide about a
/// shorter or established identity) and after (queued = true: decide about the limit).
/// `exhausted(visited)` gives the result when the queues run dry.
template <typename Result, typename Step, typename Exhausted>
Result search_identities(const IdentityProver& prover, const IdentityCirc& start, uint32_t additional_size,
                         Step&& step, Exhausted&& exhausted) {
  const size_t start_len = start.circ.len();
  // Elements are never shorter than the start, so max_size - length fits the 32-bit size again.
  const uint64_t max_size = uint64_t(start_len) + additional_size;
  IdentitySet visited;
  SizeQueues queues;
  visited.insert(start);
  queues.push(0, start);
  while (std::optional<IdentityCirc> element = queues.pop()) {
    const uint32_t room = uint32_t(max_size - element->circ.len());
    for (IdentityCirc& new_id : prover.par_apply_rules(*element, room)) {
      if (new_id.circ.len() > max_size) panic("assertion failed: new_id.len() <= max_size");
      if (!visited.insert(new_id).second) continue;
      if (std::optional<Result> r = step(new_id, visited, false)) return std::move(*r);
      queues.push(new_id.circ.len() - start_len, new_id);
      if (std::optional<Result> r = step(new_id, visited, true)) return std::move(*r);
    }
  }
  return exhausted(visited);
}

IdentityProver IdentityProver::build(std::vector<ECC> classes) {
  IdentityProver prover;
  std::vector<IdentityCirc> identities;
  write_stderr(fmt::format("Building identity prover from {} ECCs\n", classes.size()));
  {
    ProgressBar bar(classes.size());
    for (ECC& cls : classes) {
      bar.inc();
      const ECC e = std::move(cls).simplify_permute();
      for (const PermutedCircuit& c : e.circuits) {
        auto [rep, p] = representative_with_perm(Circ::make_no_perm(c.instrs));
        const Permut32 perm_inv = c.perm.inv();
        std::vector<Circ> rules;
        for (const PermutedCircuit& c2 : e.circuits)
          if (c2.instrs != c.instrs) rules.push_back(Circ::make(c2.instrs, perm_inv * c2.perm).permut(p));
        prover.circ_map.insert_or_assign(std::move(rep), std::move(rules));
      }
      const Circ first_inv = Circ::make(e.circuits[0].instrs, e.circuits[0].perm).inverse();
      for (size_t i = 1; i < e.circuits.size(); ++i)
        identities.push_back(rotate_representative(first_inv + Circ::make(e.circuits[i].instrs, e.circuits[i].perm)));
    }
    bar.finish();
  }
  std::stable_sort(identities.begin(), identities.end());
  identities.erase(std::unique(identities.begin(), identities.end()), identities.end());

  write_stderr("Proving Identities\n");
  ProgressBar bar(identities.size());
  for (IdentityCirc& identity : identities) {
    bar.inc();
    prover.add_identity(std::move(identity), kBuildAdditionalSize, kBuildCountLimit);
  }
  bar.finish();
  return prover;
}

/// The rewriting step: for every split of `identity` (in subset order, on the pool) and every rule
/// of its block's key that fits the size bound (in stored order), `emit(out, rule, c1_reversed,
/// c2_permuted)` appends what that rule contributes.
template <typename T, typename Emit>
std::vector<T> rewrite(const RuleMap& circ_map, const IdentityCirc& identity, uint32_t additional_size, Emit&& emit) {
  const SubsetSplits splits(identity);
  return pool::flat_map_index(splits.size(), [&](size_t i) {
    std::vector<T> out;
    std::optional<Split> split = splits.at(i);
    if (!split) return out;
    const auto [c1_rep, p] = representative_with_perm(split->c1);
    const Circ c1_reversed = c1_rep.inverse();
    const Circ c2_permuted = split->c2.permut(p);
    const auto rules = circ_map.find(c1_rep);
    if (rules == circ_map.end()) return out;
    // The bound wraps around in 32 bits, as proof export expects.
    const uint32_t bound = uint32_t(c1_rep.len()) + additional_size;
    for (const Circ& r : rules->second)
      if (r.len() <= bound) emit(out, r, c1_reversed, c2_permuted);
    return out;
  });
}

std::vector<IdentityCirc> IdentityProver::par_apply_rules(const IdentityCirc& identity, uint32_t additional_size) const {
  return rewrite<IdentityCirc>(circ_map, identity, additional_size,
                               [&](std::vector<IdentityCirc>& out, const Circ& r, const Circ& c1_reversed,
                                   const Circ& c2_permuted) {
                                 if (proved.contains(rotate_representative(r + c1_reversed)))
                                   out.push_back(rotate_representative(r + c2_permuted));
                               });
}

std::vector<TransitionPair> IdentityProver::par_transition_pairs(const IdentityCirc& identity,
                                                                 uint32_t additional_size) const {
  return rewrite<TransitionPair>(circ_map, identity, additional_size,
                                 [](std::vector<TransitionPair>& out, const Circ& r, const Circ& c1_reversed,
                                    const Circ& c2_permuted) {
                                   IdentityCirc rule = rotate_representative(r + c1_reversed);
                                   out.push_back(TransitionPair{rotate_representative(r + c2_permuted), std::move(rule)});
                                 });
}

bool IdentityProver::add_identity(IdentityCirc identity, uint32_t additional_size, uint32_t count_limit) {
  if (identity.circ.is_empty() || proved.contains(identity)) return false;
  auto [visited, assumed] = add_identity_search(std::move(identity), additional_size, count_limit);
  for (auto& id : visited) proved.insert(id);
  return assumed;
}

std::pair<IdentitySet, bool> IdentityProver::add_identity_search(IdentityCirc identity, uint32_t additional_size,
                                                                 uint32_t count_limit) {
  using Result = std::pair<IdentitySet, bool>;
  const size_t start_len = identity.circ.len();
  uint64_t queued = 0;
  // The nested add_identity is the search's last step, so it runs after the search has ended.
  std::optional<IdentityCirc> shorter;
  auto step = [&](const IdentityCirc& new_id, IdentitySet& visited, bool is_queued) -> std::optional<Result> {
    if (!is_queued) {
      if (new_id.circ.len() < start_len) {
        shorter = new_id;
        return Result{std::move(visited), false};
      }
      if (proved.contains(new_id)) return Result{std::move(visited), false};
      return std::nullopt;
    }
    if (++queued > count_limit) {
      assume.push_back(identity);
      return Result{std::move(visited), true};
    }
    return std::nullopt;
  };
  auto exhausted = [&](IdentitySet& visited) {
    assume.push_back(identity);
    return Result{std::move(visited), true};
  };
  Result result = search_identities<Result>(*this, identity, additional_size, step, exhausted);
  if (shorter) result.second = add_identity(std::move(*shorter), additional_size, count_limit);
  return result;
}

std::pair<std::optional<IdentityCirc>, IdentitySet> IdentityProver::prove_identity_with_visited(
    IdentityCirc identity, uint32_t additional_size, uint32_t count_limit) const {
  using Result = std::pair<std::optional<IdentityCirc>, IdentitySet>;
  // The empty identity holds without proof.
  if (identity.circ.is_empty()) {
    IdentitySet visited;
    visited.insert(std::move(identity));
    return Result{std::nullopt, std::move(visited)};
  }
  const size_t start_len = identity.circ.len();
  auto step = [&](const IdentityCirc& new_id, IdentitySet& visited, bool is_queued) -> std::optional<Result> {
    if (!is_queued) {
      if (new_id.circ.is_empty()) return Result{std::nullopt, std::move(visited)};
      if (new_id.circ.len() < start_len) {
        auto [gave_up_at, nested] = prove_identity_with_visited(new_id, additional_size, count_limit);
        visited.insert(nested.begin(), nested.end());
        return Result{std::move(gave_up_at), std::move(visited)};
      }
      if (proved.contains(new_id)) return Result{std::nullopt, std::move(visited)};
      return std::nullopt;
    }
    if (visited.size() > count_limit) return Result{identity, std::move(visited)};
    return std::nullopt;
  };
  auto exhausted = [&](IdentitySet& visited) { return Result{identity, std::move(visited)}; };
  return search_identities<Result>(*this, identity, additional_size, step, exhausted);
}

std::optional<IdentityCirc> IdentityProver::prove_identity(IdentityCirc identity, uint32_t additional_size,
                                                           uint32_t count_limit) const {
  return prove_identity_with_visited(std::move(identity), additional_size, count_limit).first;
}

}  // namespace morvane
