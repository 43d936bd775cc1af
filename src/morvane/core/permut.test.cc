#include "morvane/core/permut.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "morvane/testing/testing.h"

namespace morvane {

using testing::Stops;

namespace {
Permut32 P(std::initializer_list<uint8_t> images) { return Permut32::from_iter(std::vector<uint8_t>(images)); }

using Swaps = std::vector<std::pair<uint8_t, uint8_t>>;
}  // namespace

TEST(permut, identity_layout_and_display) {
  EXPECT_EQ(Permut32::identity(0).raw, 0u);
  EXPECT_EQ(Permut32::identity(0).to_string(), "()");
  EXPECT_EQ(Permut32::identity(3).raw, (3u << 24) + (2u << 6) + (1u << 3));
  EXPECT_EQ(Permut32::identity(3).to_string(), "(0 1 2)");
  Permut32 id8 = Permut32::identity(8);
  EXPECT_EQ(id8.len(), 8);
  EXPECT_EQ(id8.raw >> 24, 8u);
  EXPECT_EQ(id8.images(), (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7}));
  for (uint8_t n = 0; n <= 8; ++n) EXPECT_TRUE(Permut32::identity(n).is_identity()) << int(n);
  EXPECT_THAT([] { Permut32::identity(9); }, Stops("Permutation length must be less than or equal to 8"));
}

TEST(permut, from_iter_validates_values) {
  EXPECT_EQ(P({1, 0, 2}).raw, (3u << 24) + (2u << 6) + 1u);
  EXPECT_EQ(P({1, 0, 2}).to_string(), "(1 0 2)");
  Permut32 rev = P({7, 6, 5, 4, 3, 2, 1, 0});
  EXPECT_EQ(rev.len(), 8);
  EXPECT_EQ(rev.images(), (std::vector<uint8_t>{7, 6, 5, 4, 3, 2, 1, 0}));
  EXPECT_EQ(P({}).raw, 0u);
  // Distinct values below 8 need not be 0..n-1.
  EXPECT_EQ(P({3, 5}).images(), (std::vector<uint8_t>{3, 5}));
  EXPECT_FALSE(P({3, 5}).is_identity());
  EXPECT_THAT([] { P({0, 8}); }, Stops("Permutation values must be less than 8"));
  EXPECT_THAT([] { P({1, 1, 9}); }, Stops("Permutation values must be unique"));
  EXPECT_THAT([] { P({0, 1, 2, 3, 4, 5, 6, 7, 0}); }, Stops("Permutation values must be unique"));
}

TEST(permut, slots_and_length) {
  Permut32 p = Permut32::identity(3);
  EXPECT_EQ(p.at(5), 0);  // beyond the length: as stored
  p.set(1, 5);
  EXPECT_EQ(p.images(), (std::vector<uint8_t>{0, 5, 2}));
  p.set_len(2);
  EXPECT_EQ(p.to_string(), "(0 5)");
  EXPECT_EQ(p.at(2), 2);
  EXPECT_THAT([&] { (void)p.at(8); }, Stops("assertion failed: idx < 8"));
}

TEST(permut, composition_applies_the_right_operand_first) {
  EXPECT_EQ(P({1, 2, 0}) * P({1, 0, 2}), P({2, 1, 0}));
  EXPECT_EQ(P({}) * P({}), P({}));
  EXPECT_THAT([] { (void)(P({1, 0}) * P({1, 0, 2})); }, Stops("assertion failed: self.len() == other.len()"));
}

TEST(permut, inverse_undoes_every_permutation) {
  EXPECT_EQ(P({1, 2, 0}).inv(), P({2, 0, 1}));
  EXPECT_EQ(P({1, 2, 0}).inverse(), P({2, 0, 1}));
  for (uint8_t n = 0; n <= 8; ++n)
    for (Permut32 p : Permut32::all(n)) {
      ASSERT_TRUE((p * p.inv()).is_identity()) << p.to_string();
      ASSERT_EQ(p.inv() * p, Permut32::identity(n)) << p.to_string();
    }
}

TEST(permut, coordinate_permute_pads_the_shorter_with_fixed_points) {
  EXPECT_EQ(P({1, 0}).coordinate_permute(P({2, 0, 1})), std::make_pair(P({1, 0, 2}), P({2, 0, 1})));
  EXPECT_EQ(P({2, 0, 1}).coordinate_permute(P({1, 0})), std::make_pair(P({2, 0, 1}), P({1, 0, 2})));
  EXPECT_EQ(P({1, 0}).coordinate_permute(P({0, 1})), std::make_pair(P({1, 0}), P({0, 1})));
  EXPECT_EQ(P({}).coordinate_permute(P({1, 0, 3, 2})), std::make_pair(Permut32::identity(4), P({1, 0, 3, 2})));
}

TEST(permut, shrink_keeps_the_leading_images_only) {
  EXPECT_EQ(Permut32::identity(5).shrink(3), Permut32::identity(3));
  Permut32 s = P({4, 3, 2, 1, 0}).shrink(2);
  EXPECT_EQ(s.raw, (2u << 24) | (3u << 3) | 4u);
  EXPECT_EQ(P({1, 0}).shrink(0).raw, 0u);
}

TEST(permut, swap_inputs_exchanges_two_images) {
  EXPECT_EQ(P({0, 1, 2}).swap_inputs(0, 2), P({2, 1, 0}));
  EXPECT_EQ(P({3, 1, 0, 2}).swap_inputs(1, 3), P({3, 2, 0, 1}));
  EXPECT_EQ(P({3, 1}).swap_inputs(1, 1), P({3, 1}));
}

TEST(permut, permut_bv_moves_bits_to_their_images) {
  EXPECT_EQ(P({1, 2, 0}).permut_bv(0b011), 0b110);
  EXPECT_EQ(P({1, 2, 0}).permut_bv(0b100), 0b001);
  EXPECT_EQ(Permut32::identity(0).permut_bv(0xFF), 0);
  for (Permut32 p : Permut32::all(5))
    for (unsigned bv = 0; bv < 32; ++bv) {
      uint8_t moved = p.permut_bv(uint8_t(bv));
      ASSERT_EQ(p.inv().permut_bv(moved), bv) << p.to_string();
      ASSERT_EQ(std::popcount(moved), std::popcount(bv));
    }
  // Bit k goes to bit at(k).
  Permut32 q = P({6, 0, 7, 1, 5, 2, 4, 3});
  for (uint8_t k = 0; k < 8; ++k) EXPECT_EQ(q.permut_bv(uint8_t(1u << k)), 1u << q.at(k));
}

TEST(permut, generate_swaps_examples) {
  EXPECT_EQ(P({1, 2, 0}).generate_swaps(), (Swaps{{0, 2}, {1, 2}}));
  EXPECT_EQ(P({2, 0, 1}).generate_swaps(), (Swaps{{0, 2}, {0, 1}}));
  EXPECT_EQ(P({1, 0, 2}).generate_swaps(), (Swaps{{0, 1}}));
  EXPECT_EQ(P({1, 0}).generate_swaps(), (Swaps{{0, 1}}));
  for (uint8_t n = 0; n <= 8; ++n) EXPECT_TRUE(Permut32::identity(n).generate_swaps().empty());
  // The permutation itself is left alone.
  Permut32 p = P({2, 0, 1});
  (void)p.generate_swaps();
  EXPECT_EQ(p, P({2, 0, 1}));
}

TEST(permut, sorting_networks_sort_every_input) {
  for (size_t n = 0; n <= 8; ++n) {
    auto net = sorting_network(n);
    for (auto [a, b] : net) ASSERT_TRUE(a < b && b < n) << n;
    // Every 0/1 input, hence every input.
    for (unsigned bits = 0; bits < (1u << n); ++bits) {
      std::vector<int> v;
      for (size_t k = 0; k < n; ++k) v.push_back((bits >> k) & 1);
      for (auto [a, b] : net)
        if (v[a] > v[b]) std::swap(v[a], v[b]);
      ASSERT_TRUE(std::is_sorted(v.begin(), v.end())) << n << " " << bits;
    }
  }
  EXPECT_EQ(sorting_network(3).size(), 3u);
  EXPECT_EQ(sorting_network(8).size(), 19u);
  EXPECT_THAT([] { sorting_network(9); }, Stops("index out of bounds: the len is 9 but the index is 9"));
}

TEST(permut, generate_swaps_sort_the_images_of_every_permutation) {
  for (uint8_t n = 0; n <= 8; ++n)
    for (Permut32 p : Permut32::all(n)) {
      std::vector<uint8_t> images = p.images();
      for (auto [a, b] : p.generate_swaps()) {
        ASSERT_GT(images[a], images[b]) << p.to_string();  // only pairs out of order are yielded
        std::swap(images[a], images[b]);
      }
      ASSERT_TRUE(std::is_sorted(images.begin(), images.end())) << p.to_string();
    }
}

TEST(permut, all_lists_heaps_order) {
  std::vector<std::string> three;
  for (Permut32 p : Permut32::all(3)) three.push_back(p.to_string());
  EXPECT_EQ(three, (std::vector<std::string>{"(0 1 2)", "(1 0 2)", "(2 0 1)", "(0 2 1)", "(1 2 0)", "(2 1 0)"}));
  std::vector<std::string> four;
  for (size_t i = 0; i < 8; ++i) four.push_back(Permut32::all(4)[i].to_string());
  EXPECT_EQ(four, (std::vector<std::string>{"(0 1 2 3)", "(1 0 2 3)", "(2 0 1 3)", "(0 2 1 3)", "(1 2 0 3)",
                                            "(2 1 0 3)", "(3 1 0 2)", "(1 3 0 2)"}));
  ASSERT_EQ(Permut32::all(0).size(), 1u);
  EXPECT_EQ(Permut32::all(0)[0], Permut32::identity(0));
  size_t factorial = 1;
  for (uint8_t n = 1; n <= 8; ++n) {
    factorial *= n;
    const auto& all = Permut32::all(n);
    ASSERT_EQ(all.size(), factorial) << int(n);
    EXPECT_EQ(all[0], Permut32::identity(n));
    std::set<uint32_t> distinct;
    for (Permut32 p : all) {
      std::vector<uint8_t> images = p.images();
      std::sort(images.begin(), images.end());
      ASSERT_EQ(images, Permut32::identity(n).images()) << p.to_string();
      distinct.insert(p.raw);
    }
    EXPECT_EQ(distinct.size(), factorial);
  }
  EXPECT_EQ(&Permut32::all(8), &Permut32::all(8));
  EXPECT_THAT([] { Permut32::all(9); }, Stops("index out of bounds: the len is 9 but the index is 9"));
}

TEST(permut, from_iter_with_ext_fills_the_remaining_positions) {
  EXPECT_EQ(Permut32::from_iter_with_ext(4, std::vector<uint8_t>{1, 3}), P({1, 3, 2, 0}));
  EXPECT_EQ(Permut32::from_iter_with_ext(3, {}), Permut32::identity(3));
  EXPECT_EQ(Permut32::from_iter_with_ext(3, std::vector<uint8_t>{2}), P({2, 1, 0}));
  EXPECT_EQ(Permut32::from_iter_with_ext(3, std::vector<uint8_t>{0, 2}), P({0, 2, 1}));
  EXPECT_EQ(Permut32::from_iter_with_ext(2, std::vector<uint8_t>{1, 0, 5}), P({1, 0}));  // extra values ignored
  EXPECT_EQ(Permut32::from_iter_with_ext(0, std::vector<uint8_t>{4}), P({}));
  EXPECT_EQ(Permut32::from_iter_with_ext(8, std::vector<uint8_t>{7}), P({7, 1, 2, 3, 4, 5, 6, 0}));
  EXPECT_THAT(
      [] {
        Permut32::from_iter_with_ext(2, std::vector<uint8_t>{1, 1});
      },
      Stops("Permutation values must be unique"));
  // Out-of-range input stops instead of spilling into the length field.
  EXPECT_THAT([] { Permut32::from_iter_with_ext(12, {}); },
              Stops("Permutation length must be less than or equal to 8"));
  EXPECT_THAT(
      [] {
        Permut32::from_iter_with_ext(3, std::vector<uint8_t>{0, 40});
      },
      Stops("Permutation values must be less than 8"));
}

TEST(permut, values_read_without_checks_stop_where_they_are_used) {
  Permut32 long_one = Permut32::identity(8);
  long_one.set_len(15);
  EXPECT_EQ(long_one.len(), 15);
  EXPECT_THAT([&] { long_one.generate_swaps(); }, Stops("index out of bounds: the len is 9 but the index is 15"));
  EXPECT_THAT([&] { long_one.is_identity(); }, Stops("assertion failed: idx < 8"));
  EXPECT_THAT([&] { long_one.to_string(); }, Stops("assertion failed: idx < 8"));
}

TEST(permut, equality_and_hash_are_those_of_raw) {
  EXPECT_NE(Permut32::identity(2), Permut32::identity(3));
  EXPECT_NE(P({1, 0}), P({0, 1}));
  SipHasher13 a, b;
  P({1, 0, 2}).hash_into(a);
  b.write_u32(P({1, 0, 2}).raw);
  EXPECT_EQ(a.finish(), b.finish());
}

TEST(permut, lehmer_rank_numbers_permutations_in_lexicographic_order) {
  for (uint8_t n = 0; n <= 6; ++n) {
    std::vector<Permut32> sorted = Permut32::all(n);
    std::sort(sorted.begin(), sorted.end(), [](Permut32 a, Permut32 b) { return a.images() < b.images(); });
    for (uint32_t r = 0; r < sorted.size(); ++r) {
      ASSERT_EQ(sorted[r].lehmer_rank(), r) << sorted[r].to_string();
      ASSERT_EQ(Permut32::from_lehmer_rank(n, r), sorted[r]);
    }
  }
}

}  // namespace morvane
