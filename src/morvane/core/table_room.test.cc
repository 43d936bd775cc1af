#include "morvane/core/table_room.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

namespace morvane {

namespace {

TEST(table_room, a_table_given_room_never_grows_itself) {
  // Through many growths, from an empty table, one element and many at a time: the insertions
  // after make_room never change the capacity (absl would have grown the table itself), and every
  // element is kept.
  for (const size_t batch : {1, 3, 100}) {
    absl::flat_hash_set<std::string> set;
    absl::flat_hash_map<uint64_t, std::string> map;
    size_t next = 0;
    while (set.size() < 20000) {
      make_room(set, batch);
      make_room(map, batch);
      const size_t set_capacity = set.capacity(), map_capacity = map.capacity();
      for (size_t k = 0; k < batch; ++k, ++next) {
        set.insert(std::to_string(next));
        map.emplace(next, std::to_string(next));
      }
      ASSERT_EQ(set.capacity(), set_capacity) << set.size();
      ASSERT_EQ(map.capacity(), map_capacity) << map.size();
    }
    for (size_t k = 0; k < next; ++k) {
      ASSERT_TRUE(set.contains(std::to_string(k))) << k;
      ASSERT_EQ(map.at(k), std::to_string(k)) << k;
    }
    EXPECT_EQ(set.size(), next);
    EXPECT_EQ(map.size(), next);
  }
}

TEST(table_room, room_is_made_only_when_lacking) {
  absl::flat_hash_set<int> set;
  make_room(set, 10);
  const size_t capacity = set.capacity();
  EXPECT_GT(capacity, 10u);
  for (int k = 0; k < 5; ++k) set.insert(k);
  make_room(set, 3);
  EXPECT_EQ(set.capacity(), capacity);
  make_room(set, capacity);
  EXPECT_GT(set.capacity(), 2 * capacity);
  for (int k = 0; k < 5; ++k) EXPECT_TRUE(set.contains(k));
}

}  // namespace

}  // namespace morvane
