#include "morvane/state/order_info.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "morvane/testing/states.h"

namespace morvane {

namespace {

using testing::bitwise_equal;
using testing::seeded;
using testing::Stops;

std::vector<size_t> as_vec(std::span<const uint8_t> s) { return {s.begin(), s.end()}; }

std::vector<Permut32> collect(const SymmetryPerms& perms) { return {perms.begin(), perms.end()}; }

}  // namespace

TEST(order_info, eqmask_table_keeps_runs_in_permutation_order) {
  const size_t sizes[16] = {1, 2, 2, 6, 2, 4, 6, 24, 2, 4, 4, 12, 6, 12, 24, 120};
  const auto& table = EQMASK_TO_PERMS();
  const auto& all = Permut32::all(5);
  for (unsigned m = 0; m < 16; ++m) {
    const auto& entry = table[m];
    EXPECT_EQ(entry.size(), sizes[m]) << m;
    // A subsequence of the 5-position enumeration, each member keeping adjacent run mates together.
    auto it = all.begin();
    for (Permut32 p : entry) {
      it = std::find(it, all.end(), p);
      ASSERT_NE(it, all.end()) << "entry " << m << " out of table order";
      ++it;
      for (uint8_t k = 0; k < 5; ++k) {
        uint8_t lo = k, hi = k;  // the run of k
        while (lo > 0 && (m >> (lo - 1)) & 1) --lo;
        while (hi < 4 && (m >> hi) & 1) ++hi;
        EXPECT_GE(p.at(k), lo);
        EXPECT_LE(p.at(k), hi);
      }
    }
  }
  EXPECT_TRUE(table[0][0].is_identity());
  ASSERT_EQ(table[1].size(), 2u);
  EXPECT_TRUE(table[1][0].is_identity());
  EXPECT_EQ(table[1][1].images(), (std::vector<uint8_t>{1, 0, 2, 3, 4}));
}

TEST(order_info, symmetric_state_is_one_class_with_every_permutation) {
  auto rng = seeded(1);
  StateVec s = StateVec::from_random_symmetric(rng, 3);
  OrderInfo info = s.get_orderinfo();
  EXPECT_EQ(as_vec(info.permut()), (std::vector<size_t>{0, 1, 2}));
  EXPECT_EQ(as_vec(info.eq_classes()), (std::vector<size_t>{3}));
  auto [perm, mask] = info.as_bits();
  EXPECT_TRUE(perm.is_identity());
  EXPECT_EQ(perm.len(), 3);
  EXPECT_EQ(mask, 0b110);
  auto [syms, sorting] = info.as_perms();
  EXPECT_EQ(sorting, perm);
  std::vector<Permut32> got = collect(syms), expected;
  for (Permut32 p : EQMASK_TO_PERMS()[3]) expected.push_back(p.shrink(3));
  EXPECT_EQ(got, expected);
  std::vector<uint32_t> raw, all3;
  for (Permut32 p : got) raw.push_back(p.raw);
  for (Permut32 p : Permut32::all(3)) all3.push_back(p.raw);
  std::sort(raw.begin(), raw.end());
  std::sort(all3.begin(), all3.end());
  EXPECT_EQ(raw, all3);
  ASSERT_EQ(syms.size(), 6u);
  EXPECT_EQ(syms[5], got[5]);

  auto six = StateVec::from_random_symmetric(rng, 6);
  EXPECT_THAT([&] { six.get_orderinfo().as_perms(); }, Stops("index out of bounds: the len is 16 but the index is 31"));
}

TEST(order_info, distinct_keys_give_singleton_classes_and_the_identity_only) {
  // Qubit q's key starts with re[2^q]; make them increase with q.
  std::vector<double> re(16, 0.0), im(16, 0.0);
  for (size_t q = 0; q < 4; ++q) re[size_t(1) << q] = 0.1 * double(q + 1);
  OrderInfo info = StateVec::make(re, im).get_orderinfo();
  EXPECT_EQ(as_vec(info.permut()), (std::vector<size_t>{0, 1, 2, 3}));
  EXPECT_EQ(as_vec(info.eq_classes()), (std::vector<size_t>{1, 2, 3, 4}));
  EXPECT_EQ(info.as_bits().second, 0);
  auto perms = collect(info.as_perms().first);
  ASSERT_EQ(perms.size(), 1u);
  EXPECT_EQ(perms[0], Permut32::identity(4));
}

TEST(order_info, tiny_states) {
  OrderInfo zero = StateVec::zeros(0).get_orderinfo();
  EXPECT_TRUE(zero.permut().empty());
  EXPECT_EQ(as_vec(zero.eq_classes()), (std::vector<size_t>{0}));
  EXPECT_EQ(zero.as_bits(), std::make_pair(Permut32::identity(0), uint8_t(0)));
  auto perms0 = collect(zero.as_perms().first);
  ASSERT_EQ(perms0.size(), 1u);
  EXPECT_EQ(perms0[0], Permut32::identity(0));
  EXPECT_EQ(StateVec::zeros(1).get_permutation(), Permut32::identity(1));
}

TEST(order_info, two_qubit_example_sorts_and_relabels) {
  StateVec s = StateVec::make(std::vector{0.0, 0.7, 0.1, 0.0}, std::vector{0.0, 0.0, 0.0, 0.0});
  OrderInfo info = s.get_orderinfo();
  EXPECT_EQ(as_vec(info.permut()), (std::vector<size_t>{1, 0}));
  Permut32 p = s.get_permutation();
  EXPECT_EQ(p.images(), (std::vector<uint8_t>{1, 0}));
  reserve_state_vec_cache(2);
  s.apply_permutation(p.inv());
  EXPECT_EQ(s, StateVec::make(std::vector{0.0, 0.1, 0.7, 0.0}, std::vector{0.0, 0.0, 0.0, 0.0}));
}

TEST(order_info, negative_key_parts_sort_last) {
  // Qubit 0's key starts with −0.001, qubit 1's with 0.5: qubit 1 comes first.
  StateVec s = StateVec::make(std::vector{0.0, -0.001, 0.5, 0.0}, std::vector{0.0, 0.0, 0.0, 0.0});
  EXPECT_EQ(as_vec(s.get_orderinfo().permut()), (std::vector<size_t>{1, 0}));
  // Keys that differ below the 2^-24 grid are equal: one class.
  StateVec t = StateVec::make(std::vector{0.0, 0.5, 0.5 + 1e-10, 0.0}, std::vector{0.0, 0.0, 0.0, 0.0});
  EXPECT_EQ(as_vec(t.get_orderinfo().eq_classes()), (std::vector<size_t>{2}));
}

TEST(order_info, sorting_a_later_class_is_stable_and_splits_in_place) {
  OrderInfo info(6);
  // First split: {0,1,2} key 0, {3,4,5} key 1.
  info.sort_eqclass_by_key(0, [](uint8_t q) { return q < 3 ? 0 : 1; });
  EXPECT_EQ(as_vec(info.eq_classes()), (std::vector<size_t>{3, 6}));
  // Class 1, even qubits first: 3 and 5 tie and keep their order.
  info.sort_eqclass_by_key(1, [](uint8_t q) { return q % 2 == 0 ? 0 : 1; });
  EXPECT_EQ(as_vec(info.permut()), (std::vector<size_t>{0, 1, 2, 4, 3, 5}));
  EXPECT_EQ(as_vec(info.eq_classes()), (std::vector<size_t>{3, 4, 6}));
  // A one-member class is left alone; eqmask marks 1-2, 4-5 (positions within a class).
  info.sort_eqclass_by_key(1, [](uint8_t) { return 0; });
  EXPECT_EQ(info.eqmask(), 0b100110);
  EXPECT_THAT([&] { info.sort_eqclass_by_key(3, [](uint8_t) { return 0; }); },
              Stops("index out of bounds: the len is 3 but the index is 3"));
}

TEST(order_info, relabelling_moves_amplitudes_and_its_inverse_restores_every_bit) {
  for (uint32_t n = 0; n <= 5; ++n) {
    reserve_state_vec_cache(n);
    auto rng = seeded(uint8_t(10 + n));
    const StateVec original = StateVec::from_random(rng, n);
    for (Permut32 p : Permut32::all(uint8_t(n))) {
      StateVec s = original;
      s.apply_permutation(p);
      for (size_t i = 0; i < s.len(); ++i) {
        size_t j = p.permut_bv(uint8_t(i));
        ASSERT_EQ(std::memcmp(&s.re()[j], &original.re()[i], sizeof(Qreal)), 0);
        ASSERT_EQ(std::memcmp(&s.im()[j], &original.im()[i], sizeof(Qreal)), 0);
      }
      s.apply_permutation(p.inv());
      ASSERT_TRUE(bitwise_equal(s, original)) << p.to_string();
    }
  }
  // The cache entries keep their sizes whatever was exchanged with them.
  const auto& entries = STATE_VEC_CACHE().entries;
  for (size_t k = 0; k < entries.size(); ++k) EXPECT_EQ(entries[k].nqubits(), k);
}

TEST(order_info, relabelling_refuses_missing_cache_and_unfit_permutations) {
  std::thread([&] {
    StateVec s = StateVec::zeros(3);
    EXPECT_THAT([&] { s.apply_permutation(Permut32::identity(3)); },
                Stops("index out of bounds: the len is 0 but the index is 3"));
    reserve_state_vec_cache(1);
    EXPECT_EQ(STATE_VEC_CACHE().entries.size(), 2u);
  }).join();

  reserve_state_vec_cache(3);
  StateVec s = StateVec::zeros(3);
  EXPECT_THAT([&] { s.apply_permutation(Permut32::identity(2)); },
              Stops("A permutation of 2 positions cannot relabel a state of 3 qubits"));
  // An image at or above the qubit count (a raw word no validated constructor makes).
  Permut32 bad = Permut32::identity(3);
  bad.set(1, 5);
  EXPECT_THAT([&] { s.apply_permutation(bad); }, Stops("index out of bounds: the len is 8 but the index is 32"));
  bad.set(1, 0);
  EXPECT_THAT([&] { s.apply_permutation(bad); }, Stops("Permutation values must be unique"));
  EXPECT_FALSE(STATE_VEC_CACHE().borrowed);
}

}  // namespace morvane

namespace morvane {

TEST(order_info, later_key_parts_decide_between_equal_first_parts) {
  // Amplitudes drawn from a few values, so that qubits often share some key parts but not all;
  // the order must be that of the four parts compared in full.
  ChaCha12Rng rng = seeded(7);
  const double values[] = {0.25, -0.25, 0.5, 0.25 + 1e-9};
  for (int round = 0; round < 500; ++round) {
    uint32_t n = 2 + uint32_t(round % 4);
    size_t len = size_t(1) << n;
    std::vector<double> re(len), im(len);
    for (size_t i = 0; i < len; ++i) {
      re[i] = values[rng.next_u64() % 4];
      im[i] = values[rng.next_u64() % 4];
    }
    StateVec s = StateVec::make(re, im);
    auto key = [&](size_t q) {
      size_t one = size_t(1) << q, rest = len - 1 - one;
      return std::array<uint64_t, 4>{s.re()[one].percision_repr(), s.im()[one].percision_repr(),
                                     s.re()[rest].percision_repr(), s.im()[rest].percision_repr()};
    };
    std::vector<size_t> order(n);
    for (size_t q = 0; q < n; ++q) order[q] = q;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return key(a) < key(b); });
    std::vector<size_t> ends;
    for (size_t k = 1; k < n; ++k)
      if (key(order[k - 1]) != key(order[k])) ends.push_back(k);
    ends.push_back(n);
    OrderInfo info = s.get_orderinfo();
    EXPECT_EQ(as_vec(info.permut()), order) << round;
    EXPECT_EQ(as_vec(info.eq_classes()), ends) << round;
  }
}

}  // namespace morvane

namespace morvane {

TEST(order_info, distinct_order_agrees_with_the_order_info) {
  // Random states, and states with first key parts made equal (exactly, or within one key step,
  // or on opposite sides of a rounding boundary) for some qubits.
  auto rng = seeded(21);
  size_t distinct = 0, refused = 0;
  for (int round = 0; round < 3000; ++round) {
    const uint32_t n = uint32_t(rng.next_u64() % 9);
    StateVec s = StateVec::from_random(rng, n);
    if (n >= 2 && round % 2) {
      const size_t a = size_t(1) << (rng.next_u64() % n), b = size_t(1) << (rng.next_u64() % n);
      const double base = s.re()[a].v;
      const double nudge[] = {0.0, std::ldexp(0.3, -24), std::ldexp(0.5, -24), -std::ldexp(0.5, -24), 1e-30};
      Complex c = s.at(b);
      c.re = base + nudge[rng.next_u64() % std::size(nudge)];
      s.set(b, c);
    }
    Permut32 perm, inverse;
    const bool fast = s.distinct_order(perm, inverse);
    const auto [sorting, eqmask] = s.get_orderinfo().as_bits();
    bool firsts_differ = true;
    for (uint32_t q = 0; q < n; ++q)
      for (uint32_t p = q + 1; p < n; ++p)
        firsts_differ = firsts_differ && s.re()[size_t(1) << q] != s.re()[size_t(1) << p];
    ASSERT_EQ(fast, firsts_differ) << round;
    if (!fast) {
      ++refused;
      continue;
    }
    ++distinct;
    ASSERT_EQ(perm, sorting) << round;
    ASSERT_EQ(inverse, sorting.inv()) << round;
    ASSERT_EQ(eqmask, 0) << round;
  }
  EXPECT_GT(distinct, 1000u);
  EXPECT_GT(refused, 300u);
}

TEST(order_info, relabelling_through_a_given_scratch_matches_the_cache) {
  auto rng = seeded(22);
  for (uint32_t n = 0; n <= 6; ++n) {
    reserve_state_vec_cache(n);
    StateVec scratch = StateVec::zeros(n);
    for (Permut32 p : Permut32::all(uint8_t(n))) {
      StateVec a = StateVec::from_random(rng, n), b = a;
      a.apply_permutation(p);
      b.apply_permutation(p, scratch);
      ASSERT_TRUE(bitwise_equal(a, b)) << n << " " << p.to_string();
    }
  }
  StateVec s = StateVec::zeros(3), small = StateVec::zeros(2);
  EXPECT_THAT([&] { s.apply_permutation(Permut32::identity(3), small); },
              Stops("assertion failed: the scratch vector has the state's length"));
}

TEST(order_info, relabelling_by_table_matches_the_cache) {
  auto rng = seeded(23);
  for (uint32_t n = 0; n <= 5; ++n) {
    reserve_state_vec_cache(n);
    RelabelTables tables(n);
    StateVec scratch = StateVec::zeros(n);
    for (Permut32 p : Permut32::all(uint8_t(n))) {
      EXPECT_EQ(tables.rank(p), p.lehmer_rank());
      StateVec a = StateVec::from_random(rng, n), b = a;
      a.apply_permutation(p);
      b.relabel(tables, p, scratch);
      ASSERT_TRUE(bitwise_equal(a, b)) << n << " " << p.to_string();
    }
  }
  RelabelTables three(3);
  StateVec s = StateVec::zeros(3), small = StateVec::zeros(2);
  EXPECT_THAT([&] { s.relabel(three, Permut32::identity(3), small); },
              Stops("assertion failed: relabelling tables and scratch vector fit the state"));
  EXPECT_THAT([&] { small.relabel(three, Permut32::identity(2), s); },
              Stops("assertion failed: relabelling tables and scratch vector fit the state"));
  StateVec other = StateVec::zeros(3);
  EXPECT_THAT([&] { s.relabel(three, Permut32::identity(2), other); },
              Stops("A permutation of 2 positions relabels no state of 3 qubits"));
  EXPECT_THAT([] { RelabelTables(6); }, Stops("Relabelling tables are kept for at most 5 qubits, got 6"));
}

}  // namespace morvane
