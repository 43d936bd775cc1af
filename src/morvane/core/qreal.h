#pragma once
// Tolerant reals: a plain double for arithmetic whose equality, hash and order look at the value
// quantised to a grid of 2^-24 (the key). Keys compare as unsigned 64-bit numbers, so values with a
// negative key order after every value with a non-negative key.

#include <cmath>
#include <cstddef>
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

  /// The magnitude below which a part counts as zero (2^-24, the key's unit).
  static constexpr double kNearZero = 5.9604644775390625e-08;
  bool near_zero() const { return std::fabs(v) < kNearZero; }
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
  Qreal& operator+=(Qreal o) {
    v += o.v;
    return *this;
  }
  Qreal& operator-=(Qreal o) {
    v -= o.v;
    return *this;
  }
  Qreal& operator*=(Qreal o) {
    v *= o.v;
    return *this;
  }
  Qreal& operator/=(Qreal o) {
    v /= o.v;
    return *this;
  }

  void hash_into(SipHasher13& h) const { h.write_u64(percision_repr()); }
};

namespace detail {
typedef double D2 __attribute__((vector_size(16)));
typedef int64_t I2 __attribute__((vector_size(16)));
typedef uint64_t U2 __attribute__((vector_size(16)));
// Four lanes, for code compiled for AVX2.
typedef double D4 __attribute__((vector_size(32)));
typedef int64_t I4 __attribute__((vector_size(32)));
typedef uint64_t U4 __attribute__((vector_size(32)));

/// percision_repr of every lane of `v` (D a vector of doubles, I and U its integer vectors); clears
/// the lanes of `in_range` whose value this rounding cannot take (scaled magnitude 2^51 or more, NaN).
/// For 0 <= a < 2^51, (a + M) - M with M = 1.5·2^52 is a rounded to the nearest integer, ties to
/// even (the sum's unit in the last place is 1), and the low bits of a + M hold that integer. The
/// difference a − n is exact, so an exact half is seen and rounded up (away from zero on |p|). The
/// key is then the integer with p's sign: 0 stays 0, so −0 and tiny negatives give key 0.
template <typename D, typename I, typename U>
[[gnu::always_inline]] inline I percision_repr_lanes(D v, I& in_range) {
  const D zero = {};
  const D magic = zero + 6755399441055744.0;
  const D p = v * 16777216.0;
  const D a = (D)((U)p & 0x7fffffffffffffffULL);
  in_range &= a < 2251799813685248.0;  // 2^51; false for NaN
  D r = (a + magic) - magic;
  r += (D)((I)(a - r == 0.5) & (I)(zero + 1.0));
  const I k = (I)(r + magic) - (I)magic;
  const I sign = -(I)((U)p >> 63);  // all ones for a negative p
  return (k ^ sign) - sign;
}
}  // namespace detail

/// out[i] = x[i].percision_repr() for i < n, two values per step with SIMD arithmetic. When a value
/// whose scaled magnitude reaches 2^51 (or NaN) is among them, all are done again one by one.
[[gnu::always_inline]] inline void percision_reprs(const Qreal* x, size_t n, uint64_t* out) {
  static_assert(sizeof(Qreal) == sizeof(double));
  detail::I2 in_range = {-1, -1};
  size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    detail::D2 v;
    __builtin_memcpy(&v, x + i, sizeof v);
    const detail::I2 key = detail::percision_repr_lanes<detail::D2, detail::I2, detail::U2>(v, in_range);
    __builtin_memcpy(out + i, &key, sizeof key);
  }
  if (!(in_range[0] & in_range[1])) [[unlikely]]
    i = 0;
  for (; i < n; ++i) out[i] = x[i].percision_repr();
}

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
    if (it != ctx.end() && *it == '+') {
      plus = true;
      ++it;
    }
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
