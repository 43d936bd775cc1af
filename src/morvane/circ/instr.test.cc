#include "morvane/circ/instr.h"
#include "morvane/testing/circuits.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "morvane/core/file.h"

namespace morvane {

using testing::perm;
using testing::Stops;
using testing::vector_hash;

namespace {

Instr32 on(Gate16 g, std::vector<uint8_t> qubits) { return Instr32::make(g, qubits); }

/// A three-qubit gate (the identity on 8 amplitudes with one sign flipped).
Gate16 three_qubit_gate() {
  CMatrix m(8, 8);
  for (uint32_t k = 0; k < 8; ++k) m(k, k) = Complex{k == 7 ? -1.0 : 1.0, 0.0};
  return Gate16::make("ccz", {}, std::move(m));
}

}  // namespace

TEST(instr, qargs_slots_and_their_stops) {
  QArgs16 none, one = QArgs16::from_iter(std::vector<uint8_t>{3}), two = QArgs16::from_iter(std::vector<uint8_t>{4, 2});
  EXPECT_EQ(none.len(), 0);
  EXPECT_EQ(one.len(), 1);
  EXPECT_EQ(two.len(), 2);
  EXPECT_EQ(one.bytes[1], 0xFF);
  EXPECT_TRUE(two.contains(2));
  EXPECT_FALSE(two.contains(3));
  EXPECT_FALSE(none.contains(0xFF));
  EXPECT_EQ(two.index(1), 2);
  EXPECT_THAT([&] { two.index(2); }, Stops("index out of bounds: the len is 2 but the index is 2"));
  EXPECT_THAT([&] { one.index(1); }, Stops("Index out of bounds"));
  EXPECT_THAT(
      [] {
        QArgs16::from_iter(std::vector<uint8_t>{0, 1, 2});
      },
      Stops("index out of bounds: the len is 2 but the index is 2"));
  EXPECT_THAT(
      [] {
        QArgs16::from_iter(std::vector<uint8_t>{0, 0xFF});
      },
      Stops("Qubit index 255 is reserved for an empty slot"));
  // Byte 1 is not looked at when byte 0 is empty.
  QArgs16 odd;
  odd.bytes = {0xFF, 5};
  EXPECT_EQ(odd.len(), 0);
}

TEST(instr, make_checks_arity_then_uniqueness) {
  EXPECT_THAT([] { on(gates::CX(), {0}); }, Stops("Number of qubit arguments does not match gate arity"));
  EXPECT_THAT([] { on(gates::H(), {}); }, Stops("Number of qubit arguments does not match gate arity"));
  EXPECT_THAT([] { on(gates::CX(), {1, 1}); }, Stops("Qubit arguments must be unique"));
  Gate16 ccz = three_qubit_gate();
  EXPECT_THAT([&] { on(ccz, {0, 1, 1}); }, Stops("Qubit arguments must be unique"));
  EXPECT_THAT([&] { on(ccz, {0, 1, 2}); }, Stops("index out of bounds: the len is 2 but the index is 2"));
  EXPECT_THAT([] { on(gates::H(), {255}); }, Stops("Qubit index 255 is reserved for an empty slot"));
  Instr32 h200 = on(gates::H(), {200});
  EXPECT_EQ(h200.qargs.len(), 1);
}

TEST(instr, order_is_qubit_bytes_first_then_gate_index) {
  Instr32 cx01 = on(gates::CX(), {0, 1}), h0 = on(gates::H(), {0}), h1 = on(gates::H(), {1}), x1 = on(gates::X(), {1});
  EXPECT_LT(cx01, h0);
  EXPECT_LT(h0, h1);
  EXPECT_LT(h1, x1);
  EXPECT_LT(on(gates::X(), {0}), h1);
  std::vector<Instr32> v{h1, cx01, h0};
  std::stable_sort(v.begin(), v.end());
  EXPECT_EQ(v, (std::vector<Instr32>{cx01, h0, h1}));
  EXPECT_EQ(on(gates::CX(), {0, 1}), cx01);
  EXPECT_NE(on(gates::CX(), {1, 0}), cx01);
}

TEST(instr, hash_stream_is_gate_then_the_two_qubit_bytes) {
  EXPECT_EQ(on(gates::CX(), {0, 1}).hash_value(), vector_hash("Instr32 cx(0, 1)"));
  SipHasher13 h;
  gates::H().hash_into(h);
  EXPECT_EQ(h.finish(), vector_hash("Gate16 index 1 (h)"));
  const uint8_t stream[] = {0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x03, 0xFF};  // h(3)
  EXPECT_EQ(on(gates::H(), {3}).hash_value(), siphash13(stream, sizeof stream));
}

TEST(instr, apply_permutation_relabels_the_used_qubits) {
  EXPECT_EQ(on(gates::CX(), {0, 1}).apply_permutation(perm({1, 0})), on(gates::CX(), {1, 0}));
  EXPECT_EQ(on(gates::H(), {2}).permut(perm({1, 0})), on(gates::H(), {0}));  // beyond the length: slot holds 0
  EXPECT_EQ(on(gates::H(), {2}).apply_permutation(perm({2, 0, 1})), on(gates::H(), {1}));
  EXPECT_THAT([] { on(gates::H(), {8}).apply_permutation(perm({1, 0})); }, Stops("assertion failed: idx < 8"));
  Instr32 none = Instr32::make(Gate16::make("phase_only", {},
                                            [] {
                                              CMatrix m(1, 1);
                                              m(0, 0) = Complex{0.0, 1.0};
                                              return m;
                                            }()),
                               std::vector<uint8_t>{});
  EXPECT_EQ(none.apply_permutation(perm({1, 0})), none);
  EXPECT_EQ(none.display(), "phase_only()");
  EXPECT_EQ(none.largest_qubit(), 0);
  EXPECT_TRUE(on(gates::H(), {0}).disjoint(none));
}

struct PassMaskCase {
  Gate16 (*gate)();
  std::vector<uint8_t> qubits;
  uint8_t mask;
  std::optional<uint8_t> expected;
};

TEST(instr, pass_mask_admits_only_the_next_frontier_qubit) {
  const PassMaskCase cases[] = {
      {gates::CX, {0, 1}, 0, 3},
      {gates::CX, {1, 0}, 0, std::nullopt},
      {gates::CX, {1, 0}, 1, 3},
      {gates::H, {2}, 3, 7},
      {gates::H, {3}, 3, std::nullopt},
      {gates::H, {1}, 5, 7},
      {gates::H, {0}, 1, 1},
      {gates::H, {7}, 0x7F, 0xFF},
      {gates::H, {8}, 0xFF, 0xFF},
      {gates::H, {8}, 0x00, std::nullopt},
      {gates::CX, {3, 0}, 0x07, 0x0F},
  };
  for (const auto& c : cases)
    EXPECT_EQ(on(c.gate(), c.qubits).pass_mask(c.mask), c.expected)
        << on(c.gate(), c.qubits).display() << " mask " << int(c.mask);
}

TEST(instr, masks_positions_and_display) {
  Instr32 cx01 = on(gates::CX(), {0, 1}), h3 = on(gates::H(), {3}), cx42 = on(gates::CX(), {4, 2});
  EXPECT_EQ(cx01.arg_mask(), 3);
  EXPECT_EQ(h3.arg_mask(), 8);
  EXPECT_EQ(on(gates::H(), {9}).arg_mask(), 2);
  EXPECT_EQ(cx01.largest_qubit(), 1);
  EXPECT_EQ(cx42.largest_qubit(), 4);
  EXPECT_EQ(cx42.position_of_qubit(2), 1);
  EXPECT_EQ(cx42.position_of_qubit(4), 0);
  EXPECT_EQ(cx42.position_of_qubit(5), std::nullopt);
  EXPECT_FALSE(cx01.disjoint(on(gates::H(), {1})));
  EXPECT_TRUE(cx01.disjoint(on(gates::H(), {2})));
  EXPECT_FALSE(on(gates::H(), {8}).disjoint(on(gates::H(), {0})));
  EXPECT_EQ(cx01.display(), "cx(0, 1)");
  EXPECT_EQ(h3.display(), "h(3)");
  EXPECT_EQ(on(Gate16(17), {0}).display(), "rz(pi/3)(0)");
}

TEST(instr, adjoint_keeps_the_qubits) {
  EXPECT_EQ(on(gates::S(), {4}).adjoint(), on(gates::SDG(), {4}));
  EXPECT_EQ(on(gates::CX(), {1, 0}).adjoint(), on(gates::CX(), {1, 0}));
}

TEST(instr, postcard_form_is_gate_text_and_two_raw_bytes) {
  struct Case {
    Instr32 instr;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {on(gates::CX(), {0, 1}), {0x02, 'c', 'x', 0x00, 0x01}},
      {on(gates::H(), {3}), {0x01, 'h', 0x03, 0xFF}},
      {on(Gate16(18), {7}), {0x09, 'r', 'z', '(', '-', 'p', 'i', '/', '3', ')', 0x07, 0xFF}},
  };
  GateTexts texts;
  GateNames names;
  for (const auto& c : cases) {
    std::vector<uint8_t> out;
    postcard::Writer w(out);
    c.instr.write_postcard(w, texts);
    EXPECT_EQ(out, c.bytes) << c.instr.display();
  }

  // Reading takes the bytes as they are: cx with a repeated qubit is not refused here.
  std::vector<uint8_t> bytes{0x02, 'c', 'x', 0x05, 0x05, 0x01, 'h', 0x03, 0xFF, 0x02, 'q', 'q', 0x00, 0x01};
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  postcard::FileReader r(::fileno(f));  // rewind flushed the stream's writes
  std::string scratch;
  Instr32 a = Instr32::read_postcard(r, scratch, names), b = Instr32::read_postcard(r, scratch, names);
  EXPECT_EQ(a.gate, gates::CX());
  EXPECT_EQ(a.qargs.bytes, (std::array<uint8_t, 2>{5, 5}));
  EXPECT_EQ(b, on(gates::H(), {3}));
  EXPECT_THAT([&] { Instr32::read_postcard(r, scratch, names); }, Stops("Failed to deserialize Gate16 from qq"));
  std::fclose(f);
}

}  // namespace morvane
