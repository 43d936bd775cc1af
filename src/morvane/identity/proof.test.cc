#include "morvane/identity/proof.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <sstream>

#include "morvane/identity/canonical.h"
#include "morvane/identity/proof_testing.h"

namespace morvane {

using testing::cx;
using testing::h;
using ::testing::HasSubstr;
using testing::s;
using testing::Stops;

namespace {

IdentityCirc canonical(std::vector<Instr32> instrs) {
  return rotate_representative(Circ::make_no_perm(std::move(instrs)));
}

const IdentityProver& h_cx_prover() {
  static const IdentityProver p = testing::generated_prover(2, {gates::H(), gates::CX()}, 3);
  return p;
}
const IdentityProver& h_s_cx_prover() {
  static const IdentityProver p = testing::generated_prover(2, {gates::H(), gates::S(), gates::CX()}, 3);
  return p;
}

/// export_proof with the proof search's standard output captured into `out`.
std::optional<Proof> quiet_export(const IdentityProver& p, const IdentityCirc& id, uint32_t size, uint32_t limit,
                                  std::string* out = nullptr) {
  ::testing::internal::CaptureStdout();
  std::optional<Proof> proof;
  try {
    proof = export_proof(p, id, size, limit);
  } catch (...) {
    std::string text = ::testing::internal::GetCapturedStdout();
    if (out) *out = text;
    throw;
  }
  std::string text = ::testing::internal::GetCapturedStdout();
  if (out) *out = text;
  return proof;
}

/// Everything a proof of `target` exported from `p` with `additional_size` must satisfy; returns
/// the number of derived entries.
size_t check_proof(const IdentityProver& p, const IdentityCirc& target, uint32_t additional_size, const Proof& proof) {
  const auto& e = proof.entries;
  EXPECT_FALSE(e.empty());
  if (e.empty()) return 0;
  EXPECT_EQ(e[0].identity, target);
  const uint32_t bound = static_cast<uint32_t>(target.circ.len()) + additional_size;
  IdentitySet distinct;
  size_t derived = 0;
  for (size_t i = 0; i < e.size(); ++i) {
    const ProofEntry& entry = e[i];
    EXPECT_TRUE(distinct.insert(entry.identity).second) << "listed twice: " << entry.identity.display();
    EXPECT_NO_THROW(entry.identity.check()) << entry.identity.display();
    if (!entry.from) {
      bool assumed = std::find(p.assume.begin(), p.assume.end(), entry.identity) != p.assume.end();
      EXPECT_TRUE(entry.identity.circ.is_empty() || assumed) << "leaf " << entry.identity.display();
      continue;
    }
    ++derived;
    const auto [a, b] = *entry.from;
    EXPECT_LT(a, e.size());
    EXPECT_LT(b, e.size());
    if (a >= e.size() || b >= e.size()) continue;
    // One rewrite: a transition pair of this entry, named in either order.
    const uint32_t size = bound - static_cast<uint32_t>(entry.identity.circ.len());
    bool found = false;
    for (const TransitionPair& t : p.par_transition_pairs(entry.identity, size)) {
      found |= (t.rewritten == e[a].identity && t.rule == e[b].identity) ||
               (t.rewritten == e[b].identity && t.rule == e[a].identity);
    }
    EXPECT_TRUE(found) << i << ": " << entry.identity.display() << " <- " << a << ", " << b;
  }
  // Numbered in pre-order from entry 0: first visits come in index order and reach every entry.
  std::vector<uint32_t> order;
  std::vector<bool> seen(e.size());
  std::function<void(uint32_t)> walk = [&](uint32_t i) {
    seen[i] = true;
    order.push_back(i);
    if (const auto& from = e[i].from) {
      if (!seen[from->first]) walk(from->first);
      if (!seen[from->second]) walk(from->second);
    }
  };
  walk(0);
  std::vector<uint32_t> expected(e.size());
  std::iota(expected.begin(), expected.end(), 0u);
  EXPECT_EQ(order, expected);
  return derived;
}

}  // namespace

TEST(proof, future_debug_texts) {
  EXPECT_EQ(ProofFuture{}.debug(), "Waiting { expanded: false, notify: [] }");
  EXPECT_EQ((ProofFuture{ProofFuture::Waiting{true, {{1, 2}, {3, 4}}}}).debug(),
            "Waiting { expanded: true, notify: [(1, 2), (3, 4)] }");
  EXPECT_EQ(ProofFuture::leaf().debug(), "Result(None)");
  EXPECT_EQ((ProofFuture{ProofFuture::Result{std::pair<uint64_t, uint64_t>(5, 18446744073709551615ull)}}).debug(),
            "Result(Some((5, 18446744073709551615)))");
}

TEST(proof, display_and_order) {
  const IdentityCirc hh = canonical({h(0), h(0)});
  const IdentityCirc ss = canonical({s(0), s(0), s(0), s(0)});
  EXPECT_EQ((Proof{{{hh, std::nullopt}}}.display()), "0: Identity { h(0) h(0) (0) } <- ASSUME\n");
  EXPECT_EQ((Proof{{{ss, std::pair(1u, 1u)}, {hh, std::nullopt}}}.display()),
            "0: " + ss.display() + " <- 1, 1\n1: Identity { h(0) h(0) (0) } <- ASSUME\n");
  EXPECT_EQ(Proof{}.display(), "");
  // Identity first; no pair before a pair; pairs by first, then second index; a prefix is smaller.
  const std::vector<Proof> ascending = {
      Proof{},
      Proof{{{hh, std::nullopt}}},
      Proof{{{hh, std::nullopt}, {hh, std::nullopt}}},
      Proof{{{hh, std::pair(0u, 7u)}}},
      Proof{{{hh, std::pair(1u, 0u)}}},
      Proof{{{ss, std::nullopt}}},
  };
  for (size_t i = 0; i < ascending.size(); ++i)
    for (size_t j = 0; j < ascending.size(); ++j) EXPECT_EQ(ascending[i] <=> ascending[j], i <=> j) << i << " " << j;
}

TEST(proof, every_identity_of_generated_provers_exports_a_sound_proof) {
  for (const IdentityProver* p : {&h_cx_prover(), &h_s_cx_prover()}) {
    size_t proofs = 0, derived = 0, largest = 0;
    for (const IdentityCirc& id : testing::sorted_proved(*p)) {
      std::optional<Proof> proof = quiet_export(*p, id, 2, 10000);
      bool proved = !p->prove_identity(id, 2, 10000);
      ASSERT_EQ(proof.has_value(), proved) << id.display();
      if (!proof) continue;
      ++proofs;
      derived += check_proof(*p, id, 2, *proof);
      largest = std::max(largest, proof->entries.size());
    }
    EXPECT_GT(proofs, 0u);
    EXPECT_GT(derived, 0u);
    EXPECT_GT(largest, 2u);
  }
}

TEST(proof, leaves_give_single_entry_proofs) {
  const IdentityProver& p = h_s_cx_prover();
  ASSERT_FALSE(p.assume.empty());
  // An assumption that the prover's own search proves (it meets an established identity).
  bool found = false;
  for (const IdentityCirc& a : p.assume) {
    if (p.prove_identity(a, 2, 10000)) continue;
    std::string out;
    std::optional<Proof> proof = quiet_export(p, a, 2, 10000, &out);
    ASSERT_TRUE(proof);
    EXPECT_EQ(*proof, (Proof{{{a, std::nullopt}}}));
    EXPECT_THAT(proof->display(), ::testing::EndsWith(" <- ASSUME\n"));
    EXPECT_EQ(out, "");
    found = true;
    break;
  }
  EXPECT_TRUE(found);
  // The empty identity is proved at once and is a leaf.
  std::string out;
  std::optional<Proof> proof = quiet_export(p, IdentityCirc::empty(), 2, 10000, &out);
  ASSERT_TRUE(proof);
  EXPECT_EQ(proof->display(), "0: Identity { () } <- ASSUME\n");
  EXPECT_EQ(out, "");
}

TEST(proof, unprovable_identity_gives_none_and_writes_nothing) {
  // {s, t t} gives rules but no identity: nothing proves s s s s s s s s within the limits.
  IdentityProver p;
  p.circ_map[Circ::make({s(0)}, Permut32::identity(1))] = {
      Circ::make({testing::t(0), testing::t(0)}, Permut32::identity(1))};
  const IdentityCirc s8 = canonical({s(0), s(0), s(0), s(0), s(0), s(0), s(0), s(0)});
  std::string out = "unset";
  EXPECT_EQ(quiet_export(p, s8, 1, 100, &out), std::nullopt);
  EXPECT_EQ(out, "");
}

TEST(proof, progress_lines_and_the_count_limit) {
  const IdentityProver& p = h_s_cx_prover();
  // The longest derived (not assumed) identity: its proof needs several identities in the tracker.
  std::optional<IdentityCirc> target;
  for (const IdentityCirc& id : testing::sorted_proved(p))
    if (std::find(p.assume.begin(), p.assume.end(), id) == p.assume.end() && !p.prove_identity(id, 2, 10000))
      target = id;
  ASSERT_TRUE(target);
  std::string out;
  std::optional<Proof> proof = quiet_export(p, *target, 2, 10000, &out);
  ASSERT_TRUE(proof);
  ASSERT_GT(proof->entries.size(), 1u);
  const auto line = ::testing::MatchesRegex(R"(Exploring [0-9a-f]+ [0-9]+ Identity [{] .* [}] [(][0-9]+ queued[)])");
  std::istringstream lines(out);
  std::string first;
  std::getline(lines, first);
  EXPECT_EQ(first.rfind(
                fmt::format("Exploring {:x} {} {} (", target->hash_value(), target->circ.len(), target->display()), 0),
            0u)
      << first;
  for (std::string l = first; !l.empty() || std::getline(lines, l); l.clear()) EXPECT_THAT(l, line);
  // An identity whose search meets an established one at once is proved with no room at all; the
  // proof search then holds more identities (the target) than the limit allows and gives up.
  std::optional<IdentityCirc> quick;
  for (const IdentityCirc& id : testing::sorted_proved(p))
    if (std::find(p.assume.begin(), p.assume.end(), id) == p.assume.end() && !p.prove_identity(id, 2, 0)) quick = id;
  ASSERT_TRUE(quick);
  EXPECT_THAT([&] { quiet_export(p, *quick, 2, 0, &out); }, Stops("Failed to export proof for proved identity"));
  EXPECT_EQ(out, "Proof search exceeded limit of 0 states.\n");
}

namespace {

/// A tracker of `n` identities with random notify lists and results; hashes come from the table.
struct RandomTracker {
  ProofTracker tracker;
  std::vector<uint64_t> hashes;

  RandomTracker(size_t n, uint32_t seed, double resolved) {
    std::mt19937 rng(seed);
    for (size_t k = 0; k < n; ++k)
      hashes.push_back(
          tracker.table().insert(IdentityCirc::as_read(Circ{{}, Permut32::from_raw(uint32_t(k))}), {}).first);
    for (size_t k = 0; k < n; ++k) {
      ProofFuture& f = tracker.table().address_mut(hashes[k])->value;
      if (std::uniform_real_distribution<>(0, 1)(rng) < resolved) {
        f = rng() % 3 == 0 ? ProofFuture::leaf()
                           : ProofFuture{ProofFuture::Result{std::pair(hashes[rng() % n], hashes[rng() % n])}};
      } else {
        auto& notify = f.waiting()->notify;
        for (size_t d = rng() % 4; d > 0; --d) notify.emplace_back(hashes[rng() % n], hashes[rng() % n]);
      }
    }
  }
};

/// The walks as plain recursions, for comparison.
bool check_reach_recursive(const ProofTracker& t, uint64_t key, uint64_t root, absl::flat_hash_set<uint64_t>& seen,
                           std::vector<uint64_t>& order) {
  if (key == root) return true;
  const auto* e = t.table().address(key);
  if (!e || !e->second.waiting()) return false;
  for (const auto& [other, dependent] : e->second.waiting()->notify) {
    bool fresh = seen.insert(dependent).second;
    if (fresh) order.push_back(dependent);
    if (fresh && check_reach_recursive(t, dependent, root, seen, order)) return true;
  }
  return false;
}

void export_inner_recursive(const ProofTracker& t, uint64_t key, std::vector<uint64_t>& order) {
  order.push_back(key);
  const auto* e = t.table().address(key);
  const ProofFuture::Result* r = e ? e->second.result() : nullptr;
  if (!r || !r->from) return;
  if (std::find(order.begin(), order.end(), r->from->first) == order.end())
    export_inner_recursive(t, r->from->first, order);
  if (std::find(order.begin(), order.end(), r->from->second) == order.end())
    export_inner_recursive(t, r->from->second, order);
}

bool notify_recursive(ProofTracker::Table& t, uint64_t a, uint64_t b, uint64_t key) {
  for (uint64_t h : {a, b}) {
    const auto* e = t.address(h);
    if (!e || !e->second.result()) return false;
  }
  auto slot = t.address_mut(key);
  if (!slot || !slot->value.waiting()) return false;
  auto list = std::move(slot->value.waiting()->notify);
  slot->value = ProofFuture{ProofFuture::Result{std::pair(a, b)}};
  for (const auto& [other, dependent] : list) notify_recursive(t, key, other, dependent);
  return true;
}

}  // namespace

TEST(proof, walks_visit_in_the_order_of_their_recursions) {
  for (uint32_t seed = 0; seed < 40; ++seed) {
    RandomTracker r(60, seed, seed % 2 ? 0.3 : 0.7);
    const auto& hs = r.hashes;
    for (size_t k = 0; k < 10; ++k) {
      uint64_t key = hs[(seed + k * 7) % hs.size()], root = hs[(seed * 3 + k) % hs.size()];
      ProofTracker::HashSet seen{key};
      absl::flat_hash_set<uint64_t> expected_seen{key};
      std::vector<uint64_t> order;
      bool expected = check_reach_recursive(r.tracker, key, root, expected_seen, order);
      EXPECT_EQ(r.tracker.check_reach(key, root, seen), expected);
      EXPECT_EQ(seen.size(), expected_seen.size());
      for (uint64_t h : order) EXPECT_TRUE(seen.contains(h));
      EXPECT_EQ(r.tracker.prune(key, root), expected);

      ProofTracker::IndexMap map;
      r.tracker.export_inner(key, map);
      std::vector<uint64_t> pre;
      export_inner_recursive(r.tracker, key, pre);
      ASSERT_EQ(map.size(), pre.size());
      for (size_t i = 0; i < pre.size(); ++i) EXPECT_EQ(map.at(pre[i]), i);
    }
    // notify: the same resolutions, in the same order (the pairs record who completed them).
    RandomTracker copy(60, seed, seed % 2 ? 0.3 : 0.7);
    for (size_t k = 0; k < 20; ++k) {
      uint64_t a = hs[(seed + k) % hs.size()], b = hs[(seed * 5 + k) % hs.size()], key = hs[(k * 11) % hs.size()];
      EXPECT_EQ(r.tracker.notify(a, b, key), notify_recursive(copy.tracker.table(), a, b, key));
    }
    for (uint64_t h : hs) EXPECT_EQ(r.tracker.table().address(h)->second, copy.tracker.table().address(h)->second);
  }
}

TEST(proof, deep_chains_do_not_exhaust_the_stack) {
  // A chain of a million waiting identities, each the dependent of the one before, then resolved
  // from its start: the reachability test, the propagation and the export walk it to the end.
  constexpr size_t n = 1000000;
  ProofTracker t;
  std::vector<uint64_t> hs;
  hs.reserve(n + 1);
  for (size_t k = 0; k <= n; ++k)
    hs.push_back(t.table().insert(IdentityCirc::as_read(Circ{{}, Permut32::from_raw(uint32_t(k))}), {}).first);
  const uint64_t leaf = hs[n];
  t.table().address_mut(leaf)->value = ProofFuture::leaf();
  for (size_t k = 0; k + 1 < n; ++k)
    t.table().address_mut(hs[k])->value.waiting()->notify.emplace_back(leaf, hs[k + 1]);
  EXPECT_TRUE(t.prune(hs[0], hs[n - 1]));
  EXPECT_FALSE(t.prune(hs[1], hs[0]));
  EXPECT_TRUE(t.notify(leaf, leaf, hs[0]));
  EXPECT_EQ(t.table().address(hs[n - 1])->second, (ProofFuture{ProofFuture::Result{std::pair(hs[n - 2], leaf)}}));
  std::vector<ProofEntry> proof = t.export_(hs[n - 1]);
  ASSERT_EQ(proof.size(), n + 1);
  // Down the chain first; the leaf comes last, below the chain's start.
  EXPECT_EQ(proof[0].from, std::pair(1u, uint32_t(n)));
  EXPECT_EQ(proof[n - 1].from, std::pair(uint32_t(n), uint32_t(n)));
  EXPECT_EQ(proof[n].from, std::nullopt);
}

}  // namespace morvane
