#include "morvane/core/chacha.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

namespace morvane {

namespace {
std::array<uint32_t, 8> counting_key() {
  std::array<uint32_t, 8> key{};
  for (uint32_t i = 0; i < 8; ++i) key[i] = (4 * i) | (4 * i + 1) << 8 | (4 * i + 2) << 16 | (4 * i + 3) << 24;
  return key;
}
}  // namespace

// The published 20-round block for key 00..1f, counter 1 and nonce 00000009 0000004a 00000000.
TEST(chacha, block_function_matches_the_published_20_round_vector) {
  auto out = chacha_block(counting_key(), {1, 0x09000000u, 0x4a000000u, 0}, 20);
  std::array<uint32_t, 16> expected{0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033,
                                    0x9aaa2204, 0x4e6cd4c3, 0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                    0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
  EXPECT_EQ(out, expected);
}

// The published keystream of the all-zero key and nonce at counter 0 (first 16 bytes).
TEST(chacha, zero_key_keystream_starts_as_published) {
  auto out = chacha_block({}, {0, 0, 0, 0}, 20);
  EXPECT_EQ(out[0], 0xade0b876u);
  EXPECT_EQ(out[1], 0x903df1a0u);
  EXPECT_EQ(out[2], 0xe56a5d40u);
  EXPECT_EQ(out[3], 0x28bd8653u);
}

TEST(chacha, generator_streams_12_round_blocks_in_counter_order) {
  std::array<uint8_t, 32> seed{};
  for (size_t i = 0; i < seed.size(); ++i) seed[i] = uint8_t(i);
  ChaCha12Rng rng(seed);
  std::vector<uint32_t> expected;
  for (uint64_t block = 0; block < 3; ++block) {
    auto words = chacha_block(counting_key(), {uint32_t(block), uint32_t(block >> 32), 0, 0}, 12);
    expected.insert(expected.end(), words.begin(), words.end());
  }
  ASSERT_NE(expected[0], chacha_block(counting_key(), {0, 0, 0, 0}, 20)[0]);
  // A 32-bit draw first makes the 64-bit draws straddle each block boundary: low word first.
  std::vector<uint32_t> got{rng.next_u32()};
  for (int i = 0; i < 23; ++i) {
    uint64_t v = rng.next_u64();
    got.push_back(uint32_t(v));
    got.push_back(uint32_t(v >> 32));
  }
  got.push_back(rng.next_u32());
  EXPECT_EQ(got, expected);
}

TEST(chacha, uniform_doubles_use_the_top_53_bits) {
  std::array<uint8_t, 32> seed{};
  seed[0] = 7;
  ChaCha12Rng a(seed), b(seed);
  for (int i = 0; i < 100; ++i) {
    uint64_t u = a.next_u64();
    double d = b.next_f64();
    EXPECT_EQ(d, double(u >> 11) / 9007199254740992.0);
    EXPECT_GE(d, 0.0);
    EXPECT_LT(d, 1.0);
  }
}

TEST(chacha, os_seeded_generators_differ) {
  auto a = ChaCha12Rng::from_os_rng(), b = ChaCha12Rng::from_os_rng();
  EXPECT_NE(std::make_pair(a.next_u64(), a.next_u64()), std::make_pair(b.next_u64(), b.next_u64()));
}

TEST(chacha, thread_seeded_generators_differ_within_and_across_threads) {
  std::set<uint64_t> firsts;
  for (int i = 0; i < 100; ++i) firsts.insert(ChaCha12Rng::from_thread_seeder().next_u64());
  std::vector<uint64_t> other(100);
  std::thread([&] {
    for (auto& v : other) v = ChaCha12Rng::from_thread_seeder().next_u64();
  }).join();
  firsts.insert(other.begin(), other.end());
  EXPECT_EQ(firsts.size(), 200u);
}

}  // namespace morvane
