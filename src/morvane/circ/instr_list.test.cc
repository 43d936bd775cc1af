#include "morvane/circ/instr_list.h"

#include <gtest/gtest.h>

namespace morvane {

namespace {
Instr32 h(uint8_t q) { return Instr32::make(gates::H(), std::vector<uint8_t>{q}); }
Instr32 cx(uint8_t a, uint8_t b) { return Instr32::make(gates::CX(), std::vector<uint8_t>{a, b}); }
std::vector<Instr32> newest_first(const AliasArena& arena, AliasList l) {
  std::vector<Instr32> out;
  for (Instr32 i : arena.iter(l)) out.push_back(i);
  return out;
}
}  // namespace

TEST(instr_list, cons_iterates_newest_first_and_keeps_its_tail) {
  AliasArena arena;
  AliasList a = arena.cons(AliasList::nil(), h(0));
  AliasList ba = arena.cons(a, cx(0, 1));
  AliasList copy = ba;
  EXPECT_EQ(newest_first(arena, ba), (std::vector<Instr32>{cx(0, 1), h(0)}));
  EXPECT_EQ(newest_first(arena, copy), newest_first(arena, ba));
  EXPECT_EQ(newest_first(arena, a), (std::vector<Instr32>{h(0)}));
  EXPECT_EQ(arena.to_vec(ba), (std::vector<Instr32>{h(0), cx(0, 1)}));
  EXPECT_EQ(arena.length(ba), 2u);
  EXPECT_TRUE(newest_first(arena, AliasList::nil()).empty());
  EXPECT_EQ(arena.cells(), 2u);
}

TEST(instr_list, lists_on_one_tail_share_it) {
  AliasArena arena;
  AliasList root = arena.cons(AliasList::nil(), h(2));
  AliasList left = arena.cons(root, h(0));
  AliasList right = arena.cons(root, h(1));
  EXPECT_EQ(arena.cell(left).tail, root.index);
  EXPECT_EQ(arena.cell(right).tail, root.index);
  EXPECT_EQ(arena.to_vec(left), (std::vector<Instr32>{h(2), h(0)}));
  EXPECT_EQ(arena.to_vec(right), (std::vector<Instr32>{h(2), h(1)}));
}

TEST(instr_list, cells_stay_valid_across_blocks) {
  AliasArena arena;
  AliasList l;
  const uint32_t n = AliasArena::kBlockSize * 2 + 5;
  for (uint32_t k = 0; k < n; ++k) l = arena.cons(l, h(uint8_t(k % 5)));
  EXPECT_EQ(arena.length(l), n);
  uint32_t k = n;
  for (Instr32 i : arena.iter(l)) ASSERT_EQ(i, h(uint8_t(--k % 5)));
  EXPECT_EQ(arena.bytes(), 3u * AliasArena::kBlockSize * 8);
}

}  // namespace morvane
