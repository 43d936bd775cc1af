#include "morvane/search/placements.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "morvane/testing/circuits.h"

namespace morvane {

using testing::instr;
using testing::Stops;

TEST(placements, placements_follow_gate_order_then_largest_qubit) {
  auto p = generator_placements({gates::H(), gates::CX()}, 3);
  std::vector<std::string> texts;
  for (Instr32 i : p) texts.push_back(i.display());
  EXPECT_THAT(texts, ::testing::ElementsAre("h(0)", "h(1)", "cx(0, 1)", "cx(1, 0)", "h(2)", "cx(0, 2)", "cx(1, 2)",
                                            "cx(2, 0)", "cx(2, 1)"));
  // t gets its adjoint; duplicates stay and the adjoint comes once.
  auto tt = generator_placements({gates::T(), gates::T()}, 1);
  EXPECT_EQ(tt, (std::vector<Instr32>{instr(gates::T(), {0}), instr(gates::T(), {0}), instr(gates::TDG(), {0})}));
  EXPECT_EQ(generator_placements({gates::T(), gates::TDG()}, 1).size(), 2u);
  EXPECT_TRUE(generator_placements({}, 3).empty());
}

TEST(placements, placements_refuse_other_qubit_counts) {
  CMatrix m(8, 8);
  for (uint32_t i = 0; i < 8; ++i) m(i, i) = Complex{1.0, 0.0};
  m(7, 7) = Complex{-1.0, 0.0};
  Gate16 ccz = Gate16::make("ccz_test", {}, m);
  for (uint32_t n : {0u, 3u})
    EXPECT_THAT(
        [&] {
          generator_placements({gates::H(), ccz}, n);
        },
        Stops("Only 1 and 2 qubit instructions are supported"));
}

TEST(placements, offset_is_the_position_in_enumeration_order) {
  Gate16 gates_by_arity[] = {Gate16::make("placement_test_phase", {},
                                          [] {
                                            CMatrix m(1, 1);
                                            m(0, 0) = Complex{0.0, 1.0};
                                            return m;
                                          }()),
                             gates::H(), gates::CX()};
  for (uint32_t n = 1; n <= 5; ++n)
    for (uint32_t arity = 0; arity <= 2; ++arity) {
      uint32_t k = 0;
      for_each_placement(gates_by_arity[arity], arity, n, [&](Instr32 i) {
        EXPECT_EQ(placement_offset(i.qargs.as_slice(), n), k) << i.display() << " on " << n;
        ++k;
      });
      uint32_t expected = arity == 0 ? 1 : arity == 1 ? n : n * (n - 1);
      EXPECT_EQ(k, expected);
    }
  std::vector<uint8_t> same{1, 1}, outside{0, 3};
  EXPECT_EQ(placement_offset(same, 3), std::nullopt);
  EXPECT_EQ(placement_offset(outside, 3), std::nullopt);
}

TEST(placements, universe_numbers_each_gate_block_in_enumeration_order) {
  InstrUniverse u(3);
  u.add_gate_of(instr(gates::CX(), {0, 1}));
  u.add_gate_of(instr(gates::H(), {2}));
  u.add_gate_of(instr(gates::CX(), {2, 0}));  // known already: nothing added
  ASSERT_EQ(u.size(), 9u);
  for (uint32_t k = 0; k < u.size(); ++k) EXPECT_EQ(u.index(u.instr(k)), k);
  EXPECT_EQ(u.index(instr(gates::H(), {0})), 6u);
  EXPECT_FALSE(u.contains(instr(gates::T(), {0})));
  EXPECT_THAT([&] { u.index(instr(gates::T(), {0})); },
              Stops("instruction t(0) is not a placement of the search's gates"));
}

}  // namespace morvane
