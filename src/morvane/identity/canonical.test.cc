#include "morvane/identity/canonical.h"
#include "morvane/core/interrupt.h"
#include "morvane/testing/circuits.h"
#include "morvane/testing/testing.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <vector>
#include <random>

namespace morvane {

using testing::cx;
using testing::h;
using testing::instr;
using testing::perm;
using testing::Stops;
using testing::swap;
using testing::t;
using testing::x;

namespace {

Gate16 phase_gate() {
  CMatrix m(1, 1);
  m(0, 0) = Complex{0.0, 1.0};
  return Gate16::make("global_i", {}, std::move(m));
}

// The forms as their definition reads, on whole circuits.

Circ literal_prelude(const Circ& c) { return compact_qubits(c).remove_swaps(); }

std::pair<Circ, Permut32> literal_representative_with_perm(const Circ& c) {
  const Circ c0 = literal_prelude(c);
  if (c0.is_empty()) return {c0, Permut32{}};
  std::optional<std::pair<Circ, Permut32>> best;
  for (Permut32 p : Permut32::all(c0.nqubits())) {
    Circ cand = compact_qubits(reorder_instrs(c0.permut(p)));
    if (!best || cand < best->first || (cand == best->first && p.raw < best->second.raw)) best.emplace(cand, p);
  }
  return *best;
}

Circ literal_rotate_canonical(const Circ& c) {
  const Circ c0 = literal_prelude(c);
  if (c0.is_empty()) return c0;
  std::optional<Circ> best;
  for (Permut32 p : Permut32::all(c0.nqubits())) {
    const Circ cp = c0.permut(p);
    for (size_t i = 0; i < cp.len(); ++i) {
      if (!cp.instrs[i].qargs.contains(0)) continue;
      Circ cand = compact_qubits(reorder_instrs(cp.rotate(int64_t(i))));
      if (!best || cand < *best) best = cand;
    }
  }
  if (!best) panic("called `Option::unwrap()` on a `None` value");
  return *best;
}

/// A random circuit over {h, x, t, cx, swap, a gate without qubits} on n qubits, with a random
/// permutation of n positions.
Circ random_circ(std::mt19937& rng, uint8_t n, size_t len) {
  static const Gate16 none = phase_gate();
  std::vector<Instr32> v;
  const Gate16 one[] = {gates::H(), gates::X(), gates::T()};
  for (size_t k = 0; k < len; ++k) {
    const uint8_t a = uint8_t(rng() % n), kind = uint8_t(rng() % 10);
    if (n > 1 && kind < 4) {
      const uint8_t b = uint8_t((a + 1 + rng() % (n - 1)) % n);
      v.push_back(instr(kind == 0 ? gates::SWAP() : gates::CX(), {a, b}));
    } else if (kind == 4) {
      v.push_back(instr(none, {}));
    } else {
      v.push_back(instr(one[rng() % 3], {a}));
    }
  }
  const auto& all = Permut32::all(n);
  return Circ::make(std::move(v), rng() % 3 == 0 ? Permut32::identity(n) : all[rng() % all.size()]);
}

}  // namespace

struct StepCase {
  Circ input;
  Circ expected;
};

TEST(canonical, compact_qubits_cases) {
  const StepCase cases[] = {
      {Circ::make({h(0)}, Permut32::identity(3)), Circ::make({h(0)}, Permut32::identity(1))},
      {Circ::make({h(0)}, perm({0, 2, 1})), Circ::make({h(0)}, perm({0, 2, 1}))},
      {Circ::make({}, Permut32::identity(3)), Circ::make({}, Permut32::identity(3))},
      {Circ::make({}, perm({1, 0, 2})), Circ::make({}, perm({1, 0, 2}))},  // no instructions: unchanged
      {Circ::make({h(1)}, perm({1, 0, 2, 3})), Circ::make({h(1)}, perm({1, 0}))},
      {Circ::make({instr(phase_gate(), {})}, Permut32::identity(2)),
       Circ::make({instr(phase_gate(), {})}, Permut32::identity(2))},
  };
  for (const auto& c : cases) EXPECT_EQ(compact_qubits(c.input), c.expected) << c.input.display();
}

TEST(canonical, reorder_instrs_cases) {
  const auto id3 = Permut32::identity(3);
  const StepCase cases[] = {
      {Circ::make({h(2), cx(0, 1)}, id3), Circ::make({cx(0, 1), h(2)}, id3)},
      {Circ::make({h(0), x(0)}, id3), Circ::make({h(0), x(0)}, id3)},
      {Circ::make({cx(0, 1), h(2)}, id3), Circ::make({cx(0, 1), h(2)}, id3)},
      {Circ::make({x(1), cx(1, 2), h(0)}, id3), Circ::make({h(0), x(1), cx(1, 2)}, id3)},
      {Circ::make({h(2), h(1), h(0)}, id3), Circ::make({h(0), h(1), h(2)}, id3)},
  };
  for (const auto& c : cases) EXPECT_EQ(reorder_instrs(c.input), c.expected) << c.input.display();
}

TEST(canonical, forms_of_small_circuits) {
  // Equal candidates from two relabellings: the smaller raw word wins, here (1 0).
  auto [rep, p] = representative_with_perm(Circ::make({h(0), h(1)}, Permut32::identity(2)));
  EXPECT_EQ(rep, Circ::make({h(0), h(1)}, Permut32::identity(2)));
  EXPECT_EQ(p, perm({1, 0}));
  // Empty after the prelude: returned with its permutation, and the empty relabelling.
  const Circ swaps_only = Circ::make({swap(0, 1), swap(1, 2)}, Permut32::identity(3));
  EXPECT_EQ(representative_with_perm(swaps_only), std::make_pair(Circ::make({}, perm({2, 0, 1})), Permut32{}));
  EXPECT_EQ(representative(Circ::make({}, perm({1, 0}))), Circ::make({}, perm({1, 0})));
  EXPECT_EQ(rotate_canonical(Circ::make({}, Permut32{})), Circ::make({}, Permut32{}));
  // Relabelled qubits meet under one key.
  EXPECT_EQ(representative(Circ::make({cx(2, 0), h(2)}, Permut32::identity(3))),
            Circ::make({cx(0, 1), h(0)}, Permut32::identity(2)));
  EXPECT_THAT([] { rotate_canonical(Circ::make({instr(phase_gate(), {})}, Permut32{})); },
              Stops("called `Option::unwrap()` on a `None` value"));
}

TEST(canonical, fast_forms_equal_the_literal_definition) {
  std::mt19937 rng(2024);
  for (int trial = 0; trial < 1500; ++trial) {
    const uint8_t n = uint8_t(1 + trial % 5);
    const Circ c = random_circ(rng, n, rng() % 9);
    const auto literal = literal_representative_with_perm(c);
    ASSERT_EQ(representative_with_perm(c), literal) << c.display();
    ASSERT_EQ(representative(c), literal.first);
    // The relabelling reproduces the representative from the prelude circuit.
    const Circ c0 = literal_prelude(c);
    if (!c0.is_empty()) {
      ASSERT_EQ(compact_qubits(reorder_instrs(c0.permut(literal.second))), literal.first);
    }
    ASSERT_LE(literal.first.nqubits(), c0.nqubits());
    ASSERT_LE(c0.nqubits(), c.nqubits());
    std::optional<Circ> rotated;
    std::string stop;
    try {
      rotated = literal_rotate_canonical(c);
    } catch (const Panic& p) {
      stop = p.what();
    }
    if (rotated) {
      ASSERT_EQ(rotate_canonical(c), *rotated) << c.display();
    } else {
      EXPECT_THAT([&] { rotate_canonical(c); }, Stops(stop));
    }
  }
}

TEST(canonical, rotate_canonical_is_invariant_under_rotation_and_relabelling) {
  std::mt19937 rng(99);
  for (int trial = 0; trial < 200; ++trial) {
    const uint8_t n = uint8_t(1 + trial % 4);
    Circ half = random_circ(rng, n, 1 + rng() % 4);
    half.instrs.push_back(h(uint8_t(rng() % n)));  // at least one instruction on a qubit
    const Circ identity = half + half.inverse();
    const Circ canonical = rotate_canonical(identity);
    const auto& all = Permut32::all(n);
    for (int64_t k = 0; k < int64_t(identity.len()); ++k) {
      const Circ moved = identity.rotate(k).permut(all[rng() % all.size()]);
      ASSERT_EQ(rotate_canonical(moved), canonical) << identity.display() << " " << moved.display();
    }
  }
}

TEST(canonical, malformed_circuits_stop_before_any_table_lookup) {
  const Circ bad_word{{h(0)}, Permut32::from_raw(0x0F000000)};
  const Circ bad_slot{{Instr32{gates::H(), QArgs16{{0xFF, 0}}}}, Permut32::identity(2)};
  const Circ far_qubit{{Instr32{gates::H(), QArgs16{{8, 0xFF}}}}, Permut32::identity(2)};
  for (const Circ* c : {&bad_word, &bad_slot, &far_qubit}) {
    EXPECT_THROW(representative_with_perm(*c), Panic);
    EXPECT_THROW(rotate_canonical(*c), Panic);
  }
}

/// The check that pending signals would run, installed for one test: it counts its calls and ends
/// the work at the first.
struct InterruptAtFirstCheck {
  struct Interrupted {};
  static inline int calls = 0;
  InterruptAtFirstCheck() {
    calls = 0;
    interrupt::install([] {
      ++calls;
      throw Interrupted{};
    });
  }
  ~InterruptAtFirstCheck() { interrupt::install(nullptr); }
};

TEST(canonical, long_forms_look_at_pending_signals) {
  // 8 qubits, 3000 gates: each form runs long enough to look; the prover's small circuits never do.
  std::mt19937 rng(5);
  std::vector<Instr32> instrs;
  for (int k = 0; k < 1500; ++k) {
    const uint8_t a = uint8_t(rng() % 8), b = uint8_t((a + 1 + rng() % 7) % 8);
    instrs.push_back(k % 3 == 0 ? cx(a, b) : k % 3 == 1 ? h(a) : t(a));
  }
  const Circ half = Circ::make(instrs, Permut32::identity(8));
  const Circ identity = half + half.inverse();
  const Circ small = Circ::make({h(0), cx(0, 1), t(2), cx(1, 2), h(0)}, Permut32::identity(3));
  const Circ small_identity = small + small.inverse();
  InterruptAtFirstCheck check;
  EXPECT_THROW(rotate_canonical(identity), InterruptAtFirstCheck::Interrupted);
  EXPECT_THROW(representative_with_perm(identity), InterruptAtFirstCheck::Interrupted);
  EXPECT_THROW(representative_with_perm(half), InterruptAtFirstCheck::Interrupted);
  EXPECT_EQ(InterruptAtFirstCheck::calls, 3);
  EXPECT_NO_THROW(rotate_canonical(small_identity));
  EXPECT_NO_THROW(representative_with_perm(small));
}

}  // namespace morvane
