#include "morvane/core/qreal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include <cmath>
#include <limits>
#include <vector>

namespace morvane {

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kTiny = std::ldexp(1.0, -25);  // half a key step
const double kStep = std::ldexp(1.0, -24);

uint64_t hash_of(Qreal q) {
  SipHasher13 h;
  q.hash_into(h);
  return h.finish();
}
}  // namespace

TEST(qreal, key_rounds_half_away_from_zero_and_saturates) {
  struct Case {
    double x;
    uint64_t key;
  };
  const Case cases[] = {
      {0.0, 0},
      {-0.0, 0},
      {1.0, 1ull << 24},
      {kTiny, 1},       // 0.5 rounds up
      {-kTiny, ~0ull},  // -1 read as unsigned
      {2.5 * kStep, 3},
      {-2.5 * kStep, uint64_t(-3)},
      {0.49 * kStep, 0},
      {kNaN, 0},
      {kInf, uint64_t(INT64_MAX)},
      {-kInf, 1ull << 63},
      {std::ldexp(1.0, 39), uint64_t(INT64_MAX)},                    // 2^63 after scaling
      {9223372036854774784.0 / 16777216.0, 9223372036854774784ull},  // the largest unsaturated key
      {-std::ldexp(1.0, 39), 1ull << 63},
      {1e300, uint64_t(INT64_MAX)},
  };
  for (const Case& c : cases) EXPECT_EQ(Qreal(c.x).percision_repr(), c.key) << c.x;
}

TEST(qreal, inline_rounding_agrees_with_the_library_round) {
  std::mt19937_64 rng(7);
  auto reference = [](double x) { return static_cast<uint64_t>(detail::saturating_i64(std::round(x * 16777216.0))); };
  for (int i = 0; i < 200000; ++i) {
    double x;
    uint64_t bits = rng();
    switch (i % 4) {
      case 0: std::memcpy(&x, &bits, 8); break;                                                // any double
      case 1: x = std::ldexp(double(int64_t(bits >> 20)) + 0.5, -24 - int(bits & 31)); break;  // halfway points
      case 2: x = std::ldexp(double(int64_t(bits)) / 9.2e18, int(bits % 80) - 40); break;
      default: x = -std::ldexp(double(bits >> 11) / 9.0e15, int(bits % 70) - 30); break;
    }
    ASSERT_EQ(Qreal(x).percision_repr(), reference(x)) << x;
  }
}

/// Values where a rounding shortcut would go wrong: zeros, NaN, infinities, the saturation and
/// fast-path limits, exact halves of a key step and their neighbours, subnormals.
std::vector<double> edge_values() {
  std::vector<double> v = {0.0, -0.0, kNaN, -kNaN, kInf, -kInf, 1e300, -1e300, 5e-324, -5e-324, 1.0, -1.0};
  for (int e : {51, 52, 53, 62, 63, 64}) {
    double big = std::ldexp(1.0, e - 24);  // scales to 2^e
    for (double x : {big, std::nextafter(big, 0.0), std::nextafter(big, kInf)}) {
      v.push_back(x);
      v.push_back(-x);
    }
  }
  for (double k : {0.0, 1.0, 2.0, 3.0, 1e6, 4503599627370495.0, 2251799813685247.0}) {
    double half = std::ldexp(k + 0.5, -24);
    for (double x : {half, std::nextafter(half, 0.0), std::nextafter(half, kInf), std::ldexp(k, -24)}) {
      v.push_back(x);
      v.push_back(-x);
    }
  }
  return v;
}

TEST(qreal, batch_keys_agree_with_the_scalar_key) {
  std::mt19937_64 rng(11);
  std::vector<double> edges = edge_values();
  auto reference = [](double x) { return static_cast<uint64_t>(detail::saturating_i64(std::round(x * 16777216.0))); };
  for (int round = 0; round < 4000; ++round) {
    // Odd and even lengths, so that the pairwise steps and the scalar tail both run; edge values
    // mixed with ordinary amplitudes, so that a pair may hold one of each.
    std::vector<Qreal> xs(rng() % 40);
    for (Qreal& x : xs) {
      uint64_t bits = rng();
      switch (bits % 5) {
        case 0: x = edges[(bits >> 8) % edges.size()]; break;
        case 1: std::memcpy(&x.v, &bits, 8); break;
        case 2: x = std::ldexp(double(int64_t(bits >> 20)) + 0.5, -24 - int(bits & 31)); break;
        default: x = double(int64_t(bits)) / 9.3e18; break;  // amplitudes in (-1, 1)
      }
    }
    std::vector<uint64_t> keys(xs.size() + 1, 12345);
    percision_reprs(xs.data(), xs.size(), keys.data());
    for (size_t i = 0; i < xs.size(); ++i) {
      ASSERT_EQ(keys[i], xs[i].percision_repr()) << xs[i].v;
      ASSERT_EQ(keys[i], reference(xs[i].v)) << xs[i].v;
    }
    EXPECT_EQ(keys.back(), 12345u);  // nothing written past the end
  }
  std::vector<Qreal> all(edges.begin(), edges.end());
  std::vector<uint64_t> keys(all.size());
  percision_reprs(all.data(), all.size(), keys.data());
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(keys[i], reference(all[i].v)) << all[i].v;
}

TEST(qreal, equality_and_hash_follow_the_key) {
  EXPECT_EQ(Qreal(0.0), Qreal(-0.0));
  EXPECT_EQ(hash_of(0.0), hash_of(-0.0));
  EXPECT_EQ(Qreal(1.0), Qreal(1.0 + std::ldexp(1.0, -26)));
  EXPECT_EQ(hash_of(1.0), hash_of(1.0 + std::ldexp(1.0, -26)));
  EXPECT_NE(Qreal(kTiny), Qreal(0.0));
  EXPECT_EQ(Qreal(kNaN), Qreal(0.0));
  EXPECT_EQ(hash_of(kNaN), hash_of(0.0));
  EXPECT_EQ(Qreal(kInf), Qreal(1e12));  // both saturate
  EXPECT_NE(Qreal(kInf), Qreal(-kInf));
  // The hash stream is the key as 8 little-endian bytes.
  SipHasher13 h;
  h.write_u64(1ull << 24);
  EXPECT_EQ(hash_of(1.0), h.finish());
}

TEST(qreal, order_puts_negative_keys_after_non_negative_ones) {
  EXPECT_LT(Qreal(0.0), Qreal(kTiny));
  EXPECT_LT(Qreal(kInf), Qreal(-kTiny));  // -2^-25 has the largest key
  EXPECT_LT(Qreal(5.0), Qreal(-1.0));
  EXPECT_LT(Qreal(-1.0), Qreal(-0.5));
  EXPECT_LT(Qreal(kInf), Qreal(-kInf));
  EXPECT_LT(Qreal(-kInf), Qreal(-1e10));
  EXPECT_LT(Qreal(-1e10), Qreal(-1.0));
  EXPECT_EQ(Qreal(kNaN) <=> Qreal(0.0), std::strong_ordering::equal);
  EXPECT_EQ(Qreal(1.0) <=> Qreal(1.0 + std::ldexp(1.0, -26)), std::strong_ordering::equal);
}

TEST(qreal, near_zero_is_strictly_below_the_step) {
  EXPECT_FALSE(Qreal(kStep).near_zero());
  EXPECT_TRUE(Qreal(kStep * 0.999).near_zero());
  EXPECT_TRUE(Qreal(-kStep * 0.999).near_zero());
  EXPECT_FALSE(Qreal(-kStep).near_zero());
  EXPECT_TRUE(Qreal(-0.0).near_zero());
  EXPECT_FALSE(Qreal(kNaN).near_zero());
}

TEST(qreal, loose_eq_truncates_on_a_grid_of_1_256) {
  EXPECT_TRUE(Qreal(0.0039).loose_eq(-0.0039));
  EXPECT_TRUE(Qreal(1.0).loose_eq(1.0039));
  EXPECT_FALSE(Qreal(1.0).loose_eq(1.004));
  EXPECT_FALSE(Qreal(0.00390625).loose_eq(0.0039));
  EXPECT_TRUE(Qreal(-1.0).loose_eq(-1.0039));
  EXPECT_FALSE(Qreal(1.0).loose_eq(-1.0));
  EXPECT_TRUE(Qreal(kNaN).loose_eq(0.0));
  EXPECT_TRUE(Qreal(kInf).loose_eq(1e300));
}

TEST(qreal, arithmetic_is_plain_float_arithmetic) {
  EXPECT_EQ((Qreal(0.1) + Qreal(0.2)).v, 0.1 + 0.2);
  EXPECT_EQ((Qreal(1.0) / Qreal(3.0)).v, 1.0 / 3.0);
  EXPECT_EQ((-Qreal(0.0)).v, -0.0);
  EXPECT_TRUE(std::signbit((-Qreal(0.0)).v));
  Qreal q = 1.5;
  q *= 2.0;
  q -= 0.25;
  q /= 2.0;
  q += kTiny;
  EXPECT_EQ(q.v, 1.375 + kTiny);
  EXPECT_EQ(Qreal(2.0).sqrt().v, std::sqrt(2.0));
}

TEST(qreal, display_is_plain_decimal) {
  struct Case {
    double x;
    const char* text;
  };
  const Case cases[] = {
      {1.0, "1"},
      {0.1, "0.1"},
      {0.5, "0.5"},
      {-0.0, "-0"},
      {-2.75, "-2.75"},
      {kNaN, "NaN"},
      {-kNaN, "NaN"},
      {kInf, "inf"},
      {-kInf, "-inf"},
      {1e21, "1000000000000000000000"},
      {1e-7, "0.0000001"},
      {123456789.125, "123456789.125"},
      {0.30000000000000004, "0.30000000000000004"},
      {9007199254740993.0, "9007199254740992"},
  };
  for (const Case& c : cases) EXPECT_EQ(fmt::format("{}", Qreal(c.x)), c.text) << c.x;
  EXPECT_EQ(fmt::format("{}", Qreal(5e-324)), "0." + std::string(323, '0') + "5");
  std::string max = fmt::format("{}", Qreal(std::numeric_limits<double>::max()));
  EXPECT_EQ(max.size(), 309u);
  EXPECT_EQ(max.substr(0, 17), "17976931348623157");
}

TEST(qreal, display_with_precision_and_sign) {
  EXPECT_EQ(fmt::format("{:.4}", Qreal(1.0)), "1.0000");
  EXPECT_EQ(fmt::format("{:.4}", Qreal(-0.0)), "-0.0000");
  EXPECT_EQ(fmt::format("{:.4}", Qreal(-1e-9)), "-0.0000");
  EXPECT_EQ(fmt::format("{:.4}", Qreal(0.00005)), "0.0001");  // 0.00005 is slightly above the tie
  EXPECT_EQ(fmt::format("{:.0}", Qreal(2.5)), "2");           // an exact tie goes to even
  EXPECT_EQ(fmt::format("{:.2}", Qreal(1e21)), "1000000000000000000000.00");
  EXPECT_EQ(fmt::format("{:+.4}", Qreal(0.25)), "+0.2500");
  EXPECT_EQ(fmt::format("{:+.4}", Qreal(-0.25)), "-0.2500");
  EXPECT_EQ(fmt::format("{:+}", Qreal(1.0)), "+1");
  EXPECT_EQ(fmt::format("{:+}", Qreal(-0.0)), "-0");
  EXPECT_EQ(fmt::format("{:+}", Qreal(kInf)), "+inf");
  EXPECT_EQ(fmt::format("{:+.4}", Qreal(kNaN)), "NaN");
  EXPECT_EQ(fmt::format("{:.4}", Qreal(-kInf)), "-inf");
  EXPECT_EQ(fmt::format("{:.4}{:+.4}j", Qreal(0.5), Qreal(-0.25)), "0.5000-0.2500j");
  // Precisions beyond any fixed buffer.
  std::string wide = fmt::format("{:.500}", Qreal(-std::numeric_limits<double>::max()));
  EXPECT_EQ(wide.size(), 1 + 309 + 1 + 500u);
  EXPECT_EQ(wide.substr(wide.size() - 3), "000");
  EXPECT_EQ(format_decimal(1.0 / 3.0, 1000).size(), 1002u);
}

}  // namespace morvane
