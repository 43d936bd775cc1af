#include "morvane/search/cross_check.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "morvane/core/fmt_join.h"
#include "morvane/core/pool.h"
#include "morvane/search/evaluator.h"
#include "morvane/search/search.h"
#include "morvane/state/order_info.h"
#include "morvane/testing/circuits.h"

namespace morvane {

using ::testing::HasSubstr;
using testing::instr;
using ::testing::StartsWith;
using testing::Stops;

namespace {

using Circuit = CircuitInstrs;

Evaluator make(uint32_t n, uint8_t seed) {
  ChaCha12Rng rng = testing::seeded(seed);
  return Evaluator::from_random(n, rng);
}

Permut32 P(std::vector<uint8_t> v) { return Permut32::from_iter(v); }

const Instr32 h0 = instr(gates::H(), {0}), h1 = instr(gates::H(), {1}), t0 = instr(gates::T(), {0}),
              t1 = instr(gates::T(), {1}), x1 = instr(gates::X(), {1}), cx01 = instr(gates::CX(), {0, 1});

std::string text(std::span<const Instr32> c) { return fmt::format("{}", fjoin(c, " ")); }

/// n copies of t(0).
Circuit ts(size_t n) { return Circuit(n, t0); }

/// The maps of one evaluator's searches, made once: h, t, cx on 3 qubits up to sizes 3 and 4.
struct Searches {
  Evaluator e = make(3, 7);
  std::shared_ptr<const RawECCs> small =
      std::make_shared<RawECCs>(generate(e, {gates::H(), gates::T(), gates::CX()}, 3).map);
  std::shared_ptr<const RawECCs> large =
      std::make_shared<RawECCs>(generate(e, {gates::H(), gates::T(), gates::CX()}, 4).map);
};
const Searches& searches() {
  static const Searches s;
  return s;
}

/// The state of `circuit` applied to `start`, phase-normalised.
StateVec run(const StateVec& start, std::span<const Instr32> circuit) {
  StateVec s = start;
  for (Instr32 i : circuit) s.apply(i);
  s.normalize_arg();
  return s;
}

/// Exact maps' classes, for comparing two maps key by key.
std::map<uint64_t, size_t> triple_counts(const RawECCs& map) {
  std::map<uint64_t, size_t> out;
  for (const auto& [key, c] : map.inner()) out[key] = c.num_circuits();
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Reductions

struct FrontCase {
  Circuit c1, c2;
  uint64_t mask1, mask2;
};

TEST(cross_check, reduce_equivalence_front_clears_matching_front_gates_pass_after_pass) {
  const FrontCase cases[] = {
      {{}, {}, 0, 0},                          // one pass, nothing to match
      {{h0, t1}, {h0, x1}, 0b10, 0b10},        // same first instruction: bit 0 of both
      {{h0, t1}, {t1, h0}, 0, 0},              // disjoint gates in either order
      {{h0, t0}, {h0, t0}, 0, 0},              // t(0) becomes a front gate in the second pass
      {{h0, t0}, {t0, h0}, 0b11, 0b11},        // same gates, no common front gate
      {{cx01, h0}, {h1, cx01}, 0b11, 0b11},    // cx(0, 1) is not in front on the right
      {{cx01, h0, h1}, {cx01, h1, h0}, 0, 0},  // cx first, then both h in the second pass
      {{h0, h0}, {h0}, 0b10, 0},               // the repeat is left on the longer side
  };
  for (const FrontCase& c : cases) {
    auto [m1, m2] = reduce_equivalence_front(c.c1, c.c2);
    EXPECT_EQ(m1, c.mask1) << text(c.c1) << " | " << text(c.c2);
    EXPECT_EQ(m2, c.mask2) << text(c.c1) << " | " << text(c.c2);
  }
}

struct RetainCase {
  Circuit circ;
  uint64_t front, back;
  Circuit kept;
};

TEST(cross_check, retain_by_masks_keeps_what_both_masks_keep) {
  const RetainCase cases[] = {
      {{h0, t0, x1}, 0b111, 0b111, {h0, t0, x1}},  // full masks: nothing removed
      {{h0, t0, x1}, 0b110, 0b111, {t0, x1}},      // front bit 0: the first instruction
      {{h0, t0, x1}, 0b111, 0b110, {h0, t0}},      // back bit 0: the last instruction
      {{h0, t0, x1}, 0b011, 0b011, {t0}},          // one from each end
      {{h0, t0, x1}, 0b101, 0b101, {h0, x1}},      // the middle one, cleared in both masks, counts once
      {{}, 0, 0, {}},
  };
  for (const RetainCase& c : cases) {
    Circuit circ = c.circ;
    EXPECT_EQ(retain_by_masks(circ, c.front, c.back), c.circ.size() - c.kept.size());
    EXPECT_EQ(circ, c.kept);
  }
}

TEST(cross_check, reduce_equivalence_removes_common_ends_on_both_sides) {
  Permut32 id = Permut32::identity(2), sw = P({1, 0});
  // [a, b] and [b, a] on disjoint qubits: both instructions go from both sides.
  Circuit a{h0, t1}, b{t1, h0};
  EXPECT_EQ(reduce_equivalence(a, id, b, id), 2u);
  EXPECT_TRUE(a.empty() && b.empty());
  // Back gates are read on the output qubits: h(0) before the swap is h(1) at the end.
  Circuit c{h0}, d{h1};
  EXPECT_EQ(reduce_equivalence(c, sw, d, id), 1u);
  EXPECT_TRUE(c.empty() && d.empty());
  // Nothing in common: nothing removed, the permutations never change anything.
  Circuit e{h0}, f{t0};
  EXPECT_EQ(reduce_equivalence(e, id, f, id), 0u);
  EXPECT_EQ(e, Circuit{h0});
  // Different numbers removed from the two sides stop with the four masks in base 2.
  Circuit g{h0}, h{h0, h0};
  EXPECT_THAT([&] { reduce_equivalence(g, id, h, id); }, Stops("mask1f: 0, mask1b: 0, mask2f: 10, mask2b: 10"));
}

TEST(cross_check, masks_hold_63_instructions_and_longer_circuits_stop) {
  const std::string too_long = "instruction masks hold at most 63 instructions, but a circuit of 64 reached them";
  Circuit longest = ts(63);
  auto [m1, m2] = reduce_equivalence_front(longest, longest);
  EXPECT_EQ(m1, 0u);
  EXPECT_EQ(m2, 0u);
  Circuit kept = longest;
  EXPECT_EQ(retain_by_masks(kept, ~uint64_t(0) >> 1, ~uint64_t(0) >> 1), 0u);
  Circuit over = ts(64);
  EXPECT_THAT([&] { reduce_equivalence_front(over, longest); }, Stops(too_long));
  EXPECT_THAT([&] { reduce_equivalence_front(longest, over); }, Stops(too_long));
  EXPECT_THAT([&] { retain_by_masks(over, ~uint64_t(0), ~uint64_t(0)); }, Stops(too_long));
  Circuit other = ts(64);
  EXPECT_THAT([&] { reduce_equivalence(over, Permut32::identity(1), other, Permut32::identity(1)); }, Stops(too_long));
  EXPECT_EQ(over, ts(64));  // nothing removed before the stop
}

// ---------------------------------------------------------------------------------------------
// Queries

TEST(cross_check, find_equivalents_gives_members_on_the_query_qubits) {
  const Searches& s = searches();
  const RawECCs& map = *s.small;
  ChaCha12Rng rng = testing::seeded(3);
  StateVec start = StateVec::from_random(rng, 3);
  reserve_state_vec_cache(3);
  const Circuit queries[] = {
      {},
      {h0, h0},
      {t1, h0},
      {h1, cx01, h1},
      {instr(gates::CX(), {1, 2}), instr(gates::CX(), {2, 1}), instr(gates::CX(), {1, 2})},  // a swap
      {instr(gates::H(), {2}), instr(gates::CX(), {2, 0}), instr(gates::T(), {0})},
  };
  for (const Circuit& q : queries) {
    std::optional<ECC> found = find_equivalents(map, s.e, q);
    ASSERT_TRUE(found.has_value()) << text(q);
    // Each member followed by its permutation acts as the query does.
    StateVec want = run(start, q);
    for (const PermutedCircuit& m : found->circuits) {
      StateVec got = run(start, m.instrs);
      got.apply_permutation(m.perm);
      EXPECT_TRUE(got.loose_eq(want)) << text(q) << " as " << text(m.instrs) << " " << m.perm.to_string();
    }
  }
  // The empty circuit's class holds the identities, among them h h on each qubit.
  EXPECT_GT(find_equivalents(map, s.e, {})->circuits.size(), 3u);
  // A circuit longer than the search reached, in a class of its own: not there.
  EXPECT_FALSE(find_equivalents(map, s.e, Circuit{h0, t0, h0, t0, h0}).has_value());
}

TEST(cross_check, compute_next_key_follows_the_first_circuit) {
  const Searches& s = searches();
  const RawECCs& map = *s.small;
  std::vector<Instr32> candidates = generator_placements({gates::H(), gates::T(), gates::CX()}, 3);
  size_t answered = 0;
  for (const auto& [key, c] : map.inner()) {
    std::vector<Instr32> first = map.arena().to_vec(c.circuit(map, 0).circ);
    for (Instr32 i : candidates) {
      std::vector<Instr32> next = first;
      next.push_back(i);
      uint64_t want = s.e.evaluate(next).key.hash_value();
      std::optional<uint64_t> got = compute_next_key(map, s.e, key, i);
      // Every class short enough to be expanded reaches a class for every candidate.
      if (first.size() < 3) {
        ASSERT_TRUE(got.has_value());
      }
      if (got) {
        EXPECT_EQ(*got, want);
        ++answered;
      } else {
        EXPECT_EQ(map.find(want), nullptr);
      }
    }
  }
  EXPECT_GT(answered, map.inner().size());
  EXPECT_FALSE(compute_next_key(map, s.e, s.e.initial_key() ^ 1, h0).has_value());
}

// ---------------------------------------------------------------------------------------------
// Switching evaluators

TEST(cross_check, switch_under_the_building_evaluator_reproduces_every_key) {
  const Searches& s = searches();
  RawECCs same = switch_evaluator(s.large, s.e);
  EXPECT_EQ(triple_counts(same), triple_counts(*s.large));
  EXPECT_FALSE(same.drop());
  for (const auto& [key, c] : same.inner()) {
    EXPECT_TRUE(c.front_gates(same).empty() && c.back_gates(same).empty());
    // The source's very triples: its cells, with the pairs they were recorded under.
    const CircuitECC& src = *s.large->find(key);
    EXPECT_EQ(c.circuits(same), src.circuits(*s.large));
    EXPECT_EQ(c.size(same), src.size(*s.large));
  }
  EXPECT_EQ(same.simplify(), s.large->simplify());
}

TEST(cross_check, switch_under_a_fresh_evaluator_keeps_every_class_together) {
  const Searches& s = searches();
  Evaluator fresh = make(3, 99);
  RawECCs other = switch_evaluator(s.large, fresh);
  ASSERT_EQ(other.inner().size(), s.large->inner().size());
  std::map<std::pair<size_t, size_t>, size_t> want, got;
  for (const ECC& c : s.large->simplify().eccs) ++want[{c.circuits.size(), c.circuits[0].instrs.size()}];
  for (const ECC& c : other.simplify().eccs) ++got[{c.circuits.size(), c.circuits[0].instrs.size()}];
  EXPECT_EQ(got, want);
  // Every stored circuit has its new key under the fresh evaluator, with one of its pairs there;
  // a circuit stored under several pairs keeps distinct ones.
  size_t repeats = 0;
  for (const auto& [key, c] : other.inner()) {
    std::vector<CircTriple> triples = c.circuits(other);
    for (size_t k = 0; k < triples.size(); ++k) {
      std::vector<Instr32> circ = other.arena().to_vec(triples[k].circ);
      Evaluator::Result r = fresh.evaluate_multiple(circ);
      EXPECT_EQ(r.key.hash_value(), key);
      std::vector<PermPair> pairs = r.pairs.to_vec();
      PermPair stored{triples[k].front_perm, triples[k].back_perm};
      EXPECT_NE(std::find(pairs.begin(), pairs.end(), stored), pairs.end());
      for (size_t j = 0; j < k; ++j)
        if (other.arena().to_vec(triples[j].circ) == circ) {
          ++repeats;
          EXPECT_FALSE(triples[j].front_perm == stored.first && triples[j].back_perm == stored.second);
        }
    }
  }
  EXPECT_GT(repeats, 0u);
  // The switched map serves as `ecc1` under its evaluator, for itself and for a search.
  check_identity_subset(other, other, fresh);
  check_identity_subset(generate(fresh, {gates::H(), gates::T(), gates::CX()}, 3).map, other, fresh);
}

TEST(cross_check, switched_maps_outlive_their_sources_in_a_chain) {
  Evaluator e = make(2, 5), e2 = make(2, 6), e3 = make(2, 8);
  auto source = std::make_shared<RawECCs>(generate(e, {gates::H(), gates::T(), gates::CX()}, 4).map);
  const ECCs want = source->simplify();
  auto first = std::make_shared<RawECCs>(switch_evaluator(source, e));
  auto second = std::make_shared<RawECCs>(switch_evaluator(first, e2));
  auto third = std::make_shared<RawECCs>(switch_evaluator(second, e3));
  const ECCs second_view = second->simplify(), third_view = third->simplify();
  std::weak_ptr<const RawECCs> watch = source;
  source.reset();
  first.reset();
  EXPECT_FALSE(watch.expired());  // kept by the chain
  EXPECT_EQ(second->simplify(), second_view);
  second.reset();
  EXPECT_FALSE(watch.expired());
  EXPECT_EQ(third->simplify(), third_view);
  check_identity_subset(*third, *third, e3);
  // Every class of the search is found again, whole, under the last evaluator.
  ASSERT_EQ(third_view.eccs.size(), want.eccs.size());
  for (const ECC& c : want.eccs) {
    std::optional<ECC> found = find_equivalents(*third, e3, c.circuits[0].instrs);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->circuits.size(), c.circuits.size());
  }
  third.reset();
  EXPECT_TRUE(watch.expired());  // the last map of the chain released the cells' owner
}

TEST(cross_check, switch_stops_when_classes_split_or_meet) {
  Evaluator e = make(2, 5);
  Permut32 id = Permut32::identity(2);
  std::vector<Instr32> universe{h0, t0, cx01};
  // Two circuits of different unitaries in one class.
  auto split = std::make_shared<RawECCs>(2, nullptr);
  split->prepare(universe);
  split->add_entry(1, id, id, AliasList::nil(), Circuit{h0});
  split->add_entry(1, id, id, AliasList::nil(), Circuit{t0});
  EXPECT_THAT([&] { switch_evaluator(split, e); }, Stops("Inconsistent ECC detected during evaluator switch"));
  // The naive search tells h(0) from h(1); under the evaluator they meet.
  auto naive = std::make_shared<RawECCs>(generate_naive(e, {gates::H()}, 1).map);
  EXPECT_THAT([&] { switch_evaluator(naive, e); },
              Stops(StartsWith("Hash collision detected during evaluator switch: CircuitECC { size: 1, front_gates: "
                               "{}, back_gates: {}, circuits: [")));
  // A class that meets the source's own empty-circuit class is a collision too: discarding that
  // class would lose its circuits.
  auto identity = std::make_shared<RawECCs>(e);
  identity->prepare(universe);
  auto l = identity->add_entry(2, id, id, AliasList::nil(), Circuit{h0});
  identity->add_entry(3, id, id, *l, Circuit{h0, h0});
  EXPECT_THAT([&] { switch_evaluator(identity, e); },
              Stops(HasSubstr("vs CircuitECC { size: 2, front_gates: {h(0)}, back_gates: {h(0)}")));
  EXPECT_EQ(identity->inner().size(), 3u);  // the source is untouched
}

// ---------------------------------------------------------------------------------------------
// The identity subset check

TEST(cross_check, check_identity_subset_passes_within_one_evaluator) {
  const Searches& s = searches();
  check_identity_subset(*s.small, *s.small, s.e);
  check_identity_subset(*s.large, *s.large, s.e);
  check_identity_subset(*s.small, *s.large, s.e);
  // A map made by the Python constructor: the empty circuit's class alone.
  check_identity_subset(RawECCs(s.e), *s.small, s.e);
}

TEST(cross_check, check_identity_subset_stops_on_a_class_it_cannot_represent) {
  const Searches& s = searches();
  const std::string missing = "assertion failed: ecc1.contains_key(&bv.hash_value())";
  // x(0) has no class among the circuits of h, t and cx up to 3 gates; nor has anything under
  // another evaluator.
  RawECCs other_gates = generate(s.e, {gates::H(), gates::X(), gates::CX()}, 1).map;
  EXPECT_THAT([&] { check_identity_subset(other_gates, *s.small, s.e); }, Stops(missing));
  EXPECT_THAT([&] { check_identity_subset(*s.small, *s.small, make(3, 8)); }, Stops(missing));
  // Longer searches meet their identities first, in the empty circuit's class: x(0) x(0) reaches
  // that class in ecc1, whose members share no end gate with it.
  RawECCs longer_other = generate(s.e, {gates::H(), gates::X(), gates::CX()}, 3).map;
  EXPECT_THAT([&] { check_identity_subset(longer_other, *s.small, s.e); },
              Stops(StartsWith("No equivalence found during export_equivalence:  (0 1 2), ")));
  EXPECT_THAT([&] { check_identity_subset(*s.large, *s.small, s.e); }, Stops());
}

namespace {

/// A map keyed like `self` whose every class but the empty circuit's holds one unrelated circuit:
/// a gate of its own, so that each class's failure has its own message.
RawECCs unrelated_classes(const RawECCs& self, const Evaluator& e) {
  RawECCs out(e);
  std::vector<Instr32> members;
  size_t k = 0;
  for (const auto& [key, c] : self.inner()) {
    if (key == e.initial_key()) continue;
    CMatrix m(2, 2);
    m(0, 0) = Complex{1.0, 0.0};
    m(1, 1) = Complex{std::cos(0.001 * double(++k)), std::sin(0.001 * double(k))};
    members.push_back(Instr32::make(Gate16::make(fmt::format("unrelated{}", k), {}, m), std::vector<uint8_t>{2}));
  }
  out.prepare(members);
  k = 0;
  for (const auto& [key, c] : self.inner())
    if (key != e.initial_key())
      out.add_entry(key, Permut32::identity(3), Permut32::identity(3), AliasList::nil(), Circuit{members[k++]});
  return out;
}

}  // namespace

// Runs in child processes started by the test below, with the pool size set.
TEST(cross_check, DISABLED_child_first_failure) {
  const Searches& s = searches();
  RawECCs wrong = unrelated_classes(*s.large, s.e);
  // The first class in map order that fails, checked one class after another.
  std::string first;
  for (const auto& [key, c] : s.large->inner()) {
    try {
      for (const PermutedCircuit& p : c.simplify(*s.large).circuits) checked_equivalent(wrong, p.instrs, p.perm, s.e);
    } catch (const Panic& p) {
      first = p.what();
      break;
    }
  }
  ASSERT_THAT(first, StartsWith("No equivalence found during export_equivalence: "));
  EXPECT_THAT([&] { check_identity_subset(*s.large, wrong, s.e); }, Stops(first));
  std::printf("first failure: %s\n", first.c_str());
}

TEST(cross_check, first_failure_is_the_same_for_1_and_8_threads) {
  std::string failures[2];
  int k = 0;
  for (const char* n : {"1", "8"}) {
    testing::ChildResult r =
        testing::run_test_in_child("cross_check.DISABLED_child_first_failure", {std::string("RAYON_NUM_THREADS=") + n});
    ASSERT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) << r.output;
    size_t at = r.output.find("first failure: ");
    ASSERT_NE(at, std::string::npos) << r.output;
    failures[k++] = r.output.substr(at, r.output.find('\n', at) - at);
  }
  EXPECT_EQ(failures[0], failures[1]);
}

}  // namespace morvane
