#include "morvane/identity/splits.h"

#include <algorithm>
#include <bit>
#include <optional>
#include <random>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "morvane/core/panic.h"
#include "morvane/testing/circuits.h"

namespace morvane {

using testing::cx;
using testing::h;
using testing::perm;
using testing::Stops;
using testing::x;

namespace {

using Subsets = std::vector<std::vector<uint8_t>>;

uint64_t binomial(uint64_t n, uint64_t k) {
  uint64_t r = 1;
  for (uint64_t i = 1; i <= k; ++i) r = r * (n - k + i) / i;
  return r;
}

/// Identities of one to three qubits, with and without a trailing permutation.
std::vector<IdentityCirc> sample_identities() {
  return {
      IdentityCirc::unchecked(Circ::make({h(0), h(0)}, Permut32::identity(1))),
      IdentityCirc::unchecked(Circ::make({cx(0, 1), cx(1, 0), cx(0, 1)}, perm({1, 0}))),
      IdentityCirc::unchecked(Circ::make({h(0), h(1), cx(0, 1), h(0), h(1), cx(1, 0)}, Permut32::identity(2))),
      IdentityCirc::unchecked(Circ::make({x(0), cx(0, 1), x(0), cx(0, 1), x(1)}, Permut32::identity(2))),
      IdentityCirc::unchecked(Circ::make({cx(0, 1), cx(1, 2), cx(0, 1), cx(1, 2), cx(0, 2)}, Permut32::identity(3))),
      IdentityCirc::unchecked(Circ::make({cx(0, 1), h(2), cx(1, 0), h(2), cx(0, 1)}, perm({1, 0, 2}))),
      IdentityCirc::unchecked(Circ::make({x(0), x(1), cx(0, 2), x(1), x(0), cx(0, 2), x(2)}, Permut32::identity(3))),
  };
}

uint32_t mask(std::initializer_list<uint8_t> gates) {
  uint32_t m = 0;
  for (uint8_t g : gates) m |= uint32_t(1) << g;
  return m;
}

}  // namespace

namespace {

/// Entry n as index lists.
Subsets entry(size_t n) {
  Subsets out;
  for (uint32_t subset : combinations(n)) out.push_back(subset_indices(subset));
  return out;
}

}  // namespace

TEST(splits, combinations_first_entries_and_sizes) {
  EXPECT_EQ(entry(0), (Subsets{{}}));
  EXPECT_EQ(entry(1), (Subsets{{}, {0}}));
  EXPECT_EQ(entry(2), (Subsets{{}, {0}, {1}, {0, 1}}));
  EXPECT_EQ(entry(3), (Subsets{{}, {0}, {1}, {2}, {0, 1}, {0, 2}, {1, 2}}));
  const Subsets four = entry(4);
  EXPECT_EQ(Subsets(four.end() - 4, four.end()), (Subsets{{0, 1, 2}, {0, 1, 3}, {0, 2, 3}, {1, 2, 3}}));
  EXPECT_EQ(combinations(5).size(), 26u);
  EXPECT_EQ(combinations(10).size(), 848u);
  uint64_t entry19 = 0;
  for (uint64_t k = 0; k <= 10; ++k) entry19 += binomial(19, k);
  EXPECT_EQ(combinations(19).size(), entry19);
  // Every entry: by size, then lexicographic; increasing indices below n; sizes up to n/2 + 1.
  for (size_t n = 0; n < kCombinationEntries; ++n) {
    const Subsets e = entry(n);
    for (size_t i = 0; i < e.size(); ++i) {
      ASSERT_LE(e[i].size(), n / 2 + 1);
      ASSERT_TRUE(std::is_sorted(e[i].begin(), e[i].end()) &&
                  std::adjacent_find(e[i].begin(), e[i].end()) == e[i].end());
      if (!e[i].empty()) {
        ASSERT_LT(e[i].back(), n);
      }
      if (i > 0) {
        ASSERT_TRUE(e[i - 1].size() < e[i].size() || (e[i - 1].size() == e[i].size() && e[i - 1] < e[i]));
      }
    }
  }
  EXPECT_THAT([] { combinations(20); }, Stops("index out of bounds: the len is 20 but the index is 20"));
}

struct SelectionCase {
  const char* name;
  Circ circ;
  uint32_t gates;
  bool connected;
  bool convex;
};

TEST(splits, connectivity_and_convexity) {
  const Circ hh = Circ::make({h(0), h(1), h(1), h(0)}, Permut32::identity(2));
  const Circ crossing = Circ::make({cx(0, 1), h(0), cx(0, 1), h(0)}, Permut32::identity(2));
  const SelectionCase cases[] = {
      {"nothing selected", hh, 0, true, true},
      {"one gate", hh, mask({1}), true, true},
      {"neighbours on one wire", hh, mask({1, 2}), true, true},
      {"neighbours across the end", hh, mask({0, 3}), true, true},
      {"gates on different wires", hh, mask({0, 1}), false, true},
      {"a path through an unselected gate", crossing, mask({1, 3}), false, false},
      {"re-entering qubit 0", crossing, mask({0, 2}), true, false},
      {"everything: no ports at all", crossing, mask({0, 1, 2, 3}), true, true},
  };
  for (const SelectionCase& c : cases) {
    SCOPED_TRACE(c.name);
    const IdentityCirc id = IdentityCirc::as_read(c.circ);
    const WireTable wires = WireTable::of(id);
    const IdentitySubcircuit sub{id, wires, c.gates};
    EXPECT_EQ(sub.is_connected(), c.connected);
    EXPECT_EQ(sub.is_convex(), c.convex);
  }
}

// The subset table decides on bit masks and visits only connected selections; IdentitySubcircuit
// and the entry's full list are the plain forms it must agree with, on circuits with every kind of wire: wrapping
// through a permutation, gates next to themselves, two-qubit gates whose wires meet the same neighbour.
TEST(splits, subset_table_decides_as_the_plain_checks) {
  std::mt19937 rng(7);
  size_t compared = 0, splittable = 0, circuits = 0, permuted = 0;
  for (int round = 0; round < 400; ++round) {
    const uint8_t n = uint8_t(1 + rng() % 4);
    const size_t len = n + rng() % (16 - n);
    std::vector<Instr32> instrs;
    for (size_t k = 0; k < len; ++k) {
      // Every qubit has a gate, so that every wire has its neighbours.
      const uint8_t a = k < n ? uint8_t(k) : uint8_t(rng() % n), b = uint8_t((a + 1 + rng() % std::max(1, n - 1)) % n);
      instrs.push_back(n == 1 || rng() % 2 ? (rng() % 2 ? h(a) : x(a)) : cx(a, b));
    }
    std::vector<uint8_t> images;
    for (uint8_t q = 0; q < n; ++q) images.push_back(q);
    if (round % 2) std::shuffle(images.begin(), images.end(), rng);
    const IdentityCirc id = IdentityCirc::as_read(Circ::make(instrs, Permut32::from_iter(images)));
    std::optional<WireTable> wires;
    try {
      wires = WireTable::of(id);
    } catch (const Panic&) {
      continue;  // a wire that leaves through the permutation and meets no gate: no identity
    }
    ++circuits;
    permuted += round % 2;
    const SubsetSplits table(id);
    std::vector<uint32_t> filtered;
    for (size_t i = 0; i < table.size(); ++i)
      if (table.subset(i) != 0 && table.splittable(i)) filtered.push_back(table.subset(i));
    ASSERT_EQ(table.splittable_subsets(), filtered) << "round " << round;
    for (size_t i = 0; i < table.size(); ++i) {
      const IdentitySubcircuit sub{id, *wires, table.subset(i)};
      const bool plain = sub.is_connected() && sub.is_convex();
      ASSERT_EQ(table.splittable(i), plain) << "round " << round << ", subset " << table.subset(i);
      splittable += plain;
      ++compared;
    }
  }
  // Enough circuits, with permutations among them, and both answers often enough for the
  // comparison to mean something.
  EXPECT_GT(circuits, 200u);
  EXPECT_GT(permuted, 50u);
  EXPECT_GT(splittable, 1000u);
  EXPECT_GT(compared - splittable, 1000u);
}

TEST(splits, ports_follow_gate_and_argument_order) {
  const IdentityCirc id = IdentityCirc::as_read(Circ::make({cx(0, 1), h(0), cx(0, 1), h(0)}, Permut32::identity(2)));
  const WireTable wires = WireTable::of(id);
  const IdentitySubcircuit sub{id, wires, mask({0, 1})};
  // cx(0, 1) enters on both qubits (after h(0) at 3 and cx at 2); h(0) leaves on qubit 0 to cx at 2,
  // cx leaves on qubit 1 to cx at 2.
  EXPECT_EQ(sub.inputs(), (Ports{{0, 0, 0}, {1, 0, 1}}));
  EXPECT_EQ(sub.outputs(), (Ports{{1, 0, 1}, {0, 1, 0}}));
}

TEST(splits, split_of_one_gate_two_gates_and_nothing) {
  const IdentityCirc swap3 = IdentityCirc::unchecked(Circ::make({cx(0, 1), cx(1, 0), cx(0, 1)}, perm({1, 0})));
  const WireTable wires = WireTable::of(swap3);
  // One gate: itself, then the gates after it and the ones before it relabelled by P⁻¹, with P.
  EXPECT_EQ(IdentitySubcircuit({swap3, wires, mask({1})}).split(),
            (Split{Circ::make({cx(1, 0)}, Permut32::identity(2)), Circ::make({cx(0, 1), cx(1, 0)}, perm({1, 0}))}));
  EXPECT_EQ(IdentitySubcircuit({swap3, wires, 0}).split(), std::nullopt);

  const IdentityCirc hh = IdentityCirc::unchecked(Circ::make({h(0), h(0)}, Permut32::identity(1)));
  const WireTable hh_wires = WireTable::of(hh);
  EXPECT_EQ(IdentitySubcircuit({hh, hh_wires, mask({0, 1})}).split(),
            (Split{Circ::make({h(0), h(0)}, Permut32::identity(1)), Circ::make({}, Permut32::identity(1))}));
}

TEST(splits, a_block_that_cannot_be_gathered_has_no_split) {
  // The two cx gates meet directly on qubit 1 (connected, convex), but h(0) sits between them on
  // qubit 0 and h(1) after them on qubit 1: neither can be moved out of the way.
  const IdentityCirc id = IdentityCirc::as_read(Circ::make({cx(0, 1), h(0), cx(0, 1), h(1)}, Permut32::identity(2)));
  const WireTable wires = WireTable::of(id);
  EXPECT_EQ(IdentitySubcircuit({id, wires, mask({0, 2})}).split(), std::nullopt);
}

TEST(splits, every_split_is_the_identity_cut_in_two) {
  for (const IdentityCirc& id : sample_identities()) {
    SCOPED_TRACE(id.display());
    const SubsetSplits subsets(id);
    std::vector<Split> sequential;
    for (size_t i = 0; i < subsets.size(); ++i) {
      auto s = subsets.at(i);
      if (!s) continue;
      const uint32_t gates = combinations(id.circ.len())[i];
      EXPECT_EQ(s->c1.len(), size_t(std::popcount(gates)));
      EXPECT_EQ(s->c1.len() + s->c2.len(), id.circ.len());
      EXPECT_EQ(s->c1.perm, Permut32::identity(id.nqubits()));
      EXPECT_EQ(s->c2.perm, id.circ.perm);
      // The block followed by the rest acts as the identity does.
      EXPECT_NO_THROW(IdentityCirc::unchecked(s->c1 + s->c2))
          << "subset " << i << " mask " << gates << " c1 " << s->c1.display() << " c2 " << s->c2.display();
      sequential.push_back(std::move(*s));
    }
    EXPECT_FALSE(sequential.empty());
    EXPECT_EQ(IdentitySubcircuit::par_subcircuit_splits(id), sequential);
  }
}

TEST(splits, empty_identity_has_no_split_and_twenty_gates_stop) {
  EXPECT_TRUE(IdentitySubcircuit::par_subcircuit_splits(IdentityCirc::empty()).empty());
  std::vector<Instr32> twenty(20, h(0));
  const IdentityCirc long_id = IdentityCirc::unchecked(Circ::make(twenty, Permut32::identity(1)));
  EXPECT_THAT([&] { IdentitySubcircuit::par_subcircuit_splits(long_id); },
              Stops("index out of bounds: the len is 20 but the index is 20"));
}

}  // namespace morvane
