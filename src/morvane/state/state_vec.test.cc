#include "morvane/state/state_vec.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <nlohmann/json.hpp>

#include "morvane/core/siphash.h"
#include "morvane/state/order_info.h"
#include "morvane/testing/states.h"

namespace morvane {

namespace {

using testing::bitwise_equal;
using testing::seeded;
using testing::Stops;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

TEST(state_vec, from_random_draws_re_then_im_in_index_order) {
  for (uint32_t n : {0u, 1u, 3u, 5u}) {
    auto rng = seeded(uint8_t(n + 1)), manual = seeded(uint8_t(n + 1));
    StateVec s = StateVec::from_random(rng, n);
    std::vector<double> re(size_t(1) << n), im(size_t(1) << n);
    for (double& x : re) x = manual.next_f64();
    for (double& x : im) x = manual.next_f64();
    StateVec expected = StateVec::make(re, im);
    expected.normalize();
    EXPECT_TRUE(bitwise_equal(s, expected));
    EXPECT_TRUE(s.check());
    EXPECT_EQ(s.im()[0].v, 0.0);
    // The generator moved on by exactly the draws made.
    EXPECT_EQ(rng.next_u64(), manual.next_u64());
  }
}

TEST(state_vec, from_random_symmetric_draws_one_value_per_weight) {
  const uint32_t n = 4;
  auto rng = seeded(9), manual = seeded(9);
  StateVec s = StateVec::from_random_symmetric(rng, n);
  std::vector<double> r(n + 1), m(n + 1);
  for (double& x : r) x = manual.next_f64();
  for (double& x : m) x = manual.next_f64();
  std::vector<double> re(16), im(16);
  for (size_t i = 0; i < 16; ++i) {
    re[i] = r[std::popcount(i)];
    im[i] = m[std::popcount(i)];
  }
  StateVec expected = StateVec::make(re, im);
  expected.normalize();
  EXPECT_TRUE(bitwise_equal(s, expected));
  EXPECT_EQ(rng.next_u64(), manual.next_u64());
}

TEST(state_vec, sizes_that_cannot_be_held_stop_before_allocating) {
  // A 31-qubit state would need 32 GiB: the stop must come before any allocation is tried.
  for (uint32_t n : {28u, 29u, 31u}) {
    EXPECT_THAT([&] { StateVec::zeros(n); }, Stops("capacity overflow"));
    auto rng = seeded(1);
    EXPECT_THAT([&] { StateVec::from_random(rng, n); }, Stops("capacity overflow"));
    EXPECT_THAT([&] { StateVec::from_random_symmetric(rng, n); }, Stops("capacity overflow"));
  }
  for (uint32_t n : {32u, 40u, 0xFFFFFFFFu}) {
    auto rng = seeded(1);
    const char* msg = "Number of qubits too large, resulting in overflow for state vector size.";
    EXPECT_THAT([&] { StateVec::zeros(n); }, Stops(msg));
    EXPECT_THAT([&] { StateVec::from_random(rng, n); }, Stops(msg));
    EXPECT_THAT([&] { StateVec::from_random_symmetric(rng, n); }, Stops(msg));
  }
  EXPECT_EQ(StateVec::zeros(3).len(), 8u);
}

TEST(state_vec, hash_stream_is_counts_and_keys) {
  std::ifstream in(MORVANE_SOURCE_DIR "/src/morvane/core/testdata/hash_vectors.json");
  ASSERT_TRUE(in.good());
  auto doc = nlohmann::json::parse(in);
  bool found = false;
  for (const auto& v : doc["vectors"])
    if (v["what"] == "StateVec([1.0], [0.0])") {
      found = true;
      EXPECT_EQ(StateVec::make(std::vector{1.0}, std::vector{0.0}).hash_value(), v["u64"].get<uint64_t>());
    }
  EXPECT_TRUE(found);

  // A longer state (more than one chunk of keys) against the stream written out by hand.
  std::vector<double> re(128), im(128);
  for (size_t i = 0; i < 128; ++i) {
    re[i] = 0.001 * double(i) - 0.05;
    im[i] = -0.002 * double(i);
  }
  SipHasher13 h;
  h.write_u32(128);
  for (double x : re) h.write_u64(uint64_t(int64_t(std::round(x * 16777216.0))));
  h.write_u32(128);
  for (double x : im) h.write_u64(uint64_t(int64_t(std::round(x * 16777216.0))));
  EXPECT_EQ(StateVec::make(re, im).hash_value(), h.finish());
}

TEST(state_vec, hash_agrees_with_the_byte_stream_of_scalar_keys) {
  // Random parts with NaN, signed zeros, huge values and exact halves of a key step among them,
  // for every length up to two chunks of the hash's key buffer.
  std::mt19937_64 rng(5);
  const double specials[] = {std::nan(""),
                             0.0,
                             -0.0,
                             1e300,
                             -1e300,
                             HUGE_VAL,
                             -HUGE_VAL,
                             std::ldexp(0.5, -24),
                             -std::ldexp(0.5, -24),
                             std::ldexp(2.5, -24),
                             std::ldexp(1.0, 28),
                             -std::ldexp(1.0, 27) - std::ldexp(0.5, -24)};
  for (size_t len = 1; len <= 256; len *= 2)
    for (int round = 0; round < 20; ++round) {
      std::vector<double> re(len), im(len);
      for (auto* part : {&re, &im})
        for (double& x : *part) {
          uint64_t bits = rng();
          x = bits % 4 == 0 ? specials[(bits >> 8) % std::size(specials)] : double(int64_t(bits)) / 9.3e18;
        }
      SipHasher13 h;
      h.write_u32(uint32_t(len));
      for (double x : re) h.write_u64(Qreal(x).percision_repr());
      h.write_u32(uint32_t(len));
      for (double x : im) h.write_u64(Qreal(x).percision_repr());
      ASSERT_EQ(StateVec::make(re, im).hash_value(), h.finish()) << len << " " << round;
    }
}

TEST(state_vec, hashes_of_several_states_are_their_own_hashes) {
  // Batches of every size up to seventeen, of one length or mixed, with values the vector rounding leaves
  // to the scalar one (NaN, huge) in some states.
  std::mt19937_64 rng(6);
  const double specials[] = {std::nan(""), -0.0, 1e300, -HUGE_VAL, std::ldexp(0.5, -24), -std::ldexp(2.5, -24)};
  auto state = [&](size_t len, bool special) {
    std::vector<double> re(len), im(len);
    for (auto* part : {&re, &im})
      for (double& x : *part) {
        uint64_t bits = rng();
        x = special && bits % 16 == 0 ? specials[(bits >> 8) % std::size(specials)] : double(int64_t(bits)) / 9.3e18;
      }
    return StateVec::make(re, im);
  };
  for (size_t len : {1, 2, 4, 8, 16, 32, 64})
    for (size_t count = 0; count <= 17; ++count)
      for (int round = 0; round < 6; ++round) {
        std::vector<StateVec> states;
        for (size_t k = 0; k < count; ++k) states.push_back(state(round % 3 == 2 && k % 2 ? 2 * len : len, round % 2));
        std::vector<const StateVec*> ptrs;
        for (const StateVec& st : states) ptrs.push_back(&st);
        std::vector<uint64_t> out(count + 1, 7);
        StateVec::hash_values(ptrs, out.data());
        for (size_t k = 0; k < count; ++k) ASSERT_EQ(out[k], states[k].hash_value()) << len << " " << count << " " << k;
        EXPECT_EQ(out[count], 7u);  // nothing written past the end
      }
}

TEST(state_vec, order_compares_re_keys_then_im_keys_unsigned) {
  auto sv = [](std::vector<double> re, std::vector<double> im) { return StateVec::make(re, im); };
  // Negative keys order after non-negative ones.
  EXPECT_LT(sv({0.9, 0}, {0, 0}), sv({-0.001, 0}, {0, 0}));
  // The first unequal re pair decides, whatever im holds.
  EXPECT_LT(sv({0.1, 0.2}, {0.9, 0.9}), sv({0.1, 0.3}, {0, 0}));
  // Equal re: im decides.
  EXPECT_LT(sv({0.1, 0.2}, {0.0, 0.5}), sv({0.1, 0.2}, {0.0, 0.6}));
  // Tolerant: within one key the states are equal and hash alike.
  StateVec a = sv({1.0, 0}, {0, 0}), b = sv({1.0 + std::ldexp(1.0, -26), 0}, {0, -0.0});
  EXPECT_EQ(a, b);
  EXPECT_EQ(a <=> b, std::strong_ordering::equal);
  EXPECT_EQ(a.hash_value(), b.hash_value());
  // A shorter state orders first on a common prefix and is never equal.
  StateVec one = sv({1.0}, {0.0}), two = sv({1.0, 0.0}, {0.0, 0.0});
  EXPECT_LT(one, two);
  EXPECT_NE(one, two);
  // Past a long prefix of equal values, at either element of a pair; values of one key (and NaN
  // against NaN) compare equal.
  std::vector<double> base(8, 0.25);
  base[7] = std::nan("");
  for (size_t at = 0; at < 7; ++at) {
    std::vector<double> low = base, high = base, near = base;
    high[at] = 0.5;
    near[at] = 0.25 + std::ldexp(1.0, -27);
    EXPECT_LT(sv(low, base), sv(high, base)) << at;
    EXPECT_GT(sv(base, high), sv(base, low)) << at;
    EXPECT_EQ(sv(near, base) <=> sv(low, base), std::strong_ordering::equal) << at;
  }
}

TEST(state_vec, copy_from_reuses_the_arrays) {
  auto rng = seeded(3);
  StateVec src = StateVec::from_random(rng, 4);
  StateVec dst = StateVec::zeros(4);
  const Qreal* re_before = dst.re().data();
  const Qreal* im_before = dst.im().data();
  dst.copy_from(src);
  EXPECT_EQ(dst.re().data(), re_before);
  EXPECT_EQ(dst.im().data(), im_before);
  EXPECT_TRUE(bitwise_equal(dst, src));
  // Other lengths are taken over too.
  StateVec small = StateVec::zeros(1);
  small.copy_from(src);
  EXPECT_TRUE(bitwise_equal(small, src));
  EXPECT_EQ(small.nqubits(), 4u);
}

TEST(state_vec, normalize_of_zero_vector_gives_nan_with_real_first_amplitude) {
  StateVec s = StateVec::zeros(2);
  s.normalize();
  for (size_t i = 0; i < s.len(); ++i) {
    EXPECT_TRUE(std::isnan(s.re()[i].v));
    if (i) {
      EXPECT_TRUE(std::isnan(s.im()[i].v));
    }
  }
  EXPECT_TRUE(same_bits(s.im()[0].v, 0.0));
  EXPECT_FALSE(s.check());
}

TEST(state_vec, normalize_arg_falls_back_to_the_phase_of_the_sum) {
  // First and last amplitudes near zero: the reference is the sum 0.5i + 0.5i, so the phase −i.
  StateVec s = StateVec::make(std::vector{1e-9, 0.0, 0.0, 0.0}, std::vector{0.0, 0.5, 0.5, 1e-9});
  s.normalize_arg();
  EXPECT_NEAR(s.re()[1].v, 0.5, 1e-8);
  EXPECT_NEAR(s.im()[1].v, 0.0, 1e-8);
  EXPECT_NEAR(s.re()[2].v, 0.5, 1e-8);
  EXPECT_TRUE(same_bits(s.im()[0].v, 0.0));
}

TEST(state_vec, normalising_the_order_key_amplitudes_gives_them_the_bits_of_normalize_arg) {
  // Every kind of phase reference: amplitude 0, the last one, the sum of all.
  for (uint32_t n = 1; n <= 6; ++n) {
    for (int reference = 0; reference < 3; ++reference) {
      ChaCha12Rng rng = seeded(uint8_t(n), uint8_t(reference));
      StateVec s = StateVec::from_random(rng, n);
      if (reference >= 1) s.set(0, Complex{1e-9, 0.0});
      if (reference == 2) s.set(s.len() - 1, Complex{0.0, -1e-9});
      StateVec partial = s, full = s;
      partial.normalize_arg_order_keys();
      full.normalize_arg();
      for (size_t one = 1; one < s.len(); one <<= 1)
        for (size_t i : {one, s.len() - 1 - one}) {
          EXPECT_TRUE(same_bits(partial.re()[i].v, full.re()[i].v)) << n << " " << reference << " " << i;
          EXPECT_TRUE(same_bits(partial.im()[i].v, full.im()[i].v)) << n << " " << reference << " " << i;
        }
      EXPECT_EQ(partial.get_orderinfo(), full.get_orderinfo());
    }
  }
}

TEST(state_vec, at_and_set_check_the_index) {
  StateVec s = StateVec::zeros(1);
  s.set(1, Complex{0.25, -0.5});
  EXPECT_EQ(s.at(1).re.v, 0.25);
  EXPECT_EQ(s.at(1).im.v, -0.5);
  EXPECT_THAT([&] { s.at(2); }, Stops("index out of bounds: the len is 2 but the index is 2"));
  EXPECT_THAT([&] { s.set(5, Complex{}); }, Stops("index out of bounds: the len is 2 but the index is 5"));
}

}  // namespace morvane
