#include "morvane/circ/permuted_circuit.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "morvane/testing/circuits.h"

namespace morvane {

using testing::cx;
using testing::h;
using testing::perm;
using testing::Stops;
using testing::swap;

TEST(permuted_circuit, order_compares_instructions_then_permutation_and_prefix_first) {
  PermutedCircuit a{{cx(0, 1)}, Permut32::identity(2)};
  PermutedCircuit b{{h(0)}, Permut32::identity(2)};
  PermutedCircuit a_longer{{cx(0, 1), h(0)}, Permut32::identity(2)};
  PermutedCircuit a_swapped{{cx(0, 1)}, perm({1, 0})};
  EXPECT_LT(a, b);          // cx(0, 1) orders before h(0): qubit bytes first
  EXPECT_LT(a, a_longer);   // a proper prefix comes first
  EXPECT_LT(a_swapped, a);  // equal instructions: raw word of the permutation decides
}

TEST(permuted_circuit, to_circ_keeps_instructions_and_permutation) {
  // Short lists stay inline, the ten-instruction one does not: both convert whole.
  std::vector<Instr32> ten;
  for (uint8_t k = 0; k < 10; ++k) ten.push_back(k % 2 ? cx(k % 3, 3) : h(k % 4));
  struct Case {
    std::vector<Instr32> instrs;
    Permut32 perm;
  };
  for (const Case& c : std::vector<Case>{
           {{}, Permut32{}}, {{}, perm({2, 0, 1})}, {{h(1), cx(1, 0)}, perm({1, 0, 2})}, {ten, perm({3, 2, 1, 0})}}) {
    const PermutedCircuit p{{c.instrs.begin(), c.instrs.end()}, c.perm};
    const Circ circ = p.to_circ();
    EXPECT_EQ(circ.instrs, c.instrs);
    EXPECT_EQ(circ.perm, c.perm);
    // The Circ's SWAP form is that of the stored pair.
    EXPECT_EQ(circ.instrs_with_swaps(), with_swaps(p.instrs, p.perm));
  }
}

TEST(permuted_circuit, to_circ_stops_on_a_qubit_beyond_the_permutation) {
  const PermutedCircuit p{{h(0), swap(0, 2)}, perm({1, 0})};
  EXPECT_THAT([&] { p.to_circ(); }, Stops("Permutation length must be greater than the max qubit index."));
}

}  // namespace morvane
