#include "morvane/state/kernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include <fmt/ranges.h>

#include "morvane/testing/states.h"

namespace morvane {

namespace {

using testing::bitwise_equal;
using testing::Stops;

StateVec random_state(uint32_t n, uint8_t salt) {
  auto rng = testing::seeded(uint8_t(n), salt);
  return StateVec::from_random(rng, n);
}

CMatrix matrix_of(Gate16 g) {
  return g.matrix([](const CMatrix& m) { return m; });
}

/// Every ordered choice of k distinct qubits out of n.
std::vector<std::vector<uint8_t>> placements(uint32_t n, size_t k) {
  std::vector<std::vector<uint8_t>> out;
  std::vector<uint8_t> cur;
  auto rec = [&](auto& self) -> void {
    if (cur.size() == k) {
      out.push_back(cur);
      return;
    }
    for (uint8_t q = 0; q < n; ++q)
      if (std::find(cur.begin(), cur.end(), q) == cur.end()) {
        cur.push_back(q);
        self(self);
        cur.pop_back();
      }
  };
  rec(rec);
  return out;
}

/// The operator written out index by index: amplitude i becomes Σ_c M(row(i), c)·v[member c of
/// i's group], where row(x) reads bit qubits[t] of x as bit K−1−t; summed over c in increasing
/// order from column 0, each term (ax − by) + (ay + bx)i, as the matrix path must round.
StateVec reference_apply(const StateVec& s, const std::vector<uint8_t>& qubits, const CMatrix& m) {
  const size_t k = qubits.size();
  size_t mask = 0;
  for (uint8_t q : qubits) mask |= size_t(1) << q;
  auto row = [&](size_t x) {
    size_t r = 0;
    for (size_t t = 0; t < k; ++t) r |= ((x >> qubits[t]) & 1) << (k - 1 - t);
    return r;
  };
  auto member = [&](size_t base, size_t c) {
    for (size_t t = 0; t < k; ++t) base |= ((c >> (k - 1 - t)) & 1) << qubits[t];
    return base;
  };
  std::vector<double> re(s.len()), im(s.len());
  for (size_t i = 0; i < s.len(); ++i)
    for (size_t c = 0; c < (size_t(1) << k); ++c) {
      const size_t j = member(i & ~mask, c);
      const Complex& e = m(uint32_t(row(i)), uint32_t(c));
      const double x = s.re()[j].v, y = s.im()[j].v;
      const double term_re = e.re.v * x - e.im.v * y, term_im = e.re.v * y + e.im.v * x;
      re[i] = c == 0 ? term_re : re[i] + term_re;
      im[i] = c == 0 ? term_im : im[i] + term_im;
    }
  return StateVec::make(re, im);
}

void expect_close(const StateVec& a, const StateVec& b, double tol, const std::string& what) {
  ASSERT_EQ(a.len(), b.len()) << what;
  for (size_t i = 0; i < a.len(); ++i) {
    EXPECT_NEAR(a.re()[i].v, b.re()[i].v, tol) << what << " re[" << i << "]";
    EXPECT_NEAR(a.im()[i].v, b.im()[i].v, tol) << what << " im[" << i << "]";
  }
}

std::string describe(Gate16 g, const std::vector<uint8_t>& qubits, uint32_t n) {
  return fmt::format("{} on {} of {}", g.name(), fmt::join(qubits, ","), n);
}

}  // namespace

TEST(kernels, gate_funcs_hold_the_nine_kernel_gates) {
  const GateFuncs& f = GATE_FUNCS();
  EXPECT_EQ(f.size(), 9u);
  for (Gate16 g : {gates::H(), gates::X(), gates::Z(), gates::S(), gates::SDG(), gates::T(), gates::TDG(), gates::CX(),
                   gates::SWAP()})
    EXPECT_NE(f.find(g), nullptr) << g.name();
  for (const char* name : {"i", "y", "cz", "cy", "rz(pi/3)"})
    EXPECT_EQ(f.find(*Gate16::from_name(name)), nullptr) << name;
  EXPECT_EQ(f.find(Gate16(60000)), nullptr);
}

// Each kernel against its gate's registry matrix, on random states, for every placement on 1 to 5
// qubits (up to the last bits of rounding); the matrix path itself, bit for bit, against the
// operator written out index by index.
TEST(kernels, kernels_and_matrix_path_agree_with_the_gate_matrices) {
  for (Gate16 g : {gates::H(), gates::X(), gates::Z(), gates::S(), gates::SDG(), gates::T(), gates::TDG(), gates::CX(),
                   gates::SWAP()}) {
    const CMatrix m = matrix_of(g);
    const GateFn kernel = GATE_FUNCS().find(g);
    for (uint32_t n = 1; n <= 5; ++n)
      for (const auto& qubits : placements(n, g.nqargs())) {
        StateVec s = random_state(n, uint8_t(g.index));
        StateVec by_kernel = s, by_matrix = s;
        kernel(by_kernel, qubits);
        multiply(by_matrix, qubits, m);
        std::string what = describe(g, qubits, n);
        expect_close(by_kernel, by_matrix, 1e-15, what);
        EXPECT_TRUE(bitwise_equal(by_matrix, reference_apply(s, qubits, m))) << what;
        StateVec by_apply = s;
        by_apply.apply(qubits, g);
        EXPECT_TRUE(bitwise_equal(by_apply, by_kernel)) << what;
      }
  }
}

TEST(kernels, matrix_path_handles_three_qubit_matrices_in_operand_order) {
  // An arbitrary (not unitary) 8x8 matrix shows every row/column bit assignment.
  CMatrix m(8, 8);
  for (uint32_t r = 0; r < 8; ++r)
    for (uint32_t c = 0; c < 8; ++c) m(r, c) = Complex{0.1 * r - 0.03 * c, 0.07 * c * r - 0.2};
  for (uint32_t n = 3; n <= 5; ++n)
    for (const auto& qubits : placements(n, 3)) {
      StateVec s = random_state(n, 77);
      StateVec out = s;
      multiply(out, qubits, m);
      EXPECT_TRUE(bitwise_equal(out, reference_apply(s, qubits, m))) << fmt::format("{}", fmt::join(qubits, ","));
    }
}

TEST(kernels, registered_gate_operands_follow_operand_order) {
  Gate16 cy = *Gate16::from_name("cy");
  StateVec s = random_state(3, 5);
  StateVec reversed = s, conjugated = s;
  reversed.apply(std::vector<uint8_t>{2, 0}, cy);
  // cy with control on qubit 2 = swap, cy with control on qubit 0, swap.
  conjugated.apply(std::vector<uint8_t>{0, 2}, gates::SWAP());
  conjugated.apply(std::vector<uint8_t>{0, 2}, cy);
  conjugated.apply(std::vector<uint8_t>{0, 2}, gates::SWAP());
  EXPECT_EQ(reversed, conjugated);
  StateVec forward = s;
  forward.apply(std::vector<uint8_t>{0, 2}, cy);
  EXPECT_NE(forward, reversed);
}

TEST(kernels, small_cases_by_hand) {
  const double c = 0.7071067811865476;
  std::vector<uint8_t> q0{0}, q01{0, 1};
  StateVec one = StateVec::make(std::vector{1.0, 0.0}, std::vector{0.0, 0.0});
  StateVec h = one;
  h.apply(q0, gates::H());
  EXPECT_EQ(h.re()[0].v, c);
  EXPECT_EQ(h.re()[1].v, c);
  h.apply(q0, gates::H());
  EXPECT_EQ(h, one);

  auto basis = [](size_t len, size_t k) {
    std::vector<double> re(len), im(len);
    re[k] = 1.0;
    return StateVec::make(re, im);
  };
  StateVec cx = basis(4, 1);
  cx.apply(q01, gates::CX());
  EXPECT_EQ(cx, basis(4, 3));
  StateVec cx_off = basis(4, 2);
  cx_off.apply(q01, gates::CX());
  EXPECT_EQ(cx_off, basis(4, 2));
  for (auto [from, to] : {std::pair{1, 2}, {2, 1}, {0, 0}, {3, 3}}) {
    StateVec sw = basis(4, from);
    sw.apply(q01, gates::SWAP());
    EXPECT_EQ(sw, basis(4, to));
  }

  StateVec y = one;
  y.apply(q0, *Gate16::from_name("y"));
  EXPECT_EQ(y.re()[0].v, 0.0);
  EXPECT_EQ(y.im()[0].v, 0.0);
  EXPECT_EQ(y.re()[1].v, 0.0);
  EXPECT_EQ(y.im()[1].v, 1.0);

  StateVec r = random_state(2, 1);
  StateVec s_sdg = r;
  s_sdg.apply(q0, gates::S());
  s_sdg.apply(q0, gates::SDG());
  EXPECT_EQ(s_sdg, r);
  StateVec t8 = r;
  for (int i = 0; i < 8; ++i) t8.apply(std::vector<uint8_t>{1}, gates::T());
  expect_close(t8, r, 1e-15, "t^8");
  StateVec z2 = r;
  z2.apply(q0, gates::Z());
  EXPECT_EQ(z2.re()[1].v, -r.re()[1].v);
  z2.apply(q0, gates::Z());
  EXPECT_EQ(std::memcmp(z2.re().data(), r.re().data(), 4 * sizeof(Qreal)), 0);
}

TEST(kernels, out_of_range_qubits_stop_before_any_change) {
  struct Case {
    Gate16 gate;
    uint32_t n;
    std::vector<uint8_t> qubits;
    const char* message;
  };
  Gate16 y = *Gate16::from_name("y"), cz = *Gate16::from_name("cz");
  const Case cases[] = {
      {gates::H(), 3, {3}, "index out of bounds: the len is 8 but the index is 8"},
      {y, 3, {3}, "index out of bounds: the len is 8 but the index is 8"},
      {gates::CX(), 3, {0, 3}, "index out of bounds: the len is 8 but the index is 8"},
      {gates::CX(), 3, {4, 0}, "index out of bounds: the len is 8 but the index is 16"},
      {cz, 3, {1, 5}, "index out of bounds: the len is 8 but the index is 32"},
      {gates::T(), 0, {0}, "index out of bounds: the len is 1 but the index is 1"},
      {gates::SWAP(), 1, {0, 1}, "index out of bounds: the len is 2 but the index is 2"},
      {gates::X(), 2, {200}, "index out of bounds: the len is 4 but the index is 18446744073709551615"},
  };
  for (const Case& c : cases) {
    StateVec s = random_state(c.n, 2);
    StateVec before = s;
    EXPECT_THAT([&] { s.apply(c.qubits, c.gate); }, Stops(c.message)) << c.gate.name();
    EXPECT_EQ(std::memcmp(s.re().data(), before.re().data(), s.len() * sizeof(Qreal)), 0);
    EXPECT_EQ(std::memcmp(s.im().data(), before.im().data(), s.len() * sizeof(Qreal)), 0);
  }
  EXPECT_EQ(GateRegistry::get().lock().raw_word(), 0u);
}

TEST(kernels, misuse_of_kernels_and_matrix_path_stops) {
  StateVec s = random_state(4, 3);
  const char* unwrap = "called `Result::unwrap()` on an `Err` value: TryFromSliceError(())";
  EXPECT_THAT([&] { perform_h_gate(s, std::vector<uint8_t>{0, 1}); }, Stops(unwrap));
  EXPECT_THAT([&] { perform_cx_gate(s, std::vector<uint8_t>{0}); }, Stops(unwrap));
  EXPECT_THAT(
      [&] {
        perform_swap_gate(s, std::vector<uint8_t>{1, 1});
      },
      Stops("assertion failed: the qubits of a gate are distinct"));
  CMatrix m4 = matrix_of(gates::CX());
  EXPECT_THAT([&] { multiply(s, std::vector<uint8_t>{0}, m4); },
              Stops("assertion failed: matrix.nrows() == 2 && matrix.ncols() == 2"));
  EXPECT_THAT(
      [&] {
        multiply(s, std::vector<uint8_t>{0, 1, 2}, m4);
      },
      Stops("assertion failed: matrix.nrows() == 8 && matrix.ncols() == 8"));
  EXPECT_THAT([&] { multiply(s, std::vector<uint8_t>{}, m4); }, Stops("Unsupported number of qubits: 0"));

  // A registered four-qubit gate reaches the matrix path and stops there, releasing the lock.
  CMatrix perm16(16, 16);
  for (uint32_t i = 0; i < 16; ++i) perm16((i + 3) % 16, i) = Complex{1.0, 0.0};
  Gate16 g4 = Gate16::make("cycle16", {}, perm16);
  EXPECT_THAT([&] { s.apply(std::vector<uint8_t>{0, 1, 2, 3}, g4); }, Stops("Unsupported number of qubits: 4"));
  EXPECT_EQ(GateRegistry::get().lock().raw_word(), 0u);
}

TEST(kernels, groups_partition_the_indices) {
  EXPECT_EQ(insert_bit(0b101, 1, false), 0b1001u);
  EXPECT_EQ(insert_bit(0b101, 1, true), 0b1011u);
  EXPECT_EQ(insert_bit(0b11, 0, false), 0b110u);
  EXPECT_EQ(insert_bit(0b11, 2, true), 0b111u);
  for (uint32_t n = 1; n <= 5; ++n)
    for (size_t k = 1; k <= std::min<size_t>(3, n); ++k)
      for (const auto& qubits : placements(n, k)) {
        std::vector<int> seen(size_t(1) << n);
        size_t groups = size_t(1) << (n - k);
        for (size_t g = 0; g < groups; ++g) {
          std::vector<size_t> members;
          if (k == 1)
            for (size_t i : qubit_matrix_indices1(g, qubits)) members.push_back(i);
          if (k == 2)
            for (size_t i : qubit_matrix_indices2(g, qubits)) members.push_back(i);
          if (k == 3)
            for (size_t i : qubit_matrix_indices3(g, qubits)) members.push_back(i);
          for (size_t j = 0; j < members.size(); ++j) {
            size_t idx = members[j];
            ASSERT_LT(idx, seen.size());
            ++seen[idx];
            // Bit qubits[t] of member j is bit K−1−t of j; the other bits spell g in order.
            size_t outside = 0, pos = 0;
            for (uint8_t b = 0; b < n; ++b) {
              auto it = std::find(qubits.begin(), qubits.end(), b);
              if (it == qubits.end())
                outside |= ((idx >> b) & 1) << pos++;
              else
                EXPECT_EQ((idx >> b) & 1, (j >> (k - 1 - size_t(it - qubits.begin()))) & 1);
            }
            EXPECT_EQ(outside, g);
          }
        }
        for (int c : seen) EXPECT_EQ(c, 1);
      }
}

}  // namespace morvane

namespace morvane {

// A prepared gate is applied exactly as the instruction itself, kernel or matrix; preparing an
// unfit instruction stops as applying it would, and a prepared gate refuses a state of another size.
TEST(kernels, prepared_gates_apply_as_their_instructions) {
  for (Gate16 g : {gates::H(), gates::X(), gates::Z(), gates::S(), gates::SDG(), gates::T(), gates::TDG(), gates::CX(),
                   gates::SWAP(), *Gate16::from_name("y"), *Gate16::from_name("cz")})
    for (uint32_t n = 1; n <= 6; ++n)  // up to 5 qubits unrolled bodies, then the general ones
      for (const auto& qubits : placements(n, g.nqargs())) {
        Instr32 instr = Instr32::make(g, qubits);
        StateVec s = random_state(n, uint8_t(g.index + 7));
        StateVec by_instr = s, by_prepared = s;
        by_instr.apply(instr);
        by_prepared.apply(PreparedGate::prepare(instr, n));
        EXPECT_TRUE(bitwise_equal(by_instr, by_prepared)) << describe(g, qubits, n);
      }
  StateVec s = random_state(2, 1);
  Instr32 far = Instr32::make(gates::H(), std::vector<uint8_t>{2});
  // Preparing refuses what applying refuses, with the same message.
  EXPECT_THAT([&] { PreparedGate::prepare(far, 2); }, Stops("index out of bounds: the len is 4 but the index is 4"));
  EXPECT_THAT([&] { s.apply(far); }, Stops("index out of bounds: the len is 4 but the index is 4"));
  Instr32 cx = Instr32::make(gates::CX(), std::vector<uint8_t>{1, 2});
  EXPECT_THAT([&] { PreparedGate::prepare(cx, 2); }, Stops("index out of bounds: the len is 4 but the index is 4"));
  EXPECT_THAT([&] { s.apply(cx); }, Stops("index out of bounds: the len is 4 but the index is 4"));
  PreparedGate h3 = PreparedGate::prepare(Instr32::make(gates::H(), std::vector<uint8_t>{0}), 3);
  EXPECT_THAT([&] { s.apply(h3); }, Stops("assertion failed: a prepared gate is applied to a state of its size"));
}

}  // namespace morvane
