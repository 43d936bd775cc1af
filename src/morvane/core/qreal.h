#pragma once
// Tolerant reals: a plain double for arithmetic whose equality, hash and order look at the value
// quantised to a grid of 2^-24 (the key). Keys compare as unsigned 64-bit numbers, so values with a
// negative key order after every value with a non-negative key.

#include <cmath>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "morvane/core/siphash.h"

namespace morvane {

namespace detail {
/// Float to signed 64-bit with saturation; NaN gives 0.
inline int64_t saturating_i64(double r) {
  if (std::isnan(r)) return 0;
  if (r <= -9223372036854775808.0) return INT64_MIN;
  if (r >= 9223372036854775808.0) return INT64_MAX;
  return static_cast<int64_t>(r);
}

/// round(p) half away from zero, then saturating_i64, without a library call: inside the i64
/// range the truncation is exact and p minus it is exactly p's fractional part (0 once |p| >= 2^52).
inline int64_t round_half_away_i64(double p) {
  if (!(p > -9223372036854775808.0 && p < 9223372036854775808.0)) return saturating_i64(p);
  int64_t i = static_cast<int64_t>(p);
  double frac = p - static_cast<double>(i);
  // Without branches: the fraction's side is as good as random. Cannot overflow: a fraction of
  // magnitude 0.5 or more means |p| < 2^52.
  return i + int64_t(frac >= 0.5) - int64_t(frac <= -0.5);
}
}  // namespace detail

struct Qreal {
  double v = 0.0;

  constexpr Qreal() = default;
  constexpr Qreal(double x) : v(x) {}  // NOLINT: wrapping a float is the intended conversion

  /// The key: round(v * 2^24) half away from zero, saturated to i64, read as u64.
  uint64_t percision_repr() const { return static_cast<uint64_t>(detail::round_half_away_i64(v * 16777216.0)); }

  bool near_zero() const { return std::fabs(v) < 5.9604644775390625e-08; }
  /// Equality on the truncated 1/256 grid.
  bool loose_eq(Qreal o) const {
    return detail::saturating_i64(std::trunc(v * 256.0)) == detail::saturating_i64(std::trunc(o.v * 256.0));
  }
  Qreal sqrt() const { return std::sqrt(v); }

  friend bool operator==(Qreal a, Qreal b) { return a.percision_repr() == b.percision_repr(); }
  friend std::strong_ordering operator<=>(Qreal a, Qreal b) { return a.percision_repr() <=> b.percision_repr(); }

  friend Qreal operator+(Qreal a, Qreal b) { return a.v + b.v; }
  friend Qreal operator-(Qreal a, Qreal b) { return a.v - b.v; }
  friend Qreal operator*(Qreal a, Qreal b) { return a.v * b.v; }
  friend Qreal operator/(Qreal a, Qreal b) { return a.v / b.v; }
  Qreal operator-() const { return -v; }
  Qreal& operator+=(Qreal o) { v += o.v; return *this; }
  Qreal& operator-=(Qreal o) { v -= o.v; return *this; }
  Qreal& operator*=(Qreal o) { v *= o.v; return *this; }
  Qreal& operator/=(Qreal o) { v /= o.v; return *this; }

  void hash_into(SipHasher13& h) const { h.write_u64(percision_repr()); }
};

/// Plain decimal text of a double: without a precision the shortest text that reads back to the
/// same value, never in exponent notation ("1", "0.5", "-0", "NaN", "inf", "-inf"); with a
/// precision, that many digits after the point. `plus` writes a sign for non-negative values too.
std::string format_decimal(double x, std::optional<int> precision = std::nullopt, bool plus = false);

}  // namespace morvane

/// `{}`, `{:.4}`, `{:+.4}` and so on, as the display texts need.
template <>
struct fmt::formatter<morvane::Qreal> {
  std::optional<int> precision;
  bool plus = false;
  constexpr auto parse(format_parse_context& ctx) {
    auto it = ctx.begin();
    if (it != ctx.end() && *it == '+') { plus = true; ++it; }
    if (it != ctx.end() && *it == '.') {
      ++it;
      int p = 0;
      while (it != ctx.end() && *it >= '0' && *it <= '9') p = p * 10 + (*it++ - '0');
      precision = p;
    }
    return it;
  }
  template <typename Ctx>
  auto format(morvane::Qreal q, Ctx& ctx) const {
    auto s = morvane::format_decimal(q.v, precision, plus);
    return std::copy(s.begin(), s.end(), ctx.out());
  }
};
