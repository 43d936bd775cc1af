#include "morvane/state/state_lanes.h"

#include <array>
#include <cmath>
#include <type_traits>

#include "morvane/core/panic.h"
#include "morvane/state/order_info.h"

namespace morvane {

namespace {

using detail::D4;
using detail::I4;

#define MORVANE_AVX2 gnu::target("avx2"), gnu::always_inline

[[MORVANE_AVX2]] inline D4 load4(const Qreal* p) {
  D4 v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}
[[MORVANE_AVX2]] inline void store4(Qreal* p, D4 v) { __builtin_memcpy(static_cast<void*>(p), &v, sizeof v); }
/// Value i of four arrays.
[[MORVANE_AVX2]] inline D4 gather4(const Qreal* const* part, size_t i) {
  return D4{part[0][i].v, part[1][i].v, part[2][i].v, part[3][i].v};
}
/// Four values each of four arrays, transposed into lanes: out[4c + k] = part[k][c].
[[MORVANE_AVX2]] inline void transpose4(const Qreal* const* part, size_t at, Qreal* out) {
  const D4 a = load4(part[0] + at), b = load4(part[1] + at), c = load4(part[2] + at), d = load4(part[3] + at);
  const D4 ab_even = __builtin_shuffle(a, b, I4{0, 4, 2, 6}), ab_odd = __builtin_shuffle(a, b, I4{1, 5, 3, 7});
  const D4 cd_even = __builtin_shuffle(c, d, I4{0, 4, 2, 6}), cd_odd = __builtin_shuffle(c, d, I4{1, 5, 3, 7});
  store4(out, __builtin_shuffle(ab_even, cd_even, I4{0, 1, 4, 5}));
  store4(out + 4, __builtin_shuffle(ab_odd, cd_odd, I4{0, 1, 4, 5}));
  store4(out + 8, __builtin_shuffle(ab_even, cd_even, I4{2, 3, 6, 7}));
  store4(out + 12, __builtin_shuffle(ab_odd, cd_odd, I4{2, 3, 6, 7}));
}
/// All ones in the lanes whose part has Qreal::near_zero.
[[MORVANE_AVX2]] inline I4 near_zero4(D4 v) {
  const D4 abs = (D4)((I4)v & I4{INT64_MAX, INT64_MAX, INT64_MAX, INT64_MAX});
  return abs < Qreal::kNearZero;
}
[[MORVANE_AVX2]] inline D4 select4(I4 mask, D4 yes, D4 no) { return (D4)((mask & (I4)yes) | (~mask & (I4)no)); }

/// The phase reference of StateVec::normalize_arg for four states, chosen lane by lane from their
/// first and last amplitudes into (a, b); the result marks the lanes whose reference is the sum
/// of all amplitudes, to be set by sum_reference.
[[MORVANE_AVX2]] inline I4 phase_reference(D4 re0, D4 im0, D4 re_last, D4 im_last, D4& a, D4& b) {
  const I4 first_zero = near_zero4(re0) & near_zero4(im0);
  const I4 last_zero = near_zero4(re_last) & near_zero4(im_last);
  a = select4(first_zero, re_last, re0);
  b = select4(first_zero, im_last, im0);
  return first_zero & last_zero;
}
[[MORVANE_AVX2]] inline bool any4(I4 mask) { return (mask[0] | mask[1] | mask[2] | mask[3]) != 0; }
/// The reference of the lanes of `by_sum` from the sums of their amplitudes (in index order, from +0.0).
[[MORVANE_AVX2]] inline void sum_reference(I4 by_sum, D4 s_re, D4 s_im, D4& a, D4& b) {
  const D4 m = __builtin_ia32_sqrtpd256(s_im * s_im + s_re * s_re);
  a = select4(by_sum, s_re / m, a);
  b = select4(by_sum, s_im / m, b);
}
/// The rotation to the reference (a, b): amplitude x + iy becomes (f x − e y) + i(f y + e x).
[[MORVANE_AVX2]] inline void phase_factors(D4 a, D4 b, D4& f, D4& e) {
  const D4 c = a * a + b * b;
  const D4 root = __builtin_ia32_sqrtpd256(c);
  f = (a / c) * root;
  e = ((-b) / c) * root;
}

/// StateVec::normalize_arg of each lane of states of L amplitudes: the same reference amplitude
/// chosen lane by lane, and the same operations.
template <size_t L>
[[gnu::target("avx2")]] uint32_t normalize_arg_lanes(Qreal* re, Qreal* im) {
  constexpr size_t W = StateLanes::kLanes;
  D4 a, b, f, e;
  const I4 by_sum = phase_reference(load4(re), load4(im), load4(re + W * (L - 1)), load4(im + W * (L - 1)), a, b);
  if (any4(by_sum)) {
    D4 s_re = {0.0, 0.0, 0.0, 0.0}, s_im = {0.0, 0.0, 0.0, 0.0};
    for (size_t i = 0; i < L; ++i) {
      s_re += load4(re + W * i);
      s_im += load4(im + W * i);
    }
    sum_reference(by_sum, s_re, s_im, a, b);
  }
  phase_factors(a, b, f, e);
  for (size_t i = 0; i < L; ++i) {
    const D4 x = load4(re + W * i), y = load4(im + W * i);
    store4(re + W * i, f * x - e * y);
    store4(im + W * i, f * y + e * x);
  }
  store4(im, D4{0.0, 0.0, 0.0, 0.0});
  return uint32_t(by_sum[0] & 1) | uint32_t(by_sum[1] & 1) << 1 | uint32_t(by_sum[2] & 1) << 2 |
         uint32_t(by_sum[3] & 1) << 3;
}

/// distinct_order of four states of N qubits from the real parts of their amplitudes 1 << q
/// (values[q], one lane per state): bit k of the result set where lane k's keys all differ. The
/// keys are rounded and ranked on all lanes at once; a value the vector rounding cannot take
/// sends every lane through the scalar keys.
template <uint32_t N>
[[MORVANE_AVX2]] inline uint32_t distinct_orders4(const D4* values, Permut32* perm, Permut32* inverse) {
  using detail::U4;
  I4 in_range = {-1, -1, -1, -1};
  U4 key[N];
  for (uint32_t q = 0; q < N; ++q) key[q] = (U4)detail::percision_repr_lanes<D4, I4, U4>(values[q], in_range);
  uint32_t distinct = 0;
  if (!(in_range[0] & in_range[1] & in_range[2] & in_range[3])) [[unlikely]] {
    for (size_t lane = 0; lane < StateLanes::kLanes; ++lane) {
      uint64_t k[N];
      for (uint32_t q = 0; q < N; ++q) k[q] = Qreal(values[q][lane]).percision_repr();
      if (detail::order_from_keys<N>(k, perm[lane], inverse[lane])) distinct |= 1u << lane;
    }
    return distinct;
  }
  // As order_from_keys, lane by lane: rank[q] counts the smaller keys (a true comparison is -1).
  U4 rank[N] = {};
  I4 tie = {0, 0, 0, 0};
  for (uint32_t q = 1; q < N; ++q)
    for (uint32_t p = 0; p < q; ++p) {
      rank[q] -= (U4)(key[p] < key[q]);
      rank[p] -= (U4)(key[q] < key[p]);
      tie |= (I4)(key[p] == key[q]);
    }
  U4 perm_raw = {N << 24, N << 24, N << 24, N << 24}, inverse_raw = perm_raw;
  for (uint32_t q = 0; q < N; ++q) {
    perm_raw |= U4{q, q, q, q} << (rank[q] * 3);
    inverse_raw |= rank[q] << (3 * q);
  }
  for (size_t lane = 0; lane < StateLanes::kLanes; ++lane) {
    if (tie[lane]) continue;
    perm[lane] = Permut32::from_raw(uint32_t(perm_raw[lane]));
    inverse[lane] = Permut32::from_raw(uint32_t(inverse_raw[lane]));
    distinct |= 1u << lane;
  }
  return distinct;
}

/// StateLanes::load_all of four states of L amplitudes.
template <size_t L>
[[gnu::target("avx2")]] void load_lanes(const StateVec* const* states, Qreal* re, Qreal* im) {
  const Qreal* from_re[4];
  const Qreal* from_im[4];
  for (size_t k = 0; k < 4; ++k) {
    from_re[k] = states[k]->re().data();
    from_im[k] = states[k]->im().data();
  }
  for (size_t i = 0; i < L; i += 4) {
    transpose4(from_re, i, re + 4 * i);
    transpose4(from_im, i, im + 4 * i);
  }
}

template <uint32_t N>
[[gnu::target("avx2")]] uint32_t lane_orders(const Qreal* re, Permut32* perm, Permut32* inverse) {
  D4 values[N];
  for (uint32_t q = 0; q < N; ++q) values[q] = load4(re + StateLanes::kLanes * (size_t(1) << q));
  return distinct_orders4<N>(values, perm, inverse);
}

/// normalized_distinct_orders of four states of N qubits: only the amplitudes 1 << q are rotated.
template <uint32_t N>
[[gnu::target("avx2")]] uint32_t normalized_orders(const StateVec* const* states, Permut32* perm, Permut32* inverse) {
  constexpr size_t L = size_t(1) << N;
  const Qreal* re[4];
  const Qreal* im[4];
  for (size_t k = 0; k < 4; ++k) {
    re[k] = states[k]->re().data();
    im[k] = states[k]->im().data();
  }
  D4 a, b, f, e;
  const I4 by_sum = phase_reference(gather4(re, 0), gather4(im, 0), gather4(re, L - 1), gather4(im, L - 1), a, b);
  if (any4(by_sum)) {
    D4 s_re = {0.0, 0.0, 0.0, 0.0}, s_im = {0.0, 0.0, 0.0, 0.0};
    for (size_t i = 0; i < L; ++i) {
      s_re += gather4(re, i);
      s_im += gather4(im, i);
    }
    sum_reference(by_sum, s_re, s_im, a, b);
  }
  phase_factors(a, b, f, e);
  D4 values[N];
  for (uint32_t q = 0; q < N; ++q) {
    const D4 x = gather4(re, size_t(1) << q), y = gather4(im, size_t(1) << q);
    values[q] = f * x - e * y;
  }
  return distinct_orders4<N>(values, perm, inverse);
}

#undef MORVANE_AVX2

}  // namespace

StateLanes::StateLanes(uint32_t nqubits) : re_{}, im_{}, nqubits_(nqubits) {
  if (nqubits < 2 || nqubits > kMaxQubits) panic("State lanes hold states of 2 to 5 qubits");
}

void StateLanes::misfit() { panic("assertion failed: a state or gate fits the lanes"); }

namespace {

/// Runs `body` with the length of states of `nqubits` qubits (2 to 5) as a constant.
template <typename Body>
inline void with_len(uint32_t nqubits, Body&& body) {
  switch (nqubits) {
    case 2: return body(std::integral_constant<size_t, 4>{});
    case 3: return body(std::integral_constant<size_t, 8>{});
    case 4: return body(std::integral_constant<size_t, 16>{});
    default: return body(std::integral_constant<size_t, 32>{});
  }
}

/// One state for each lane: `states` (1 to 4 states of `len` amplitudes), the missing lanes
/// repeating the first state.
std::array<const StateVec*, StateLanes::kLanes> four_states(std::span<const StateVec* const> states, size_t len) {
  if (states.empty() || states.size() > StateLanes::kLanes) StateLanes::misfit();
  std::array<const StateVec*, StateLanes::kLanes> four;
  for (size_t k = 0; k < four.size(); ++k) {
    four[k] = states[k < states.size() ? k : 0];
    if (four[k]->len() != len) StateLanes::misfit();
  }
  return four;
}

}  // namespace

void StateLanes::load_all(std::span<const StateVec* const> states) {
  const auto four = four_states(states, len());
  with_len(nqubits_, [&](auto L) { load_lanes<L>(four.data(), re_, im_); });
}

void StateLanes::store(size_t lane, StateVec& state) const {
  if (state.len() != len() || lane >= kLanes) misfit();
  Qreal* re = state.re_data();
  Qreal* im = state.im_data();
  with_len(nqubits_, [&](auto L) {
    for (size_t i = 0; i < L; ++i) {
      re[i] = re_[kLanes * i + lane];
      im[i] = im_[kLanes * i + lane];
    }
  });
}

void StateLanes::apply_reversed(std::span<const PreparedGate> gates) {
  for (size_t k = gates.size(); k-- > 0;) {
    const PreparedGate& gate = gates[k];
    if (!gate.lanes || gate.len != len()) [[unlikely]]
      misfit();
    gate.lanes(re_, im_);
  }
}

uint32_t StateLanes::normalize_arg() {
  switch (nqubits_) {
    case 2: return normalize_arg_lanes<4>(re_, im_);
    case 3: return normalize_arg_lanes<8>(re_, im_);
    case 4: return normalize_arg_lanes<16>(re_, im_);
    default: return normalize_arg_lanes<32>(re_, im_);
  }
}

uint32_t StateLanes::distinct_orders(Permut32* perm, Permut32* inverse) const {
  switch (nqubits_) {
    case 2: return lane_orders<2>(re_, perm, inverse);
    case 3: return lane_orders<3>(re_, perm, inverse);
    case 4: return lane_orders<4>(re_, perm, inverse);
    default: return lane_orders<5>(re_, perm, inverse);
  }
}

uint32_t StateLanes::normalized_distinct_orders(std::span<const StateVec* const> states, Permut32* perm,
                                                Permut32* inverse) {
  if (states.empty()) misfit();
  const size_t len = states[0]->len();
  const auto four = four_states(states, len);  // the missing lanes' results are dropped
  std::array<Permut32, kLanes> p, inv;
  uint32_t distinct;
  switch (len) {
    case 4: distinct = normalized_orders<2>(four.data(), p.data(), inv.data()); break;
    case 8: distinct = normalized_orders<3>(four.data(), p.data(), inv.data()); break;
    case 16: distinct = normalized_orders<4>(four.data(), p.data(), inv.data()); break;
    case 32: distinct = normalized_orders<5>(four.data(), p.data(), inv.data()); break;
    default: misfit();
  }
  distinct &= (1u << states.size()) - 1;
  for (size_t k = 0; k < states.size(); ++k)
    if ((distinct >> k) & 1) {
      perm[k] = p[k];
      inverse[k] = inv[k];
    }
  return distinct;
}

void StateLanes::relabel_into(size_t lane, const RelabelTables& tables, Permut32 permut, StateVec& out) const {
  if (tables.nqubits() != nqubits_ || out.len() != len() || lane >= kLanes) misfit();
  const uint8_t* sources = tables.sources(tables.rank(permut));
  Qreal* re = out.re_data();
  Qreal* im = out.im_data();
  with_len(nqubits_, [&](auto L) {
    for (size_t i = 0; i < L; ++i) {
      re[i] = re_[kLanes * sources[i] + lane];
      im[i] = im_[kLanes * sources[i] + lane];
    }
  });
}

}  // namespace morvane
