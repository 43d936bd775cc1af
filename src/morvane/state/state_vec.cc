#include "morvane/state/state_vec.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include <fmt/format.h>

#include "morvane/core/panic.h"
#include "morvane/core/siphash.h"

namespace morvane {

namespace {

/// Element-wise under the Qreal order; on a common prefix the shorter array orders first.
std::strong_ordering compare_parts(std::span<const Qreal> a, std::span<const Qreal> b) {
  size_t n = std::min(a.size(), b.size());
  // A prefix of equal values is passed two at a time (states reached by several symmetries are
  // often equal throughout).
  size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    detail::D2 x, y;
    __builtin_memcpy(&x, a.data() + i, sizeof x);
    __builtin_memcpy(&y, b.data() + i, sizeof y);
    const detail::I2 eq = x == y;
    if (!(eq[0] & eq[1])) break;
  }
  for (; i < n; ++i) {
    if (a[i].v == b[i].v) continue;  // equal values have equal keys; skips the rounding
    uint64_t ka = a[i].percision_repr(), kb = b[i].percision_repr();
    if (ka != kb) return ka <=> kb;
  }
  return a.size() <=> b.size();
}

bool equal_parts(std::span<const Qreal> a, std::span<const Qreal> b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].v != b[i].v && a[i] != b[i]) return false;
  return true;
}

bool loose_eq_parts(std::span<const Qreal> a, std::span<const Qreal> b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i)
    if (!a[i].loose_eq(b[i])) return false;
  return true;
}

}  // namespace

size_t StateVec::checked_len(uint32_t num_qubits) {
  if (num_qubits >= 32) panic("Number of qubits too large, resulting in overflow for state vector size.");
  if (num_qubits >= 28) panic("capacity overflow");
  return size_t(1) << num_qubits;
}

StateVec StateVec::make(std::span<const double> re, std::span<const double> im) {
  if (re.size() != im.size())
    panic(
        fmt::format("assertion `left == right` failed: Real and imaginary parts must have the same length\n"
                    "  left: {}\n right: {}",
                    re.size(), im.size()));
  if (!std::has_single_bit(re.size())) panic("Length must be a power of 2");
  return StateVec(std::vector<Qreal>(re.begin(), re.end()), std::vector<Qreal>(im.begin(), im.end()));
}

StateVec StateVec::zeros(uint32_t num_qubits) {
  size_t n = checked_len(num_qubits);
  return StateVec(std::vector<Qreal>(n), std::vector<Qreal>(n));
}

StateVec StateVec::from_random(ChaCha12Rng& rng, uint32_t num_qubits) {
  StateVec s({}, {});
  s.assign_random(rng, num_qubits);
  return s;
}

void StateVec::assign_random(ChaCha12Rng& rng, uint32_t num_qubits) {
  size_t n = checked_len(num_qubits);
  re_.resize(n);
  im_.resize(n);
  for (Qreal& x : re_) x = rng.next_f64();
  for (Qreal& x : im_) x = rng.next_f64();
  normalize();
}

StateVec StateVec::from_random_symmetric(ChaCha12Rng& rng, uint32_t num_qubits) {
  size_t n = checked_len(num_qubits);
  std::vector<double> r(num_qubits + 1), m(num_qubits + 1);
  for (double& x : r) x = rng.next_f64();
  for (double& x : m) x = rng.next_f64();
  std::vector<Qreal> re(n), im(n);
  for (size_t i = 0; i < n; ++i) {
    int w = std::popcount(i);
    re[i] = r[w];
    im[i] = m[w];
  }
  StateVec s(std::move(re), std::move(im));
  s.normalize();
  return s;
}

void StateVec::assign_from(const StateVec& other) {
  re_.assign(other.re_.begin(), other.re_.end());
  im_.assign(other.im_.begin(), other.im_.end());
}

Complex StateVec::at(size_t index) const {
  check_index(re_.size(), index);
  check_index(im_.size(), index);
  return Complex{re_[index], im_[index]};
}

void StateVec::set(size_t index, Complex value) {
  check_index(re_.size(), index);
  re_[index] = value.re;
  check_index(im_.size(), index);
  im_[index] = value.im;
}

double StateVec::norm_sq() const {
  double sum = 0.0;
  size_t n = std::min(re_.size(), im_.size());
  for (size_t i = 0; i < n; ++i) sum += im_[i].v * im_[i].v + re_[i].v * re_[i].v;
  return sum;
}

void StateVec::normalize() {
  double norm = std::sqrt(norm_sq());
  for (Qreal& x : re_) x.v /= norm;
  for (Qreal& x : im_) x.v /= norm;
  normalize_arg();
}

namespace {

/// The rotation of normalize_arg for the parts of n amplitudes: x + iy becomes
/// (f x − e y) + i(f y + e x); with L > 0 n is L, and the loops unroll.
template <size_t L>
void phase_factors(const Qreal* re, const Qreal* im, size_t n, double& f, double& e) {
  if constexpr (L > 0) n = L;
  double a, b;
  if (!(re[0].near_zero() && im[0].near_zero())) {
    a = re[0].v;
    b = im[0].v;
  } else if (!(re[n - 1].near_zero() && im[n - 1].near_zero())) {
    a = re[n - 1].v;
    b = im[n - 1].v;
  } else {
    double s_re = 0.0, s_im = 0.0;
    for (size_t i = 0; i < n; ++i) {
      s_re += re[i].v;
      s_im += im[i].v;
    }
    double m = std::sqrt(s_im * s_im + s_re * s_re);
    a = s_re / m;
    b = s_im / m;
  }
  const double c = a * a + b * b;
  const double root = std::sqrt(c);
  f = (a / c) * root;
  e = ((-b) / c) * root;
}

/// Amplitude i of the parts rotated by (f, e).
inline void rotate(Qreal* re, Qreal* im, size_t i, double f, double e) {
  const double x = re[i].v, y = im[i].v;
  re[i].v = f * x - e * y;
  im[i].v = f * y + e * x;
}

/// normalize_arg of the parts of n amplitudes; with L > 0 n is L, and the loops unroll.
template <size_t L>
void normalize_arg_parts(Qreal* __restrict re, Qreal* __restrict im, size_t n) {
  if constexpr (L > 0) n = L;
  double f, e;
  phase_factors<L>(re, im, n, f, e);
  for (size_t i = 0; i < n; ++i) rotate(re, im, i, f, e);
  im[0].v = 0.0;
}

}  // namespace

void StateVec::normalize_arg() {
  switch (len()) {
    case 4: return normalize_arg_parts<4>(re_.data(), im_.data(), 4);
    case 8: return normalize_arg_parts<8>(re_.data(), im_.data(), 8);
    case 16: return normalize_arg_parts<16>(re_.data(), im_.data(), 16);
    case 32: return normalize_arg_parts<32>(re_.data(), im_.data(), 32);
    default: return normalize_arg_parts<0>(re_.data(), im_.data(), len());
  }
}

void StateVec::normalize_arg_order_keys() {
  // On 2 qubits the order keys read every amplitude but 0 and 3, two of them twice.
  const size_t n = len();
  if (n <= 4) return normalize_arg();
  double f, e;
  phase_factors<0>(re_.data(), im_.data(), n, f, e);
  for (size_t one = 1; one < n; one <<= 1) {
    rotate(re_.data(), im_.data(), one, f, e);
    rotate(re_.data(), im_.data(), n - 1 - one, f, e);
  }
}

bool StateVec::check() const { return std::fabs(norm_sq() - 1.0) < 5.9604644775390625e-08; }

namespace {

/// hash_value of the parts re and im of n amplitudes each. The stream (count of re: 4 bytes, keys
/// of re: 8 bytes each, count of im, keys of im) is a whole number of 8-byte words: the re keys
/// straddle word boundaries by 4 bytes, the im keys are aligned. Keys are rounded a chunk at a
/// time, then hashed. With L > 0 (at most the chunk) n is L, and the loops unroll.
template <size_t L>
uint64_t hash_parts(const Qreal* re, const Qreal* im, size_t n) {
  constexpr size_t kChunk = L > 0 ? L : 64;
  if constexpr (L > 0) n = L;
  uint64_t keys[kChunk];
  SipWords13 h;
  uint64_t carry = uint32_t(n);
  for (size_t at = 0; at < n; at += kChunk) {
    const size_t m = std::min(kChunk, n - at);
    percision_reprs(re + at, m, keys);
    for (size_t j = 0; j < m; ++j) {
      h.write(carry | (keys[j] << 32));
      carry = keys[j] >> 32;
    }
  }
  h.write(carry | (uint64_t(uint32_t(n)) << 32));
  for (size_t at = 0; at < n; at += kChunk) {
    const size_t m = std::min(kChunk, n - at);
    percision_reprs(im + at, m, keys);
    for (size_t j = 0; j < m; ++j) h.write(keys[j]);
  }
  return h.finish();
}

}  // namespace

uint64_t StateVec::hash_value() const {
  // Both arrays have one length (an invariant of the type).
  switch (re_.size()) {
    case 4: return hash_parts<4>(re_.data(), im_.data(), 4);
    case 8: return hash_parts<8>(re_.data(), im_.data(), 8);
    case 16: return hash_parts<16>(re_.data(), im_.data(), 16);
    case 32: return hash_parts<32>(re_.data(), im_.data(), 32);
    default: return hash_parts<0>(re_.data(), im_.data(), re_.size());
  }
}

namespace {

// Four hashes at once, one per 64-bit lane of AVX2 registers: the same key rounding (percision_reprs)
// and SipHash-1-3 rounds as the scalar path, lane by lane.
using detail::D4;
using detail::I4;
using detail::U4;
typedef uint32_t W8 __attribute__((vector_size(32)));
typedef uint16_t H16 __attribute__((vector_size(32)));

#define MORVANE_AVX2 gnu::target("avx2"), gnu::always_inline

[[MORVANE_AVX2]] inline U4 splat(uint64_t x) { return U4{x, x, x, x}; }
[[MORVANE_AVX2]] inline U4 rotl(U4 x, int b) { return (x << b) | (x >> (64 - b)); }
[[MORVANE_AVX2]] inline U4 rotl32(U4 x) { return (U4)__builtin_shuffle((W8)x, (W8){1, 0, 3, 2, 5, 4, 7, 6}); }
[[MORVANE_AVX2]] inline U4 rotl16(U4 x) {
  return (U4)__builtin_shuffle((H16)x, (H16){3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14});
}

struct Sip4 {
  U4 v0, v1, v2, v3;
};
[[MORVANE_AVX2]] inline void sipround4(Sip4& h) {
  h.v0 += h.v1;
  h.v1 = rotl(h.v1, 13);
  h.v1 ^= h.v0;
  h.v0 = rotl32(h.v0);
  h.v2 += h.v3;
  h.v3 = rotl16(h.v3);
  h.v3 ^= h.v2;
  h.v0 += h.v3;
  h.v3 = rotl(h.v3, 21);
  h.v3 ^= h.v0;
  h.v2 += h.v1;
  h.v1 = rotl(h.v1, 17);
  h.v1 ^= h.v2;
  h.v2 = rotl32(h.v2);
}
[[MORVANE_AVX2]] inline void sipwrite4(Sip4& h, U4 m) {
  h.v3 ^= m;
  sipround4(h);
  h.v0 ^= m;
}

/// The keys of one amplitude part of four states; clears lanes of `in_range` whose value the
/// vector rounding cannot take.
[[MORVANE_AVX2]] inline U4 keys4(D4 v, I4& in_range) {
  return (U4)detail::percision_repr_lanes<D4, I4, U4>(v, in_range);
}

/// hash_value of 4·G states of L amplitudes each, G independent chains of four lanes side by side
/// (each SipHash round waits on the one before, so a second chain fills the wait); false when a
/// value needs the scalar rounding.
template <size_t L, size_t G>
[[gnu::target("avx2")]] bool hash_lanes(const Qreal* const re[4 * G], const Qreal* const im[4 * G], uint64_t* out) {
  Sip4 h[G];
  I4 in_range[G];
  U4 carry[G];
  for (size_t g = 0; g < G; ++g) {
    h[g] = Sip4{splat(0x736f6d6570736575ULL), splat(0x646f72616e646f6dULL), splat(0x6c7967656e657261ULL),
                splat(0x7465646279746573ULL)};
    in_range[g] = I4{-1, -1, -1, -1};
    carry[g] = splat(L);
  }
  for (size_t j = 0; j < L; ++j)
    for (size_t g = 0; g < G; ++g) {
      const Qreal* const* r = re + 4 * g;
      const U4 k = keys4(D4{r[0][j].v, r[1][j].v, r[2][j].v, r[3][j].v}, in_range[g]);
      sipwrite4(h[g], carry[g] | (k << 32));
      carry[g] = k >> 32;
    }
  for (size_t g = 0; g < G; ++g) sipwrite4(h[g], carry[g] | splat(uint64_t(L) << 32));
  for (size_t j = 0; j < L; ++j)
    for (size_t g = 0; g < G; ++g) {
      const Qreal* const* m = im + 4 * g;
      sipwrite4(h[g], keys4(D4{m[0][j].v, m[1][j].v, m[2][j].v, m[3][j].v}, in_range[g]));
    }
  const U4 b = splat(uint64_t((2 * L + 1) * 8) << 56);
  bool all_in_range = true;
  for (size_t g = 0; g < G; ++g) {
    h[g].v3 ^= b;
    sipround4(h[g]);
    h[g].v0 ^= b;
    h[g].v2 ^= splat(0xff);
    sipround4(h[g]);
    sipround4(h[g]);
    sipround4(h[g]);
    const U4 r = h[g].v0 ^ h[g].v1 ^ h[g].v2 ^ h[g].v3;
    for (size_t k = 0; k < 4; ++k) out[4 * g + k] = r[k];
    all_in_range = all_in_range && (in_range[g][0] & in_range[g][1] & in_range[g][2] & in_range[g][3]) != 0;
  }
  return all_in_range;
}

#undef MORVANE_AVX2

}  // namespace

bool cpu_has_avx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

void StateVec::hash_values(std::span<const StateVec* const> states, uint64_t* out) {
  size_t k = 0;
  if (cpu_has_avx2()) {
    // Eight states at a time, then four: G chains of four lanes.
    auto lanes = [&]<size_t G>(std::integral_constant<size_t, G>) {
      const size_t len = states[k]->len();
      const Qreal* re[4 * G];
      const Qreal* im[4 * G];
      bool same = true;
      for (size_t j = 0; j < 4 * G; ++j) {
        re[j] = states[k + j]->re_.data();
        im[j] = states[k + j]->im_.data();
        same = same && states[k + j]->len() == len;
      }
      bool done = false;
      if (same) {
        switch (len) {
          case 4: done = hash_lanes<4, G>(re, im, out + k); break;
          case 8: done = hash_lanes<8, G>(re, im, out + k); break;
          case 16: done = hash_lanes<16, G>(re, im, out + k); break;
          case 32: done = hash_lanes<32, G>(re, im, out + k); break;
          default: break;
        }
      }
      if (!done)
        for (size_t j = 0; j < 4 * G; ++j) out[k + j] = states[k + j]->hash_value();
      k += 4 * G;
    };
    while (k + 8 <= states.size()) lanes(std::integral_constant<size_t, 2>{});
    if (k + 4 <= states.size()) lanes(std::integral_constant<size_t, 1>{});
  }
  for (; k < states.size(); ++k) out[k] = states[k]->hash_value();
}

bool StateVec::loose_eq(const StateVec& other) const {
  return loose_eq_parts(re_, other.re_) && loose_eq_parts(im_, other.im_);
}

std::string StateVec::to_string() const {
  std::string out = "[";
  size_t n = std::min(re_.size(), im_.size());
  for (size_t i = 0; i < n; ++i) {
    if (i) out += ", ";
    Qreal r = re_[i], m = im_[i];
    if (m.near_zero())
      fmt::format_to(std::back_inserter(out), "{:.4}", r);
    else if (r.near_zero())
      fmt::format_to(std::back_inserter(out), "{:.4}j", m);
    else
      fmt::format_to(std::back_inserter(out), "{:.4}{:+.4}j", r, m);
  }
  out += "]";
  return out;
}

bool operator==(const StateVec& a, const StateVec& b) { return equal_parts(a.re_, b.re_) && equal_parts(a.im_, b.im_); }

std::strong_ordering operator<=>(const StateVec& a, const StateVec& b) {
  if (auto c = compare_parts(a.re_, b.re_); c != 0) return c;
  return compare_parts(a.im_, b.im_);
}

}  // namespace morvane
