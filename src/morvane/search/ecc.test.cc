#include "morvane/search/ecc.h"

#include <gtest/gtest.h>

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

}  // namespace morvane
