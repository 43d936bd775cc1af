#include "morvane/search/ecc.h"

#include <gtest/gtest.h>

#include "morvane/testing/testing.h"

namespace morvane {

TEST(ecc, order_compares_instructions_then_permutation_and_prefix_first) {
  Instr32 h0 = Instr32::make(gates::H(), std::vector<uint8_t>{0});
  Instr32 cx01 = Instr32::make(gates::CX(), std::vector<uint8_t>{0, 1});
  PermutedCircuit a{{cx01}, Permut32::identity(2)};
  PermutedCircuit b{{h0}, Permut32::identity(2)};
  PermutedCircuit a_longer{{cx01, h0}, Permut32::identity(2)};
  PermutedCircuit a_swapped{{cx01}, Permut32::from_iter(std::vector<uint8_t>{1, 0})};
  EXPECT_LT(a, b);            // cx(0, 1) orders before h(0): qubit bytes first
  EXPECT_LT(a, a_longer);     // a proper prefix comes first
  EXPECT_LT(a_swapped, a);    // equal instructions: raw word of the permutation decides
  EXPECT_LT((ECC{{a}}), (ECC{{a, b}}));
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

}  // namespace morvane
