#include "morvane/search/ecc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "morvane/testing/circuits.h"

namespace morvane {

TEST(ecc, order_compares_circuits_in_turn) {
  Instr32 h0 = Instr32::make(gates::H(), std::vector<uint8_t>{0});
  Instr32 cx01 = Instr32::make(gates::CX(), std::vector<uint8_t>{0, 1});
  PermutedCircuit a{{cx01}, Permut32::identity(2)};
  PermutedCircuit b{{h0}, Permut32::identity(2)};
  EXPECT_LT((ECC{{a}}), (ECC{{a, b}}));
  EXPECT_LT((ECC{{a, b}}), (ECC{{b}}));
  EXPECT_NE((ECCs{{ECC{{a}}}, 2}), (ECCs{{ECC{{a}}}, 3}));
}

namespace {
Instr32 h(uint8_t q) { return Instr32::make(gates::H(), std::vector<uint8_t>{q}); }
Permut32 P(std::vector<uint8_t> v) { return Permut32::from_iter(v); }
using testing::Stops;
}  // namespace

TEST(ecc, display_materializes_permutations_as_swaps) {
  ECC e{{{{h(0)}, P({0, 1})}, {{h(1)}, P({1, 0})}}};
  EXPECT_EQ(e.display(), "ECC {\n\th(0),\n\th(1) swap(0, 1),\n}");
  ECC single{{{{h(0)}, P({0, 1})}}};
  EXPECT_EQ((ECCs{{single, e, single, e}, 2}).display(), e.display() + " & " + e.display());
  EXPECT_EQ((ECCs{{single}, 2}).display(), "");
}

TEST(ecc, materialized_swaps_come_from_the_first_permutation) {
  // All pairs on one permutation: bare instruction lists.
  ECC same{{{{h(0)}, P({2, 0, 1})}, {{h(1), h(2)}, P({2, 0, 1})}}};
  EXPECT_EQ(same.materialized(), (std::vector<std::vector<Instr32>>{{h(0)}, {h(1), h(2)}}));
  // (1 2 0) relative to the identity sorts with the exchanges (0, 2) then (1, 2).
  ECC e{{{{}, Permut32::identity(3)}, {{h(0)}, P({1, 2, 0})}}};
  Instr32 s02 = Instr32::make(gates::SWAP(), std::vector<uint8_t>{0, 2});
  Instr32 s12 = Instr32::make(gates::SWAP(), std::vector<uint8_t>{1, 2});
  EXPECT_EQ(e.materialized()[1], (std::vector<Instr32>{h(0), s02, s12}));
  EXPECT_EQ(with_swaps(std::vector<Instr32>{h(0)}, P({1, 2, 0})), e.materialized()[1]);
}

TEST(ecc, simplify_permute_rebases_on_the_first_pair) {
  ECC e{{{{h(0)}, P({1, 2, 0})}, {{h(1)}, P({2, 0, 1})}}};
  ECC r = ECC(e).simplify_permute();
  EXPECT_TRUE(r.circuits[0].perm.is_identity());
  EXPECT_EQ(r.circuits[1].perm, P({1, 2, 0}).inv() * P({2, 0, 1}));
  EXPECT_EQ(r.circuits[1].instrs, e.circuits[1].instrs);
}

TEST(ecc, empty_class_stops_with_the_index_message) {
  const std::string msg = "index out of bounds: the len is 0 but the index is 0";
  EXPECT_THAT([] { ECC{}.display(); }, Stops(msg));
  EXPECT_THAT([] { ECC{}.materialized(); }, Stops(msg));
  EXPECT_THAT([] { ECC{}.simplify_permute(); }, Stops(msg));
  EXPECT_THAT([] { ECC{}.at(0); }, Stops(msg));
}

TEST(ecc, check_returns_the_classes_whose_circuits_differ) {
  Instr32 x0 = Instr32::make(gates::X(), std::vector<uint8_t>{0});
  Instr32 z0 = Instr32::make(gates::Z(), std::vector<uint8_t>{0});
  ECC good{{{{h(0), h(0)}, Permut32::identity(2)}, {{}, Permut32::identity(2)}}};
  // swap(0, 1) followed by the SWAP of its trailing permutation is the identity.
  Instr32 s01 = Instr32::make(gates::SWAP(), std::vector<uint8_t>{0, 1});
  ECC swapped{{{{}, Permut32::identity(2)}, {{s01}, P({1, 0})}}};
  ECC bad{{{{x0}, Permut32::identity(2)}, {{z0}, Permut32::identity(2)}}};
  ECC single{{{{x0}, Permut32::identity(2)}}};
  ECCs all{{good, bad, swapped, single, bad}, 2};
  EXPECT_EQ(all.check(), (std::vector<ECC>{bad, bad}));
  EXPECT_THAT(([] { ECCs{{ECC{}}, 1}.check(); }), Stops("index out of bounds: the len is 0 but the index is 0"));
}

TEST(ecc, filter_single_keeps_classes_of_several_circuits) {
  ECC single{{{{h(0)}, P({0, 1})}}};
  ECC pair{{{{h(0)}, P({0, 1})}, {{h(1)}, P({1, 0})}}};
  ECCs all{{single, pair, single}, 2};
  EXPECT_EQ(all.filter_single(), (ECCs{{pair}, 2}));
  ECCs none = ECCs{{single}, 3}.filter_single();
  EXPECT_TRUE(none.eccs.empty());
  EXPECT_EQ(none.nqubits, 3u);
}

namespace {

/// Random circuits from a small pool of instructions, so that classes share long prefixes and
/// repeat; a few with wide qubit bytes and large gate indices, lengths past any fixed prefix.
struct RandomCircuits {
  std::mt19937_64 rng;
  bool wide;

  Instr32 instr() {
    const uint16_t gates[] = {gates::H().index, gates::T().index, gates::CX().index, 3, 40000};
    uint8_t a = uint8_t(rng() % 4), b = uint8_t((a + 1 + rng() % 3) % 4);
    if (wide && rng() % 16 == 0) a = uint8_t(200 + rng() % 50);
    Gate16 g(gates[rng() % (wide ? 5 : 3)]);
    return Instr32{g, QArgs16{{a, rng() % 3 == 0 ? b : QArgs16::kEmpty}}};
  }
  /// Every instruction instr() can make, and the one circuit() adds.
  std::vector<Instr32> all_instrs() const {
    const uint16_t gates[] = {gates::H().index, gates::T().index, gates::CX().index, 3, 40000};
    std::vector<Instr32> out{Instr32{gates::H(), QArgs16{{0, 0xFF}}}};
    for (uint16_t g : gates)
      for (int a = 0; a < 250; ++a)
        for (int b = 0; b <= 4; ++b)
          if ((a < 4 || (wide && a >= 200)) && b != a)
            out.push_back(Instr32{Gate16(g), QArgs16{{uint8_t(a), b == 4 ? QArgs16::kEmpty : uint8_t(b)}}});
    return out;
  }
  PermutedCircuit circuit() {
    PermutedCircuit p;
    size_t len = rng() % 8 == 0 ? 10 + rng() % 20 : rng() % 7;
    for (size_t k = 0; k < len; ++k)
      p.instrs.push_back(k < 3 && rng() % 2 ? Instr32{gates::H(), QArgs16{{0, 0xFF}}} : instr());
    const auto& all = Permut32::all(4);
    p.perm = all[rng() % (rng() % 2 ? 2 : all.size())];
    return p;
  }
};

/// Whether sort_eccs gives what std::stable_sort gives, with heads from `codes` and with codes of
/// its own.
::testing::AssertionResult sorts_as_the_stable_sort(const std::vector<ECC>& eccs, const HeadCodes& codes) {
  std::vector<ECC> expected = eccs, by_given_heads = eccs, by_own_codes = eccs;
  std::stable_sort(expected.begin(), expected.end());
  std::vector<uint64_t> heads;
  for (const ECC& e : eccs) heads.push_back(e.circuits.empty() ? 0 : codes.head(e.circuits[0].instrs).value());
  sort_eccs(by_given_heads, std::move(heads));
  if (by_given_heads != expected) return ::testing::AssertionFailure() << "with the heads given";
  sort_eccs(by_own_codes);
  if (by_own_codes != expected) return ::testing::AssertionFailure() << "with codes of its own";
  return ::testing::AssertionSuccess();
}

}  // namespace

TEST(ecc, sort_eccs_gives_the_stable_sort_of_the_classes) {
  for (uint64_t seed = 0; seed < 40; ++seed) {
    RandomCircuits gen{std::mt19937_64(seed), seed % 2 == 1};
    std::vector<ECC> eccs;
    // Collections of different sizes are split into different numbers of runs.
    const size_t size = seed < 2 ? 20000 : 300;
    for (size_t k = 0; k < size; ++k) {
      if (!eccs.empty() && gen.rng() % 5 == 0) {
        // A copy of an earlier class, or one that extends it by a circuit: equal first circuits.
        ECC copy = eccs[gen.rng() % eccs.size()];
        if (gen.rng() % 2) copy.circuits.push_back(gen.circuit());
        eccs.push_back(std::move(copy));
        continue;
      }
      ECC e;
      for (size_t n = gen.rng() % 4; n-- > 0;) e.circuits.push_back(gen.circuit());
      eccs.push_back(std::move(e));
    }
    // With heads from codes of every instruction the generator makes, as the class map gives them.
    ASSERT_TRUE(sorts_as_the_stable_sort(eccs, HeadCodes(gen.all_instrs()))) << seed;
  }
  // Only empty first circuits: nothing to encode, the whole comparison decides.
  std::vector<ECC> bare = {ECC{{{{}, P({1, 0})}}}, ECC{}, ECC{{{{}, P({0, 1})}, {{h(1)}, P({0, 1})}}},
                           ECC{{{{}, P({0, 1})}}}};
  std::vector<ECC> expected = bare;
  std::stable_sort(expected.begin(), expected.end());
  sort_eccs(bare);
  EXPECT_EQ(bare, expected);
}

TEST(ecc, heads_follow_the_order_of_circuits) {
  // Few instructions take codes numbered again in their order; many combinations of qubit bytes
  // and gates keep the mixed-radix codes, also when every gate index occurs.
  std::vector<Instr32> few, many, every_gate;
  const uint16_t gates[] = {gates::H().index, gates::CX().index, 7};
  for (uint16_t g : gates)
    for (uint8_t a : {0, 2, 5})
      for (uint8_t b : {1, 2, 0xFF})
        if (a != b) few.push_back(Instr32{Gate16(g), QArgs16{{a, b}}});
  for (uint16_t g = 0; g < 20; ++g)
    for (int a = 0; a < 255; ++a) many.push_back(Instr32{Gate16(g), QArgs16{{uint8_t(a), uint8_t(254 - a)}}});
  many.push_back(Instr32{Gate16(3), QArgs16{{0xFF, 0xFF}}});
  for (uint32_t g = 0; g <= UINT16_MAX; ++g) every_gate.push_back(Instr32{Gate16(uint16_t(g)), QArgs16{{0, 0xFF}}});
  for (uint8_t a : {2, 3, 4}) every_gate.push_back(Instr32{Gate16(0), QArgs16{{a, 0xFF}}});
  for (const auto* set : {&few, &many, &every_gate}) {
    const HeadCodes codes(*set);
    // Every instruction of the set has a code, in the order of the instructions.
    std::vector<Instr32> sorted = *set;
    std::sort(sorted.begin(), sorted.end());
    for (size_t k = 1; k < sorted.size(); ++k)
      ASSERT_LT(codes.head(std::span(&sorted[k - 1], 1)).value(), codes.head(std::span(&sorted[k], 1)).value()) << k;
    std::mt19937_64 rng(7);
    // Short circuits fit in a head whole: equal heads then mean equal circuits.
    auto circuit = [&] {
      std::vector<Instr32> c(rng() % 3);
      for (Instr32& i : c) i = (*set)[rng() % set->size()];
      return c;
    };
    for (int round = 0; round < 20000; ++round) {
      const std::vector<Instr32> a = circuit(), b = circuit();
      const uint64_t ha = codes.head(a).value(), hb = codes.head(b).value();
      ASSERT_EQ(ha <=> hb, a <=> b) << round;
    }
    // An instruction outside the set has no code, wherever it stands in a short circuit.
    const Instr32 outside{Gate16(999), QArgs16{{0, 1}}};
    EXPECT_EQ(codes.head(std::vector<Instr32>{outside}), std::nullopt);
    EXPECT_EQ(codes.head(std::vector<Instr32>{(*set)[0], outside}), std::nullopt);
  }
}

TEST(ecc, sort_eccs_orders_classes_whose_keys_tie_by_the_whole_comparison) {
  // Three instructions take codes of 2 bits, so a head holds 32 of them and the last ones share
  // their bits with the position in the sort's keys. Circuits alike in their first 26 instructions
  // then have heads that differ in those low bits only: equal keys, which the whole comparison has
  // to order. Collection sizes around the block of 4096 places that the classes move in.
  const Instr32 cx01 = Instr32::make(gates::CX(), std::vector<uint8_t>{0, 1});
  const std::vector<Instr32> pool = {cx01, h(0), h(1)};  // in their order
  const HeadCodes codes(pool);
  auto alike = [&](std::vector<Instr32> tail) {
    PermutedCircuit p;
    p.instrs.assign(26, h(0));
    p.instrs.insert(p.instrs.end(), tail.begin(), tail.end());
    p.perm = P({0, 1});
    return p;
  };
  // Heads that differ in their lowest bit only (codes 3 and 2 last), the greater one first.
  const std::vector<Instr32> ones(5, cx01);
  std::vector<Instr32> last_h1 = ones, last_h0 = ones;
  last_h1.push_back(h(1));
  last_h0.push_back(h(0));
  const ECC greater{{alike(last_h1)}}, smaller{{alike(last_h0)}};
  ASSERT_EQ(*codes.head(greater.circuits[0].instrs) - *codes.head(smaller.circuits[0].instrs), 1u);
  for (size_t size : {0, 1, 2, 4096, 4097}) {
    std::mt19937_64 rng(size);
    std::vector<ECC> eccs;
    for (const ECC& e : {greater, smaller})
      if (eccs.size() < size) eccs.push_back(e);
    while (eccs.size() < size) {
      if (rng() % 8 == 0) {
        eccs.push_back(rng() % 2 ? ECC{} : eccs[rng() % eccs.size()]);
        continue;
      }
      ECC e;
      for (size_t n = 1 + rng() % 2; n-- > 0;) {
        std::vector<Instr32> tail(rng() % 9);
        for (Instr32& i : tail) i = pool[rng() % pool.size()];
        e.circuits.push_back(alike(tail));
        if (rng() % 2) e.circuits.back().perm = P({1, 0});
      }
      eccs.push_back(std::move(e));
    }
    EXPECT_TRUE(sorts_as_the_stable_sort(eccs, codes)) << size;
  }
}

TEST(ecc, from_circuits_sorts_then_relabels_from_the_first_circuit) {
  // The plain construction: a stable sort of whole circuits, then the used qubits of the first.
  auto reference = [](std::vector<PermutedCircuit> pairs) {
    std::stable_sort(pairs.begin(), pairs.end(), [](const PermutedCircuit& a, const PermutedCircuit& b) {
      if (a.instrs.size() != b.instrs.size()) return a.instrs.size() < b.instrs.size();
      return a < b;
    });
    std::set<uint8_t> used;
    for (Instr32 i : pairs.at(0).instrs)
      for (uint8_t q : i.qargs.as_slice()) used.insert(q);
    std::vector<uint8_t> used_vec(used.begin(), used.end());
    Permut32 uniform_inv = Permut32::from_iter_with_ext(pairs[0].perm.len(), used_vec);
    Permut32 uniform = uniform_inv.inv();
    for (PermutedCircuit& p : pairs) {
      for (Instr32& i : p.instrs) i = i.apply_permutation(uniform);
      p.perm = uniform * p.perm * uniform_inv;
    }
    return ECC{std::move(pairs)};
  };
  RandomCircuits gen{std::mt19937_64(3), false};
  for (int round = 0; round < 2000; ++round) {
    std::vector<PermutedCircuit> pairs;
    for (size_t n = 1 + gen.rng() % 5; n-- > 0;) pairs.push_back(gen.circuit());
    ASSERT_EQ(ECC::from_circuits(pairs), reference(pairs)) << round;
  }
  // The worked example: cx(1, 3) first, length 4: uniform_inv (1 3 2 0), uniform (3 0 2 1).
  Instr32 cx13 = Instr32::make(gates::CX(), std::vector<uint8_t>{1, 3});
  ECC e = ECC::from_circuits({{{h(2), h(1)}, P({0, 1, 2, 3})}, {{cx13}, P({0, 1, 2, 3})}});
  EXPECT_EQ(e.circuits[0].instrs_vector(),
            (std::vector<Instr32>{Instr32::make(gates::CX(), std::vector<uint8_t>{0, 1})}));
  EXPECT_EQ(e.circuits[1].instrs_vector(), (std::vector<Instr32>{h(2), h(0)}));
  EXPECT_THAT([] { ECC::from_circuits({}); }, Stops("index out of bounds: the len is 0 but the index is 0"));
}

}  // namespace morvane
