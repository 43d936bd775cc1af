#include "morvane/core/key_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <numeric>
#include <random>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

namespace morvane {
namespace {

// A value and its position before the sort: records that compare equal by value must keep their
// order, which the position shows.
using Tagged = std::pair<uint64_t, uint32_t>;

bool value_less(const Tagged& a, const Tagged& b) { return a.first < b.first; }

// Values of `n` records drawn in one of several shapes: spread over all 64 bits, few distinct ones
// (many equal keys), differing only in the low bits that carry positions (the comparison decides
// them), or sharing their top bytes (passes that all keys share are skipped).
std::vector<Tagged> values(size_t n, int shape, std::mt19937_64& rng) {
  std::vector<Tagged> out;
  for (size_t k = 0; k < n; ++k) {
    uint64_t v = rng();
    switch (shape) {
      case 0: break;
      case 1:
        v %= 7;
        v <<= 61;
        break;
      case 2: v = (uint64_t(0xAB) << 56) | (v & 0xFFF); break;
      case 3: v = (uint64_t(0x1234) << 48) | (v >> 40); break;
    }
    out.emplace_back(v, uint32_t(k));
  }
  return out;
}

class KeySortTest : public ::testing::TestWithParam<std::tuple<size_t, int>> {};

TEST_P(KeySortTest, SortsAsStableSortDoes) {
  auto [n, shape] = GetParam();
  std::mt19937_64 rng(n * 31 + size_t(shape));
  for (int keyed = 0; keyed < 2; ++keyed) {
    std::vector<Tagged> records = values(n, shape, rng);
    std::vector<Tagged> expected = records;
    std::stable_sort(expected.begin(), expected.end(), value_less);
    // Keys that are the values themselves, or only their top 20 bits (a prefix of the order).
    std::vector<uint64_t> keys;
    for (const Tagged& r : records) keys.push_back(keyed ? r.first : r.first & ~((uint64_t(1) << 44) - 1));
    stable_sort_by_keys(records, std::move(keys), value_less);
    EXPECT_EQ(records, expected) << "n " << n << " shape " << shape << " keyed " << keyed;
  }
}

TEST_P(KeySortTest, SortsPlainIntegersByThemselves) {
  auto [n, shape] = GetParam();
  std::mt19937_64 rng(n * 17 + size_t(shape));
  std::vector<uint64_t> records;
  for (const Tagged& r : values(n, shape, rng)) records.push_back(r.first);
  std::vector<uint64_t> expected = records;
  std::sort(expected.begin(), expected.end());
  stable_sort_by_keys(records, records, std::less<>());
  EXPECT_EQ(records, expected);
}

INSTANTIATE_TEST_SUITE_P(key_sort, KeySortTest,
                         ::testing::Combine(::testing::Values(0, 1, 2, 3, 255, 256, 4096, 4097, 20000),
                                            ::testing::Values(0, 1, 2, 3)));

TEST(key_sort, MoveToPlacesPutsEachRecordAtItsPlace) {
  // Within one block, across blocks, and a last block that is not full.
  for (size_t n : {0, 1, 2, 4096, 4097, 3 * 4096 + 5}) {
    std::mt19937_64 rng(n);
    std::vector<uint32_t> place(n);
    std::iota(place.begin(), place.end(), 0u);
    std::shuffle(place.begin(), place.end(), rng);
    std::vector<uint64_t> records(n);
    for (size_t k = 0; k < n; ++k) records[k] = uint64_t(k) * 1000003;
    std::vector<uint32_t> consumed = place;
    move_to_places(std::span<uint64_t>(records), std::span<uint32_t>(consumed));
    bool all = true;
    for (size_t k = 0; k < n; ++k) all = all && records[place[k]] == uint64_t(k) * 1000003;
    EXPECT_TRUE(all) << "n " << n;
  }
}

}  // namespace
}  // namespace morvane
