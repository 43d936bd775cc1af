#include "morvane/core/record_map64.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <ranges>
#include <utility>

#include "morvane/core/chacha.h"

namespace morvane {

TEST(record_map64, agrees_with_an_ordered_map_across_blocks_and_growth) {
  // Keys that share their index bucket or tag byte must still be told apart by the key in their
  // record; at the index's full load keys overflow into the buckets after their own (and past the
  // last one to the first).
  RecordMap64<uint32_t> map;
  std::map<uint64_t, uint32_t> ref;
  std::vector<uint64_t> order;
  ChaCha12Rng rng(std::array<uint8_t, 32>{5});
  auto spread = [](uint64_t k) { return k * 0x9E3779B97F4A7C15ULL; };
  const uint32_t n = 2 * RecordMap64<uint32_t>::kBlockSize + 17;
  // A third of the keys small numbers (not hashes at all), the rest spread over 64 bits; all drawn
  // from few enough values to repeat.
  auto draw = [&] { return (rng.next_u64() % 3 == 0) ? rng.next_u64() % (4 * n) : spread(rng.next_u64() % (4 * n)); };
  for (uint32_t i = 0; i < n; ++i) {
    if (i == n / 2) map.reserve(4 * n);  // growing the index ahead keeps every record and the order
    uint64_t key = draw();
    // A hint from prefetch_record is taken when it names the key's record; a wrong one (another
    // key's record, or a number past the records) changes nothing.
    const uint32_t hints[] = {map.prefetch_record(key), map.prefetch_record(draw()), uint32_t(map.size() + i % 7)};
    auto [v, inserted] = map.try_emplace(key, hints[i % 3]);
    EXPECT_EQ(inserted, ref.count(key) == 0) << key;
    if (inserted) {
      EXPECT_EQ(*v, 0u);
      order.push_back(key);
    }
    *v += 1;
    ref[key] += 1;
    uint64_t probe = draw();
    map.prefetch(probe);
    map.prefetch_record(probe);  // a hint only: changes nothing
    const auto& cmap = map;
    const uint32_t* found = cmap.find(probe);
    EXPECT_EQ(found != nullptr, ref.count(probe) == 1);
    if (found) {
      EXPECT_EQ(*found, ref[probe]);
    }
  }
  ASSERT_EQ(map.size(), ref.size());
  // Iteration follows insertion order, each record with its key.
  size_t k = 0;
  for (const auto& [key, v] : map) {
    ASSERT_LT(k, order.size());
    EXPECT_EQ(key, order[k++]);
    EXPECT_EQ(v, ref[key]);
  }
  EXPECT_EQ(k, order.size());
  // A map is a forward range: range algorithms see the same records in the same order.
  static_assert(std::ranges::forward_range<const RecordMap64<uint32_t>>);
  std::vector<uint64_t> keys;
  std::ranges::transform(std::as_const(map), std::back_inserter(keys), [](const auto& r) { return r.first; });
  EXPECT_EQ(keys, order);
  // Records and their values survive a move.
  RecordMap64<uint32_t> moved = std::move(map);
  for (const auto& [key, v] : ref) {
    ASSERT_NE(moved.find(key), nullptr);
    EXPECT_EQ(*moved.find(key), v);
  }
  EXPECT_EQ(moved.try_emplace(order[0]).second, false);
  EXPECT_GE(moved.bytes(), moved.size() * sizeof(RecordMap64<uint32_t>::Record));
}

TEST(record_map64, empty_map_finds_nothing) {
  RecordMap64<int> map;
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.find(0), nullptr);
  EXPECT_EQ(map.begin(), map.end());
}

}  // namespace morvane
