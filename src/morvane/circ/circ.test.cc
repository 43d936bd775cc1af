#include "morvane/circ/circ.h"
#include "morvane/testing/circuits.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include <nlohmann/json.hpp>

#include "morvane/core/postcard.h"

namespace morvane {

using testing::instr;
using testing::perm;
using testing::Stops;
using testing::vector_hash;

namespace {

/// A random circuit of `len` instructions from {h, t, cx, swap} on `n` qubits with a random
/// permutation of length n.
Circ random_circ(std::mt19937& rng, uint8_t n, size_t len) {
  std::vector<Instr32> v;
  const Gate16 one[] = {gates::H(), gates::T()};
  for (size_t k = 0; k < len; ++k) {
    uint8_t a = uint8_t(rng() % n);
    if (n > 1 && rng() % 3 == 0) {
      uint8_t b = uint8_t((a + 1 + rng() % (n - 1)) % n);
      v.push_back(instr(rng() % 4 == 0 ? gates::SWAP() : gates::CX(), {a, b}));
    } else {
      v.push_back(instr(one[rng() % 2], {a}));
    }
  }
  const auto& all = Permut32::all(n);
  return Circ::make(std::move(v), all[rng() % all.size()]);
}

}  // namespace

TEST(circ, constructors_check_the_qubit_bound) {
  Circ empty = Circ::make_no_perm({});
  EXPECT_EQ(empty.nqubits(), 0);
  EXPECT_EQ(empty.display(), "Circuit { () }");
  EXPECT_EQ(Circ::make_no_perm({instr(gates::H(), {3})}).perm, Permut32::identity(4));
  EXPECT_THAT(
      [] {
        Circ::make({instr(gates::H(), {3})}, perm({1, 0}));
      },
      Stops("Permutation length must be greater than the max qubit index."));
  EXPECT_THAT([] { Circ::make_no_perm({instr(gates::H(), {8})}); },
              Stops("Permutation length must be less than or equal to 8"));
  EXPECT_EQ(Circ::make({}, perm({1, 0})).nqubits(), 2);
}

TEST(circ, hash_follows_the_stream_and_the_reference_vector) {
  Circ c = Circ::make_no_perm({instr(gates::H(), {0})});
  EXPECT_EQ(c.hash_value(), vector_hash("Circ [h(0)] perm identity(1)"));
  std::mt19937 rng(7);
  for (size_t len : {0, 1, 2, 5, 8, 19}) {
    Circ r = random_circ(rng, 4, len);
    SipHasher13 h;
    r.hash_into(h);
    EXPECT_EQ(r.hash_value(), h.finish()) << r.display();
  }
  // The permutation's length is part of the value.
  EXPECT_NE(Circ::make({}, Permut32::identity(2)).hash_value(), Circ::make({}, Permut32::identity(3)).hash_value());
}

TEST(circ, order_is_length_then_instructions_then_permutation_word) {
  const Circ a = Circ::make({instr(gates::H(), {1})}, perm({0, 1}));
  const Circ b = Circ::make({instr(gates::H(), {0}), instr(gates::H(), {0})}, perm({0, 1}));
  const Circ c = Circ::make({instr(gates::CX(), {0, 1})}, perm({1, 0}));
  const Circ d = Circ::make({instr(gates::CX(), {0, 1})}, perm({0, 1}));
  EXPECT_LT(a, b);  // fewer instructions
  EXPECT_LT(d, a);  // cx(0, 1) < h(1)
  EXPECT_LT(c, d);  // same instructions, smaller word: (1 0) before (0 1)
  EXPECT_NE(Circ::make({}, Permut32::identity(2)), Circ::make({}, Permut32::identity(3)));
}

TEST(circ, structural_operations_undo_each_other) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 200; ++trial) {
    const uint8_t n = uint8_t(1 + trial % 6);
    const Circ c = random_circ(rng, n, rng() % 9);
    const int64_t len = int64_t(c.len());
    for (int64_t k = -len; k <= len; ++k) EXPECT_EQ(c.rotate(k).rotate(-k), c) << c.display() << " " << k;
    EXPECT_EQ(c.inverse().inverse(), c);
    EXPECT_EQ((c + c.inverse()).perm, Permut32::identity(n));
    const auto& all = Permut32::all(n);
    const Permut32 p = all[rng() % all.size()];
    EXPECT_EQ(c.permut(p).permut(p.inv()), c);
    // A circuit plus the SWAPs of its permutation, with no permutation, folds back.
    const Circ no_swaps = Circ::make(c.remove_swaps().instrs, c.remove_swaps().perm);
    EXPECT_EQ(Circ::make(no_swaps.instrs_with_swaps(), Permut32::identity(n)).remove_swaps(), no_swaps);
  }
}

TEST(circ, in_place_forms_overwrite_what_the_output_held) {
  std::mt19937 rng(12);
  for (int trial = 0; trial < 100; ++trial) {
    const uint8_t n = uint8_t(1 + trial % 6);
    const Circ c = random_circ(rng, n, rng() % 9);
    const auto& all = Permut32::all(n);
    const Permut32 p = all[rng() % all.size()];
    // Outputs that held a longer circuit on more qubits before.
    Circ permuted = random_circ(rng, 8, 12), back = random_circ(rng, 8, 12), joined = random_circ(rng, 8, 12);
    c.permut_into(p, permuted);
    permuted.permut_into(p.inv(), back);
    EXPECT_EQ(back, c) << c.display();
    Circ::join_into(c, c.inverse(), joined);
    ASSERT_EQ(joined.len(), 2 * c.len());
    EXPECT_TRUE(std::equal(c.instrs.begin(), c.instrs.end(), joined.instrs.begin()));
    EXPECT_EQ(joined.perm, Permut32::identity(n)) << c.display();
  }
}

TEST(circ, rotation_beyond_the_length_stops) {
  const Circ c = Circ::make_no_perm({instr(gates::H(), {0}), instr(gates::X(), {0})});
  EXPECT_THAT([&] { c.rotate(3); }, Stops("range start index 3 out of range for slice of length 2"));
  EXPECT_THAT([&] { c.rotate(-3); }, Stops("range end index 3 out of range for slice of length 2"));
  EXPECT_EQ(Circ::make_no_perm({}).rotate(0), Circ::make_no_perm({}));
}

TEST(circ, postcard_round_trip_keeps_unchecked_data) {
  Circ c = Circ::make({instr(gates::CX(), {1, 0}), instr(gates::H(), {2})}, perm({2, 0, 1}));
  c.instrs.push_back(Instr32{gates::H(), QArgs16{{9, 0xFF}}});  // not checked on the way back
  std::vector<uint8_t> bytes;
  postcard::Writer w(bytes);
  GateTexts texts;
  c.write_postcard(w, texts);
  postcard::Reader r(bytes);
  std::string scratch;
  GateNames names;
  EXPECT_EQ(Circ::read_postcard(r, scratch, names), c);
}

struct MalformedCase {
  std::array<uint8_t, 2> bytes;
  uint32_t perm_raw;
  const char* message;
};

TEST(circ, malformed_data_stop_with_a_clear_message) {
  const uint32_t id2 = Permut32::identity(2).raw;
  const MalformedCase cases[] = {
      {{0, 0xFF}, 0x0F000000, "Circuit permutation word 0xf000000 is not a permutation of at most 8 positions"},
      {{0, 0xFF}, 0x02000000, "Circuit permutation word 0x2000000 is not a permutation of at most 8 positions"},
      {{0, 0xFF}, id2 | (1u << 6), "Circuit permutation word 0x2000048 is not a permutation of at most 8 positions"},
      {{0xFF, 1}, id2, "Instruction 0 has an empty first qubit slot before qubit 1"},
      {{8, 0xFF}, id2, "Instruction 0 uses qubit 8, which is not below the permutation length 2"},
      {{1, 1}, id2, "Instruction 0 uses qubit 1 twice"},
  };
  for (const auto& m : cases) {
    Circ c{{Instr32{gates::H(), QArgs16{m.bytes}}}, Permut32::from_raw(m.perm_raw)};
    EXPECT_THAT([&] { c.check_well_formed(); }, Stops(m.message));
    EXPECT_THAT([&] { c.rotate(1); }, Stops(m.message));
    EXPECT_THAT([&] { c.inverse(); }, Stops(m.message));
    EXPECT_THAT([&] { c.permut(perm({1, 0})); }, Stops(m.message));
    EXPECT_THAT([&] { (void)(c + c); }, Stops(m.message));
  }
  // remove_swaps keeps its own index stops for the instructions.
  Circ swap_hole{{Instr32{gates::SWAP(), QArgs16{{0, 0xFF}}}}, Permut32::identity(2)};
  EXPECT_THAT([&] { swap_hole.remove_swaps(); }, Stops("Index out of bounds"));
  Circ far{{Instr32{gates::H(), QArgs16{{5, 0xFF}}}}, Permut32::identity(2)};
  EXPECT_THAT([&] { far.remove_swaps(); }, Stops("index out of bounds: the len is 2 but the index is 5"));
}

}  // namespace morvane
