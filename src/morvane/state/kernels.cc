#include "morvane/state/kernels.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <utility>

#include <fmt/format.h>

#include "morvane/core/panic.h"
#include "morvane/state/state_lanes.h"

namespace morvane {

namespace {

/// The Hadamard, T and T-dagger constant: the double nearest to √½.
constexpr double kC = 0.7071067811865476;

[[noreturn]] void wrong_qubit_count() { panic("called `Result::unwrap()` on an `Err` value: TryFromSliceError(())"); }

/// 2^q; positions beyond a machine word saturate, so that they fail the index test.
inline size_t bit_of(uint8_t q) { return q < 64 ? size_t(1) << q : SIZE_MAX; }

/// Offsets of the 2^K members of a group from its base, member 0 first.
template <size_t K>
std::array<size_t, (size_t(1) << K)> member_offsets(std::span<const uint8_t> qubits) {
  std::array<size_t, (size_t(1) << K)> off{};
  for (size_t j = 0; j < off.size(); ++j)
    for (size_t t = 0; t < K; ++t)
      if ((j >> (K - 1 - t)) & 1) off[j] |= bit_of(qubits[t]);
  return off;
}

/// Tests group 0's members against both array lengths and the qubits for distinctness, before
/// anything is touched; the qubits then lie below n, so every later member is in range too.
template <size_t K>
std::array<size_t, (size_t(1) << K)> checked_offsets(size_t re_len, size_t im_len, std::span<const uint8_t> qubits) {
  if (qubits.size() != K) wrong_qubit_count();
  const auto off = member_offsets<K>(qubits);
  for (size_t o : off) {
    check_index(re_len, o);
    check_index(im_len, o);
  }
  for (size_t a = 0; a < K; ++a)
    for (size_t b = a + 1; b < K; ++b)
      if (qubits[a] == qubits[b]) panic("assertion failed: the qubits of a gate are distinct");
  return off;
}
template <size_t K>
std::array<size_t, (size_t(1) << K)> checked_offsets(const StateVec& s, std::span<const uint8_t> qubits) {
  return checked_offsets<K>(s.re().size(), s.im().size(), qubits);
}

/// Runs f(re, im, base, offsets) on every group of a two-qubit application, bases in increasing
/// order (the bases are the indices with every gate qubit's bit clear). T is Qreal, or the four
/// lanes of one amplitude (Lanes).
template <typename T, typename F>
inline void group_loop(T* re, T* im, size_t len, const GateOffsets& off, F&& f) {
  const size_t mask = off.back();
  for (size_t b = 0; b < len; b = ((b | mask) + 1) & ~mask) f(re, im, b, off);
}
template <size_t K, typename F>
inline void for_each_group(StateVec& s, std::span<const uint8_t> qubits, F&& f) {
  const auto off = checked_offsets<K>(s, qubits);
  const size_t mask = off.back();
  Qreal* re = s.re_data();
  Qreal* im = s.im_data();
  const size_t len = s.len();
  for (size_t b = 0; b < len; b = ((b | mask) + 1) & ~mask) f(re, im, b, off);
}

/// One run of 2^q consecutive pairs; the four runs never overlap.
template <typename T, typename F>
inline void pair_run(T* __restrict re0, T* __restrict im0, T* __restrict re1, T* __restrict im1, size_t step, F& f) {
  for (size_t k = 0; k < step; ++k) f(re0[k], im0[k], re1[k], im1[k]);
}

/// One-qubit kernels: f(re0, im0, re1, im1) on the parts of amplitudes i0 (bit q clear) and
/// i1 = i0 + 2^q = i0 + step of every group.
template <typename T, typename F>
inline void pair_loop(T* re, T* im, size_t len, size_t step, F&& f) {
  if (step == 1) {
    for (size_t b = 0; b < len; b += 2) f(re[b], im[b], re[b + 1], im[b + 1]);
  } else {
    for (size_t hi = 0; hi < len; hi += 2 * step) pair_run(re + hi, im + hi, re + hi + step, im + hi + step, step, f);
  }
}

template <typename T>
inline void exchange(T* re, T* im, size_t i, size_t j) {
  std::swap(re[i], re[j]);
  std::swap(im[i], im[j]);
}

/// Two doubles with element-wise arithmetic (a GCC/Clang vector extension: SSE2 registers on
/// x86-64, plain scalar code where there is no SIMD). Each lane is one IEEE operation.
typedef double V2 __attribute__((vector_size(16)));

template <size_t K>
void multiply_k(StateVec& s, std::span<const uint8_t> qubits, const CMatrix& matrix) {
  constexpr size_t N = size_t(1) << K, P = N / 2;
  // The matrix is read once per application: column c, rows 2p and 2p+1 side by side, so that
  // each vector operation serves two output rows with the same column term.
  V2 mr[N][P], mi[N][P];
  for (size_t c = 0; c < N; ++c)
    for (size_t p = 0; p < P; ++p) {
      const Complex& e0 = matrix(uint32_t(2 * p), uint32_t(c));
      const Complex& e1 = matrix(uint32_t(2 * p + 1), uint32_t(c));
      mr[c][p] = V2{e0.re.v, e1.re.v};
      mi[c][p] = V2{e0.im.v, e1.im.v};
    }
  for_each_group<K>(s, qubits, [&](Qreal* re, Qreal* im, size_t b, const auto& off) {
    V2 x[N], y[N];
    for (size_t c = 0; c < N; ++c) {
      const double xc = re[b + off[c]].v, yc = im[b + off[c]].v;
      x[c] = V2{xc, xc};
      y[c] = V2{yc, yc};
    }
    // out[r] = Σ_c M(r, c)·v[c], summed over the columns in increasing order from column 0, each
    // term (a + bi)(x + yi) = (ax − by) + (ay + bx)i.
    V2 acc_re[P], acc_im[P];
    for (size_t p = 0; p < P; ++p) {
      acc_re[p] = mr[0][p] * x[0] - mi[0][p] * y[0];
      acc_im[p] = mr[0][p] * y[0] + mi[0][p] * x[0];
    }
    for (size_t c = 1; c < N; ++c)
      for (size_t p = 0; p < P; ++p) {
        acc_re[p] += mr[c][p] * x[c] - mi[c][p] * y[c];
        acc_im[p] += mr[c][p] * y[c] + mi[c][p] * x[c];
      }
    for (size_t p = 0; p < P; ++p) {
      re[b + off[2 * p]].v = acc_re[p][0];
      re[b + off[2 * p + 1]].v = acc_re[p][1];
      im[b + off[2 * p]].v = acc_im[p][0];
      im[b + off[2 * p + 1]].v = acc_im[p][1];
    }
  });
}

template <size_t K>
std::array<size_t, (size_t(1) << K)> group_indices(size_t group, std::span<const uint8_t> qubits) {
  if (qubits.size() != K) wrong_qubit_count();
  std::array<uint8_t, K> sorted;
  std::copy(qubits.begin(), qubits.end(), sorted.begin());
  std::sort(sorted.begin(), sorted.end());
  size_t base = group;
  for (uint8_t q : sorted)
    if (q < 64) base = insert_bit(base, q, false);
  auto off = member_offsets<K>(qubits);
  for (size_t& o : off) o |= base;
  return off;
}
}  // namespace

std::array<size_t, 2> qubit_matrix_indices1(size_t group, std::span<const uint8_t> qubits) {
  return group_indices<1>(group, qubits);
}

std::array<size_t, 4> qubit_matrix_indices2(size_t group, std::span<const uint8_t> qubits) {
  return group_indices<2>(group, qubits);
}

std::array<size_t, 8> qubit_matrix_indices3(size_t group, std::span<const uint8_t> qubits) {
  return group_indices<3>(group, qubits);
}

namespace {

// The kernels' element operations: one-qubit ones on a pair (re0, im0, re1, im1), two-qubit ones on
// a group given by its base and member offsets.
struct HOp {
  template <typename T>
  void operator()(T& r0, T& m0, T& r1, T& m1) const {
    T re0 = r0, im0 = m0, re1 = r1, im1 = m1;
    r0 = (re0 + re1) * kC;
    m0 = (im0 + im1) * kC;
    r1 = (re0 - re1) * kC;
    m1 = (im0 - im1) * kC;
  }
};
struct XOp {
  template <typename T>
  void operator()(T& r0, T& m0, T& r1, T& m1) const {
    std::swap(r0, r1);
    std::swap(m0, m1);
  }
};
struct ZOp {
  template <typename T>
  void operator()(T&, T&, T& r1, T& m1) const {
    r1 = -r1;
    m1 = -m1;
  }
};
struct SOp {
  template <typename T>
  void operator()(T&, T&, T& r1, T& m1) const {
    T re1 = r1, im1 = m1;
    r1 = re1 * 0.0 - im1;
    m1 = re1 + im1 * 0.0;
  }
};
struct SdgOp {
  template <typename T>
  void operator()(T&, T&, T& r1, T& m1) const {
    T re1 = r1, im1 = m1;
    r1 = im1 + re1 * -0.0;
    m1 = im1 * -0.0 - re1;
  }
};
struct TOp {
  template <typename T>
  void operator()(T&, T&, T& r1, T& m1) const {
    T f = r1 * kC, h = m1 * kC;
    r1 = f - h;
    m1 = f + h;
  }
};
struct TdgOp {
  template <typename T>
  void operator()(T&, T&, T& r1, T& m1) const {
    T f = r1 * kC, h = m1 * kC;
    r1 = f + h;
    m1 = h - f;
  }
};
// Control is operand 0 (member bit 1), target operand 1 (member bit 0): members 2 and 3.
struct CxOp {
  template <typename T>
  void operator()(T* re, T* im, size_t b, const GateOffsets& off) const {
    exchange(re, im, b + off[2], b + off[3]);
  }
};
struct SwapOp {
  template <typename T>
  void operator()(T* re, T* im, size_t b, const GateOffsets& off) const {
    exchange(re, im, b + off[1], b + off[2]);
  }
};

template <typename Op>
void pair_body(Qreal* re, Qreal* im, size_t len, const GateOffsets& off) {
  pair_loop(re, im, len, off[1], Op{});
}
template <typename Op>
void group_body(Qreal* re, Qreal* im, size_t len, const GateOffsets& off) {
  group_loop(re, im, len, off, Op{});
}

// The same bodies for one state length L and one placement, the loops unrolled: the class search
// applies gates to states of at most 5 qubits.
constexpr uint32_t kMaxFixedQubits = 5;
template <typename Op, size_t L, size_t Q>
void pair_body_fixed(Qreal* re, Qreal* im, size_t, const GateOffsets&) {
  pair_loop(re, im, L, size_t(1) << Q, Op{});
}
template <typename Op, size_t L, size_t Q0, size_t Q1>
void group_body_fixed(Qreal* re, Qreal* im, size_t, const GateOffsets&) {
  constexpr GateOffsets off{0, size_t(1) << Q1, size_t(1) << Q0, (size_t(1) << Q0) | (size_t(1) << Q1)};
  group_loop(re, im, L, off, Op{});
}
// The same again on the four lanes of a StateLanes, each amplitude's lanes one AVX2 vector: every
// lane sees the operations of the scalar body.
typedef double Lanes __attribute__((vector_size(32), may_alias));
static_assert(sizeof(Lanes) == StateLanes::kLanes * sizeof(Qreal));
template <typename Op, size_t L, size_t Q>
[[gnu::target("avx2"), gnu::flatten]] void pair_lanes_fixed(Qreal* re, Qreal* im) {
  pair_loop(reinterpret_cast<Lanes*>(re), reinterpret_cast<Lanes*>(im), L, size_t(1) << Q, Op{});
}
template <typename Op, size_t L, size_t Q0, size_t Q1>
[[gnu::target("avx2"), gnu::flatten]] void group_lanes_fixed(Qreal* re, Qreal* im) {
  constexpr GateOffsets off{0, size_t(1) << Q1, size_t(1) << Q0, (size_t(1) << Q0) | (size_t(1) << Q1)};
  group_loop(reinterpret_cast<Lanes*>(re), reinterpret_cast<Lanes*>(im), L, off, Op{});
}

/// The unrolled body of one placement (Q0 alone for a one-qubit gate), on one state or on lanes.
template <typename Op, size_t K, bool OnLanes, size_t L, size_t Q0, size_t Q1>
constexpr auto body_of() {
  if constexpr (K == 1 && OnLanes) return &pair_lanes_fixed<Op, L, Q0>;
  if constexpr (K == 1 && !OnLanes) return &pair_body_fixed<Op, L, Q0>;
  if constexpr (K == 2 && OnLanes) return &group_lanes_fixed<Op, L, Q0, Q1>;
  if constexpr (K == 2 && !OnLanes) return &group_body_fixed<Op, L, Q0, Q1>;
}
// Entry q0 * N + q1 (q0 alone for one qubit); none for equal qubits, which no prepared gate has.
template <typename Op, size_t K, bool OnLanes, size_t N, size_t... I>
auto pick_body(uint8_t q0, uint8_t q1, std::index_sequence<I...>) {
  using Body = std::conditional_t<OnLanes, PreparedGate::LaneBody, PreparedGate::Body>;
  if constexpr (K == 1) {
    static constexpr Body table[] = {body_of<Op, 1, OnLanes, (size_t(1) << N), I, 0>()...};
    return table[q0];
  } else {
    static constexpr Body table[] = {
        (I / N == I % N ? nullptr : body_of<Op, 2, OnLanes, (size_t(1) << N), I / N, I % N>())...};
    return table[q0 * N + q1];
  }
}
/// The unrolled body of a placement on `nqubits` qubits (operands checked already), on one state
/// or on lanes, or nullptr.
template <typename Op, size_t K, bool OnLanes>
auto fixed_body(uint32_t nqubits, std::span<const uint8_t> q) {
  auto pick = [&]<size_t N>(std::integral_constant<size_t, N>) {
    constexpr size_t kEntries = K == 1 ? N : N * N;
    return pick_body<Op, K, OnLanes, N>(q[0], K == 1 ? 0 : q[1], std::make_index_sequence<kEntries>{});
  };
  switch (nqubits) {
    case 2: return pick(std::integral_constant<size_t, 2>{});
    case 3: return pick(std::integral_constant<size_t, 3>{});
    case 4: return pick(std::integral_constant<size_t, 4>{});
    case 5: return pick(std::integral_constant<size_t, 5>{});
    default: return decltype(pick(std::integral_constant<size_t, 2>{})){nullptr};
  }
}
static_assert(kMaxFixedQubits == 5);

/// The checked entry of a kernel: the operands are tested against the state first.
template <size_t K, PreparedGate::Body Body>
void run_checked(StateVec& state, std::span<const uint8_t> qubits) {
  GateOffsets off{};
  const auto o = checked_offsets<K>(state, qubits);
  std::copy(o.begin(), o.end(), off.begin());
  Body(state.re_data(), state.im_data(), state.len(), off);
}

}  // namespace

void perform_h_gate(StateVec& state, std::span<const uint8_t> qubits) { run_checked<1, pair_body<HOp>>(state, qubits); }
void perform_x_gate(StateVec& state, std::span<const uint8_t> qubits) { run_checked<1, pair_body<XOp>>(state, qubits); }
void perform_z_gate(StateVec& state, std::span<const uint8_t> qubits) { run_checked<1, pair_body<ZOp>>(state, qubits); }
void perform_s_gate(StateVec& state, std::span<const uint8_t> qubits) { run_checked<1, pair_body<SOp>>(state, qubits); }
void perform_sdg_gate(StateVec& state, std::span<const uint8_t> qubits) {
  run_checked<1, pair_body<SdgOp>>(state, qubits);
}
void perform_t_gate(StateVec& state, std::span<const uint8_t> qubits) { run_checked<1, pair_body<TOp>>(state, qubits); }
void perform_tdg_gate(StateVec& state, std::span<const uint8_t> qubits) {
  run_checked<1, pair_body<TdgOp>>(state, qubits);
}
void perform_cx_gate(StateVec& state, std::span<const uint8_t> qubits) {
  run_checked<2, group_body<CxOp>>(state, qubits);
}
void perform_swap_gate(StateVec& state, std::span<const uint8_t> qubits) {
  run_checked<2, group_body<SwapOp>>(state, qubits);
}

void multiply(StateVec& state, std::span<const uint8_t> qubits, const CMatrix& matrix) {
  switch (qubits.size()) {
    case 1:
      if (!(matrix.rows == 2 && matrix.cols == 2))
        panic("assertion failed: matrix.nrows() == 2 && matrix.ncols() == 2");
      return multiply_k<1>(state, qubits, matrix);
    case 2:
      if (!(matrix.rows == 4 && matrix.cols == 4))
        panic("assertion failed: matrix.nrows() == 4 && matrix.ncols() == 4");
      return multiply_k<2>(state, qubits, matrix);
    case 3:
      if (!(matrix.rows == 8 && matrix.cols == 8))
        panic("assertion failed: matrix.nrows() == 8 && matrix.ncols() == 8");
      return multiply_k<3>(state, qubits, matrix);
    default: panic(fmt::format("Unsupported number of qubits: {}", qubits.size()));
  }
}

void GateFuncs::insert(Gate16 gate, GateFn fn, Bodies bodies) {
  if (gate.index >= by_index_.size()) {
    by_index_.resize(size_t(gate.index) + 1, nullptr);
    bodies_.resize(size_t(gate.index) + 1);
  }
  if (!by_index_[gate.index]) ++count_;
  by_index_[gate.index] = fn;
  bodies_[gate.index] = bodies;
}

const GateFuncs& GATE_FUNCS() {
  static const GateFuncs table = [] {
    GateFuncs t;
    using Bodies = GateFuncs::Bodies;
    auto one = []<typename Op>(Op) {
      return Bodies{&pair_body<Op>, &fixed_body<Op, 1, false>, &fixed_body<Op, 1, true>, 1};
    };
    auto two = []<typename Op>(Op) {
      return Bodies{&group_body<Op>, &fixed_body<Op, 2, false>, &fixed_body<Op, 2, true>, 2};
    };
    t.insert(gates::H(), perform_h_gate, one(HOp{}));
    t.insert(gates::X(), perform_x_gate, one(XOp{}));
    t.insert(gates::Z(), perform_z_gate, one(ZOp{}));
    t.insert(gates::T(), perform_t_gate, one(TOp{}));
    t.insert(gates::TDG(), perform_tdg_gate, one(TdgOp{}));
    t.insert(gates::S(), perform_s_gate, one(SOp{}));
    t.insert(gates::SDG(), perform_sdg_gate, one(SdgOp{}));
    t.insert(gates::SWAP(), perform_swap_gate, two(SwapOp{}));
    t.insert(gates::CX(), perform_cx_gate, two(CxOp{}));
    return t;
  }();
  return table;
}

void StateVec::apply(std::span<const uint8_t> qubits, Gate16 gate) {
  if (GateFn fn = GATE_FUNCS().find(gate)) return fn(*this, qubits);
  gate.matrix([&](const CMatrix& m) { multiply(*this, qubits, m); });
}

PreparedGate PreparedGate::prepare(Instr32 instr, uint32_t nqubits) {
  PreparedGate g;
  g.instr = instr;
  g.len = StateVec::checked_len(nqubits);
  const GateFuncs::Bodies* bodies = GATE_FUNCS().bodies(instr.gate);
  if (!bodies) return g;
  auto qubits = instr.qargs.as_slice();
  if (bodies->nqargs == 1) {
    const auto o = checked_offsets<1>(g.len, g.len, qubits);
    std::copy(o.begin(), o.end(), g.off.begin());
  } else {
    g.off = checked_offsets<2>(g.len, g.len, qubits);
  }
  g.body = bodies->fixed(nqubits, qubits);
  if (!g.body) g.body = bodies->any;
  if (cpu_has_avx2()) g.lanes = bodies->lanes(nqubits, qubits);
  return g;
}

void StateVec::wrong_prepared_size() { panic("assertion failed: a prepared gate is applied to a state of its size"); }

}  // namespace morvane
