#include "morvane/circ/gate.h"
#include "morvane/testing/circuits.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>

#include "morvane/core/file.h"

namespace morvane {

using testing::Stops;
using ::testing::StrEq;

namespace {

size_t registry_size() { return GateRegistry::get().size(); }

/// diag(1, e^{i theta}): a distinct one-qubit gate for every angle.
CMatrix phase(double theta) {
  CMatrix m(2, 2);
  m(0, 0) = Complex{1.0, 0.0};
  m(1, 1) = Complex{std::cos(theta), std::sin(theta)};
  return m;
}

CMatrix square(uint32_t rows, uint32_t cols) {
  CMatrix m(rows, cols);
  for (uint32_t k = 0; k < std::min(rows, cols); ++k) m(k, k) = Complex{1.0, 0.0};
  return m;
}

const CMatrix& matrix_ref(Gate16 g) { return GateRegistry::get().entry(g.index).matrix; }

}  // namespace

struct BuiltinRow {
  uint16_t index;
  const char* display;
  uint32_t nqargs;
};

TEST(gate, registry_starts_with_the_builtin_table_in_order) {
  const BuiltinRow rows[] = {
      {0, "i", 1},          {1, "h", 1},          {2, "x", 1},           {3, "z", 1},          {4, "y", 1},
      {5, "s", 1},          {6, "sdg", 1},        {7, "t", 1},           {8, "tdg", 1},        {9, "cx", 2},
      {10, "cz", 2},        {11, "cy", 2},        {12, "cs", 2},         {13, "csdg", 2},      {14, "swap", 2},
      {15, "t1/2", 1},      {16, "tdg1/2", 1},    {17, "rz(pi/3)", 1},   {18, "rz(-pi/3)", 1}, {19, "rz(pi/5)", 1},
      {20, "rz(-pi/5)", 1}, {21, "rz(pi/16)", 1}, {22, "rz(-pi/16)", 1},
  };
  ASSERT_GE(registry_size(), 23u);
  for (const auto& row : rows) {
    Gate16 g(row.index);
    EXPECT_EQ(g.display(), row.display);
    EXPECT_EQ(g.nqargs(), row.nqargs) << row.display;
    EXPECT_EQ(Gate16::from_name(row.display), g) << row.display;
  }
  EXPECT_EQ(Gate16(17).name(), "rz");
  EXPECT_EQ(Gate16(17).params(), std::vector<std::string>{"pi/3"});
  EXPECT_TRUE(Gate16(1).params().empty());
}

TEST(gate, builtin_constants_have_their_fixed_indices) {
  EXPECT_EQ(gates::H().index, 1);
  EXPECT_EQ(gates::X().index, 2);
  EXPECT_EQ(gates::Z().index, 3);
  EXPECT_EQ(gates::S().index, 5);
  EXPECT_EQ(gates::SDG().index, 6);
  EXPECT_EQ(gates::T().index, 7);
  EXPECT_EQ(gates::TDG().index, 8);
  EXPECT_EQ(gates::CX().index, 9);
  EXPECT_EQ(gates::SWAP().index, 14);
}

TEST(gate, builtin_matrices_are_exact_unitaries_with_positive_zero_imaginary_parts) {
  const double r = 0.7071067811865476;
  const CMatrix& h = matrix_ref(gates::H());
  EXPECT_EQ(h(0, 0).re.v, r);
  EXPECT_EQ(h(1, 1).re.v, -r);
  const CMatrix& t = matrix_ref(gates::T());
  EXPECT_EQ(t(1, 1).re.v, 0.7071067811865476);
  EXPECT_EQ(t(1, 1).im.v, 0.7071067811865475);
  EXPECT_EQ(matrix_ref(gates::TDG())(1, 1).im.v, -0.7071067811865475);
  const CMatrix& cx = matrix_ref(gates::CX());
  // The first operand is the most significant bit: |10> -> |11>.
  EXPECT_EQ(cx(3, 2).re.v, 1.0);
  EXPECT_EQ(cx(2, 2).re.v, 0.0);
  EXPECT_EQ(matrix_ref(Gate16(11))(2, 3).im.v, -1.0);  // cy
  EXPECT_EQ(matrix_ref(Gate16(21))(1, 1).im.v, 0.19509032201612825);

  std::vector<uint64_t> hashes;
  for (uint16_t k = 0; k < 23; ++k) {
    const CMatrix& m = matrix_ref(Gate16(k));
    for (uint32_t i = 0; i < m.rows; ++i)
      for (uint32_t j = 0; j < m.cols; ++j) {
        double sum_re = 0, sum_im = 0;  // (M M^dagger)(i, j)
        for (uint32_t l = 0; l < m.cols; ++l) {
          const Complex a = m(i, l), b = m(j, l);
          sum_re += a.re.v * b.re.v + a.im.v * b.im.v;
          sum_im += a.im.v * b.re.v - a.re.v * b.im.v;
        }
        EXPECT_NEAR(sum_re, i == j ? 1.0 : 0.0, 1e-15) << k;
        EXPECT_NEAR(sum_im, 0.0, 1e-15) << k;
        if (m(i, j).im.v == 0.0) {
          EXPECT_FALSE(std::signbit(m(i, j).im.v)) << k;
        }
        if (m(i, j).re.v == 0.0) {
          EXPECT_FALSE(std::signbit(m(i, j).re.v)) << k;
        }
      }
    EXPECT_EQ(GateRegistry::get().entry(k).hash_value(), m.hash_value());
    hashes.push_back(m.hash_value());
  }
  std::sort(hashes.begin(), hashes.end());
  EXPECT_EQ(std::adjacent_find(hashes.begin(), hashes.end()), hashes.end()) << "two built-ins share a matrix hash";
}

TEST(gate, from_name_compares_the_whole_display_string) {
  EXPECT_EQ(Gate16::from_name("rz(pi/3)"), Gate16(17));
  EXPECT_EQ(Gate16::from_name("swap"), Gate16(14));
  for (const char* text : {"rz", "RZ(pi/3)", "rz(pi/3) ", "rz(pi/3", "rz()", "", "h ", "rz(pi/3)(0)"})
    EXPECT_EQ(Gate16::from_name(text), std::nullopt) << '"' << text << '"';

  Gate16 two = Gate16::make("fn_two", {"a", "b"}, phase(0.101));
  Gate16 empty = Gate16::make("fn_empty", {""}, phase(0.102));
  EXPECT_EQ(two.display(), "fn_two(a, b)");
  EXPECT_EQ(empty.display(), "fn_empty()");
  EXPECT_EQ(Gate16::from_name("fn_two(a, b)"), two);
  EXPECT_EQ(Gate16::from_name("fn_empty()"), empty);
  for (const char* text : {"fn_two(a,b)", "fn_two(a, b, )", "fn_two(a)", "fn_two", "fn_empty", "fn_empty(())"})
    EXPECT_EQ(Gate16::from_name(text), std::nullopt) << text;
}

TEST(gate, a_known_matrix_returns_the_existing_gate_whatever_its_name) {
  size_t before = registry_size();
  const double r = 0.7071067811865476;
  for (double v : {r, 0.7071067811865475}) {
    CMatrix m(2, 2);
    m(0, 0) = m(0, 1) = m(1, 0) = Complex{v, 0.0};
    m(1, 1) = Complex{-v, 0.0};
    Gate16 g = Gate16::make("hadamard", {"ignored"}, std::move(m));
    EXPECT_EQ(g, gates::H());
    EXPECT_EQ(g.name(), "h");
    EXPECT_TRUE(g.params().empty());
  }
  // A -0.0 imaginary part has the key of +0.0.
  CMatrix neg = phase(0.0);
  neg(1, 1) = Complex{0.0, 1.0};
  neg(0, 0) = Complex{1.0, -0.0};
  EXPECT_EQ(Gate16::make("s_again", {}, std::move(neg)), gates::S());
  EXPECT_EQ(registry_size(), before);
}

TEST(gate, same_name_with_other_matrices_registers_both_and_lookup_finds_the_first) {
  size_t before = registry_size();
  Gate16 a = Gate16::make("twin", {}, phase(0.201));
  Gate16 b = Gate16::make("twin", {}, phase(0.202));
  EXPECT_NE(a, b);
  EXPECT_LT(a, b);
  EXPECT_EQ(registry_size(), before + 2);
  EXPECT_EQ(b.index, a.index + 1);
  EXPECT_EQ(Gate16::from_name("twin"), a);
}

TEST(gate, zero_qubit_gate_from_a_one_by_one_matrix) {
  CMatrix m(1, 1);
  m(0, 0) = Complex{0.6, 0.8};
  Gate16 g = Gate16::make("global_phase", {}, std::move(m));
  EXPECT_EQ(g.nqargs(), 0u);
  EXPECT_EQ(g.display(), "global_phase");
}

TEST(gate, matrix_shapes_are_checked_before_anything_is_registered) {
  size_t before = registry_size();
  const char* pow2 = "Matrix must have a number of rows that is a power of two";
  const char* squared = "Matrix must be squared";
  struct Case {
    uint32_t rows, cols;
    const char* message;
  } cases[] = {{3, 3, pow2}, {0, 0, pow2}, {3, 4, pow2}, {2, 4, squared}, {4, 2, squared}, {2, 0, squared}};
  for (const auto& c : cases)
    EXPECT_THAT([&] { Gate16::make("bad", {}, square(c.rows, c.cols)); }, Stops(c.message)) << c.rows << "x" << c.cols;
  EXPECT_THAT([] { check_gate_shape(uint64_t(1) << 33, 2); }, Stops(squared));
  EXPECT_THAT([] { check_gate_shape((uint64_t(1) << 32) + 2, (uint64_t(1) << 32) + 2); }, Stops(pow2));
  EXPECT_EQ(registry_size(), before);
  EXPECT_EQ(GateRegistry::get().lock().raw_word(), 0u);
}

TEST(gate, check_unitary_takes_every_builtin_and_the_tolerance_and_no_more) {
  for (uint16_t i = 0; i < 23; ++i) Gate16(i).matrix([](const CMatrix& m) { check_unitary(m); });
  // diag(1, 1 + d): the last entry of U·U† is (1 + d)^2, 2d + d^2 from 1.
  auto diag = [](double last) {
    CMatrix m(2, 2);
    m(0, 0) = Complex{1.0, 0.0};
    m(1, 1) = Complex{last, 0.0};
    return m;
  };
  check_unitary(diag(1 + 0.49e-4));
  EXPECT_THAT([&] { check_unitary(diag(1 + 0.51e-4)); }, Stops());
  EXPECT_THAT([&] { check_unitary(diag(std::nan(""))); }, Stops());
}

TEST(gate, builtin_adjoints_are_builtins) {
  size_t before = registry_size();
  const std::pair<uint16_t, uint16_t> pairs[] = {{5, 6}, {7, 8}, {15, 16}, {12, 13}, {17, 18}, {19, 20}, {21, 22}};
  for (auto [a, b] : pairs) {
    EXPECT_EQ(Gate16(a).adjoint(), Gate16(b)) << a;
    EXPECT_EQ(Gate16(b).adjoint(), Gate16(a)) << b;
  }
  for (uint16_t self : {0, 1, 2, 3, 4, 9, 10, 11, 14}) EXPECT_EQ(Gate16(self).adjoint(), Gate16(self)) << self;
  EXPECT_EQ(registry_size(), before);
}

TEST(gate, adjoint_of_a_new_gate_registers_the_daggered_name_once) {
  CMatrix m(2, 2);  // a real, non-symmetric unitary: its adjoint is its transpose
  const double c = 0.6, s = 0.8;
  m(0, 0) = Complex{c, 0.0};
  m(0, 1) = Complex{-s, 0.0};
  m(1, 0) = Complex{s, 0.0};
  m(1, 1) = Complex{c, 0.0};
  Gate16 u = Gate16::make("u", {"a"}, std::move(m));
  size_t before = registry_size();

  Gate16 ud = u.adjoint();
  EXPECT_EQ(registry_size(), before + 1);
  EXPECT_EQ(ud.index, before);
  EXPECT_EQ(ud.name(), "u\xE2\x80\xA0");
  EXPECT_EQ(ud.params(), std::vector<std::string>{"a"});
  EXPECT_EQ(ud.display(), "u\u2020(a)");
  ud.matrix([&](const CMatrix& adj) {
    EXPECT_EQ(adj(0, 1).re.v, s);
    EXPECT_EQ(adj(1, 0).re.v, -s);
    for (const Complex& e : adj.data) {
      EXPECT_EQ(e.im.v, 0.0);
      EXPECT_TRUE(std::signbit(e.im.v)) << "a conjugated +0.0 is -0.0";
    }
  });
  EXPECT_EQ(ud.adjoint(), u);
  EXPECT_EQ(u.adjoint(), ud);  // cached
  EXPECT_EQ(registry_size(), before + 1);
  EXPECT_EQ(Gate16::from_name("u\u2020\u2020(a)"), std::nullopt);
}

TEST(gate, display_and_debug_forms) {
  EXPECT_EQ(gates::H().debug(), "Gate(1 -> h)");
  EXPECT_EQ(Gate16(17).debug(), "Gate(17 -> rz(pi/3))");
  EXPECT_EQ(Gate16(22).display(), "rz(-pi/16)");
  EXPECT_EQ(GateRegistry::get().entry(17).display(), "rz(pi/3)");
}

TEST(gate, an_index_beyond_the_registry_stops_and_leaves_the_lock_free) {
  size_t n = registry_size();
  EXPECT_THAT([] { Gate16(60000).name(); },
              Stops(fmt::format("index out of bounds: the len is {} but the index is 60000", n)));
  EXPECT_THAT([] { Gate16(60000).adjoint(); }, Stops(::testing::HasSubstr("index out of bounds")));
  EXPECT_EQ(GateRegistry::get().lock().raw_word(), 0u);
}

TEST(gate, a_stop_inside_the_matrix_callback_releases_the_read_lock) {
  EXPECT_THAT([] { gates::H().matrix([](const CMatrix&) -> int { panic("inside"); }); }, Stops("inside"));
  EXPECT_EQ(GateRegistry::get().lock().raw_word(), 0u);
  // The write lock can be taken again.
  Gate16 g = Gate16::make("after_stop", {}, phase(0.301));
  EXPECT_EQ(Gate16::from_name("after_stop"), g);
}

namespace {
std::vector<uint8_t> postcard_bytes(auto&& write) {
  std::vector<uint8_t> out;
  postcard::Writer w(out);
  write(w);
  return out;
}

/// Reads from the bytes through the file reader, as the class files do.
template <typename F>
auto read_from(std::vector<uint8_t> bytes, F&& read) {
  std::FILE* f = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  postcard::FileReader r(::fileno(f));  // rewind flushed the stream's writes
  struct Closer {
    std::FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{f};
  return read(r);
}
}  // namespace

TEST(gate, postcard_form_is_the_display_string) {
  GateTexts texts;
  GateNames names;
  auto bytes = postcard_bytes([&](postcard::Writer& w) { Gate16(17).write_postcard(w, texts); });
  std::vector<uint8_t> expected{0x08, 'r', 'z', '(', 'p', 'i', '/', '3', ')'};
  EXPECT_EQ(bytes, expected);
  std::string scratch;
  EXPECT_EQ(read_from(bytes, [&](postcard::Reader& r) { return Gate16::read_postcard(r, scratch, names); }),
            Gate16(17));

  std::vector<uint8_t> unknown{0x04, 'n', 'o', 'p', 'e'};
  EXPECT_THAT(
      [&] { read_from(unknown, [&](postcard::Reader& r) { return Gate16::read_postcard(r, scratch, names); }); },
      Stops("Failed to deserialize Gate16 from nope"));
  std::vector<uint8_t> short_text{0x04, 'n', 'o'};
  EXPECT_THAT(
      [&] { read_from(short_text, [&](postcard::Reader& r) { return Gate16::read_postcard(r, scratch, names); }); },
      ::testing::ThrowsMessage<postcard::Error>(StrEq(postcard::kEndOfBuffer)));
  EXPECT_THAT([] { Gate16::deserialize("rz(pi/3) "); }, Stops("Failed to deserialize Gate16 from rz(pi/3) "));
}

TEST(gate, concurrent_registration_and_reads_agree_on_every_index) {
  constexpr int kThreads = 8, kGates = 40;
  size_t before = registry_size();
  std::vector<std::vector<uint16_t>> seen(kThreads, std::vector<uint16_t>(kGates)),
      seen_adj(kThreads, std::vector<uint16_t>(kGates));
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      while (!go.load()) spin_hint();
      for (int step = 0; step < kGates; ++step) {
        int k = (step + t * 5) % kGates;  // every thread its own order
        Gate16 g = Gate16::make(fmt::format("conc{}", k), {}, phase(1.0 + 0.01 * k));
        seen[t][k] = g.index;
        seen_adj[t][k] = g.adjoint().index;
        EXPECT_EQ(g.nqargs(), 1u);
        EXPECT_EQ(gates::CX().nqargs(), 2u);
        EXPECT_EQ(Gate16::from_name("swap"), gates::SWAP());
      }
    });
  go = true;
  for (auto& th : threads) th.join();

  EXPECT_EQ(registry_size(), before + 2 * kGates);  // each gate and its adjoint, once
  for (int k = 0; k < kGates; ++k) {
    for (int t = 1; t < kThreads; ++t) {
      EXPECT_EQ(seen[t][k], seen[0][k]);
      EXPECT_EQ(seen_adj[t][k], seen_adj[0][k]);
    }
    Gate16 g(seen[0][k]);
    EXPECT_EQ(Gate16::from_name(fmt::format("conc{}", k)), g);
    EXPECT_EQ(Gate16(seen_adj[0][k]).name(), fmt::format("conc{}\u2020", k));
    EXPECT_EQ(Gate16(seen_adj[0][k]).adjoint(), g);
  }
  EXPECT_EQ(GateRegistry::get().lock().raw_word(), 0u);
}

}  // namespace morvane
