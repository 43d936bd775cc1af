#include "morvane/core/hash_table64.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "morvane/core/permut.h"

#include "morvane/testing/testing.h"

namespace morvane {

using testing::Stops;

namespace {
// Equality looks at both fields but the hash stream only at `hashed`, so keys that differ only
// in `extra` collide.
struct CollidingKey {
  uint32_t hashed;
  uint32_t extra;
  friend bool operator==(const CollidingKey&, const CollidingKey&) = default;
  void hash_into(SipHasher13& h) const { h.write_u32(hashed); }
};

const Permut32 kA = Permut32::from_raw(0x03000050);  // (0 2 1)
const Permut32 kB = Permut32::identity(3);
}  // namespace

TEST(hash_table64, insert_returns_the_key_hash_and_the_replaced_value) {
  HashTable64<Permut32, std::string> t;
  auto [h, previous] = t.insert(kA, "first");
  SipHasher13 expected;
  expected.write_u32(kA.raw);
  EXPECT_EQ(h, expected.finish());
  EXPECT_EQ(previous, std::nullopt);

  auto [h2, previous2] = t.insert(kA, "second");
  EXPECT_EQ(h2, h);
  EXPECT_EQ(previous2, "first");
  ASSERT_NE(t.address(h), nullptr);
  EXPECT_EQ(t.address(h)->first, kA);
  EXPECT_EQ(t.address(h)->second, "second");
  EXPECT_EQ(t.size(), 1u);

  auto [hb, previous_b] = t.insert(kB, "other");
  EXPECT_NE(hb, h);
  EXPECT_EQ(previous_b, std::nullopt);
  EXPECT_EQ(t.size(), 2u);
  EXPECT_EQ(t.address(hb)->second, "other");
  EXPECT_EQ(t.address(h)->second, "second");
}

TEST(hash_table64, lookups_by_unknown_hash_find_nothing) {
  HashTable64<Permut32, int> t;
  EXPECT_EQ(t.address(hash64(kA)), nullptr);
  t.insert(kA, 1);
  EXPECT_EQ(t.address(hash64(kB)), nullptr);
  EXPECT_FALSE(t.address_mut(hash64(kB)).has_value());
  EXPECT_EQ(t.address(hash64(kA) ^ 1), nullptr);
}

TEST(hash_table64, address_mut_changes_the_stored_value) {
  HashTable64<Permut32, int> t;
  uint64_t h = t.insert(kA, 1).first;
  auto slot = t.address_mut(h);
  ASSERT_TRUE(slot.has_value());
  EXPECT_EQ(slot->key, kA);
  slot->value += 41;
  EXPECT_EQ(t.address(h)->second, 42);
}

TEST(hash_table64, address_or_stores_the_fallback_only_when_absent) {
  HashTable64<Permut32, int> t;
  uint64_t h = hash64(kA);
  auto slot = t.address_or(h, {kA, 7});
  EXPECT_EQ(slot.key, kA);
  EXPECT_EQ(slot.value, 7);
  slot.value = 8;
  EXPECT_EQ(t.size(), 1u);
  // Present: the fallback is discarded, whatever its key.
  auto again = t.address_or(h, {kB, 100});
  EXPECT_EQ(again.key, kA);
  EXPECT_EQ(again.value, 8);
  EXPECT_EQ(t.size(), 1u);
}

TEST(hash_table64, a_different_key_under_a_taken_hash_stops_and_changes_nothing) {
  HashTable64<CollidingKey, std::string> t;
  uint64_t h = t.insert({5, 0}, "kept").first;
  EXPECT_THAT([&] { t.insert({5, 1}, "lost"); }, Stops("Hash collision detected in HashTable64"));
  EXPECT_EQ(t.size(), 1u);
  EXPECT_EQ(t.address(h)->first, (CollidingKey{5, 0}));
  EXPECT_EQ(t.address(h)->second, "kept");
  // An equal key is still accepted.
  EXPECT_EQ(t.insert({5, 0}, "new").second, "kept");
}

TEST(hash_table64, holds_move_only_values) {
  HashTable64<Permut32, std::unique_ptr<int>> t;
  uint64_t h = t.insert(kA, std::make_unique<int>(1)).first;
  auto [h2, previous] = t.insert(kA, std::make_unique<int>(2));
  ASSERT_TRUE(previous.has_value());
  EXPECT_EQ(**previous, 1);
  EXPECT_EQ(*t.address(h2)->second, 2);
  EXPECT_EQ(*t.address_or(h, {kA, nullptr}).value, 2);
}

TEST(hash_table64, many_keys_stay_reachable) {
  HashTable64<Permut32, size_t> t;
  const auto& all = Permut32::all(7);
  for (size_t i = 0; i < all.size(); ++i) t.insert(all[i], i);
  ASSERT_EQ(t.size(), all.size());
  for (size_t i = 0; i < all.size(); ++i) {
    const auto* e = t.address(hash64(all[i]));
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->first, all[i]);
    EXPECT_EQ(e->second, i);
  }
  size_t seen = 0;
  for (const auto& [h, entry] : t) seen += (h == hash64(entry.first));
  EXPECT_EQ(seen, all.size());
}

}  // namespace morvane
