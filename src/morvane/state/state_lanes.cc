#include "morvane/state/state_lanes.h"

#include <cmath>

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
/// All ones in the lanes whose part has Qreal::near_zero.
[[MORVANE_AVX2]] inline I4 near_zero4(D4 v) {
  const D4 abs = (D4)((I4)v & I4{INT64_MAX, INT64_MAX, INT64_MAX, INT64_MAX});
  return abs < Qreal::kNearZero;
}
[[MORVANE_AVX2]] inline D4 select4(I4 mask, D4 yes, D4 no) { return (D4)((mask & (I4)yes) | (~mask & (I4)no)); }

/// StateVec::normalize_arg of each lane of states of L amplitudes: the same reference amplitude
/// chosen lane by lane, and the same operations.
template <size_t L>
[[gnu::target("avx2")]] void normalize_arg_lanes(Qreal* re, Qreal* im) {
  constexpr size_t W = StateLanes::kLanes;
  const I4 first_zero = near_zero4(load4(re)) & near_zero4(load4(im));
  const I4 last_zero = near_zero4(load4(re + W * (L - 1))) & near_zero4(load4(im + W * (L - 1)));
  D4 a = select4(first_zero, load4(re + W * (L - 1)), load4(re));
  D4 b = select4(first_zero, load4(im + W * (L - 1)), load4(im));
  const I4 by_sum = first_zero & last_zero;
  if (by_sum[0] | by_sum[1] | by_sum[2] | by_sum[3]) {
    D4 s_re = {0.0, 0.0, 0.0, 0.0}, s_im = {0.0, 0.0, 0.0, 0.0};
    for (size_t i = 0; i < L; ++i) {
      s_re += load4(re + W * i);
      s_im += load4(im + W * i);
    }
    const D4 m = __builtin_ia32_sqrtpd256(s_im * s_im + s_re * s_re);
    a = select4(by_sum, s_re / m, a);
    b = select4(by_sum, s_im / m, b);
  }
  const D4 c = a * a + b * b;
  const D4 root = __builtin_ia32_sqrtpd256(c);
  const D4 f = (a / c) * root;
  const D4 e = ((-b) / c) * root;
  for (size_t i = 0; i < L; ++i) {
    const D4 x = load4(re + W * i), y = load4(im + W * i);
    store4(re + W * i, f * x - e * y);
    store4(im + W * i, f * y + e * x);
  }
  store4(im, D4{0.0, 0.0, 0.0, 0.0});
}

#undef MORVANE_AVX2

}  // namespace

StateLanes::StateLanes(uint32_t nqubits) : re_{}, im_{}, nqubits_(nqubits) {
  if (nqubits < 2 || nqubits > kMaxQubits) panic("State lanes hold states of 2 to 5 qubits");
}

void StateLanes::misfit() { panic("assertion failed: a state or gate fits the lanes"); }

void StateLanes::load(size_t lane, const StateVec& state) {
  if (state.len() != len() || lane >= kLanes) misfit();
  const Qreal* re = state.re().data();
  const Qreal* im = state.im().data();
  for (size_t i = 0; i < len(); ++i) {
    re_[kLanes * i + lane] = re[i];
    im_[kLanes * i + lane] = im[i];
  }
}

void StateLanes::store(size_t lane, StateVec& state) const {
  if (state.len() != len() || lane >= kLanes) misfit();
  Qreal* re = state.re_data();
  Qreal* im = state.im_data();
  for (size_t i = 0; i < len(); ++i) {
    re[i] = re_[kLanes * i + lane];
    im[i] = im_[kLanes * i + lane];
  }
}

void StateLanes::apply_reversed(std::span<const PreparedGate> gates) {
  for (size_t k = gates.size(); k-- > 0;) {
    const PreparedGate& gate = gates[k];
    if (!gate.lanes || gate.len != len()) [[unlikely]]
      misfit();
    gate.lanes(re_, im_);
  }
}

void StateLanes::normalize_arg() {
  switch (nqubits_) {
    case 2: return normalize_arg_lanes<4>(re_, im_);
    case 3: return normalize_arg_lanes<8>(re_, im_);
    case 4: return normalize_arg_lanes<16>(re_, im_);
    default: return normalize_arg_lanes<32>(re_, im_);
  }
}

bool StateLanes::distinct_order(size_t lane, Permut32& perm, Permut32& inverse) const {
  if (lane >= kLanes) misfit();
  return distinct_order_strided(re_ + lane, kLanes, nqubits_, perm, inverse);
}

void StateLanes::relabel_into(size_t lane, const RelabelTables& tables, Permut32 permut, StateVec& out) const {
  if (tables.nqubits() != nqubits_ || out.len() != len() || lane >= kLanes) misfit();
  const uint8_t* sources = tables.sources(tables.rank(permut));
  Qreal* re = out.re_data();
  Qreal* im = out.im_data();
  for (size_t i = 0; i < len(); ++i) {
    re[i] = re_[kLanes * sources[i] + lane];
    im[i] = im_[kLanes * sources[i] + lane];
  }
}

}  // namespace morvane
