#include "morvane/circ/instruction.h"

#include <gtest/gtest.h>

namespace morvane {

TEST(instruction, hash_streams) {
  // "q", 0xFF, then the index as 4 bytes.
  const uint8_t arg_stream[] = {'q', 0xFF, 0x07, 0x00, 0x00, 0x00};
  EXPECT_EQ((Argument{"q", 7}).hash_value(), siphash13(arg_stream, sizeof arg_stream));
  // gate (2 bytes), qargs count (4 bytes) and items, cargs count and items.
  const uint8_t instr_stream[] = {0x09, 0x00, 0x01, 0x00, 0x00, 0x00, 'q',  0xFF, 0x00, 0x00, 0x00,
                                  0x00, 0x01, 0x00, 0x00, 0x00, 'c',  0xFF, 0x02, 0x00, 0x00, 0x00};
  Instruction i{gates::CX(), {{"q", 0}}, {{"c", 2}}};
  EXPECT_EQ(i.hash_value(), siphash13(instr_stream, sizeof instr_stream));
  Instruction moved{gates::CX(), {{"q", 0}, {"c", 2}}, {}};
  EXPECT_NE(moved.hash_value(), i.hash_value());
}

TEST(instruction, display_and_debug) {
  Instruction i{gates::CX(), {{"q", 0}, {"q", 1}}, {}};
  EXPECT_EQ(i.display(), "cx q[0], q[1];");
  EXPECT_EQ(i.debug(),
            "Instruction { gate: Gate(9 -> cx), qargs: [Argument { regid: \"q\", index: 0 }, Argument { regid: "
            "\"q\", index: 1 }], cargs: [] }");
  EXPECT_EQ((Instruction{gates::H(), {}, {}}).display(), "h ;");
  EXPECT_EQ((Argument{"a\"\xC2\x9F\xC2\xA0", 1}).debug(), "Argument { regid: \"a\\\"\\u{9f}\xC2\xA0\", index: 1 }");
}

}  // namespace morvane
