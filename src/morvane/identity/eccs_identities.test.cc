#include "morvane/identity/eccs_identities.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "morvane/testing/circuits.h"
#include "morvane/identity/canonical.h"

namespace morvane {

using testing::cx;
using testing::h;
using testing::instr;
using testing::perm;
using testing::s;
using ::testing::StartsWith;
using testing::Stops;
using testing::t;

namespace {

Instr32 z(uint8_t q) { return instr(gates::Z(), {q}); }

PermutedCircuit pc(std::vector<Instr32> instrs, Permut32 p) {
  return PermutedCircuit{{instrs.begin(), instrs.end()}, p};
}

ECCs sample_classes() {
  const Permut32 id1 = Permut32::identity(1), id2 = Permut32::identity(2);
  ECCs e;
  e.nqubits = 2;
  e.eccs.push_back(ECC{{pc({s(0)}, id1), pc({t(0), t(0)}, id1)}});
  e.eccs.push_back(ECC{{pc({h(1)}, id2)}});  // a single circuit gives nothing
  e.eccs.push_back(ECC{{pc({z(0)}, id1), pc({s(0), s(0)}, id1), pc({h(0), instr(gates::X(), {0}), h(0)}, id1)}});
  e.eccs.push_back(ECC{{pc({cx(0, 1), cx(1, 0), cx(0, 1)}, id2), pc({}, perm({1, 0}))}});
  return e;
}

}  // namespace

TEST(eccs_identities, one_triple_per_further_circuit_sorted) {
  const ECCs e = sample_classes();
  const auto out = to_identity_circuits(e);
  ASSERT_EQ(out.size(), 1u + 0u + 2u + 1u);
  EXPECT_TRUE(std::is_sorted(out.begin(), out.end()));
  for (const auto& w : out) {
    EXPECT_EQ(w.identity, rotate_representative(w.inverted_representative + w.circuit));
    EXPECT_TRUE(w.identity.check());
  }
  // Both further circuits of the z class share its inverted representative.
  const Circ inverted_z = Circ::make({instr(gates::Z(), {0})}, Permut32::identity(1)).inverse();
  EXPECT_EQ(
      std::count_if(out.begin(), out.end(), [&](const auto& w) { return w.inverted_representative == inverted_z; }), 2);
  // The order of the classes does not matter.
  ECCs reversed = e;
  std::reverse(reversed.eccs.begin(), reversed.eccs.end());
  EXPECT_EQ(to_identity_circuits(reversed), out);
}

TEST(eccs_identities, a_class_gives_its_identities_in_member_order) {
  const ECC z = sample_classes().eccs[2];
  std::vector<Circ> seen;
  for_each_class_identity(z, [&](const IdentityCirc& identity, const Circ& inverted, const Circ& c) {
    EXPECT_EQ(inverted, z.circuits[0].to_circ().inverse());
    EXPECT_EQ(identity, rotate_representative(inverted + c));
    seen.push_back(c);
  });
  EXPECT_EQ(seen, (std::vector<Circ>{z.circuits[1].to_circ(), z.circuits[2].to_circ()}));
  // A circuit that is not equivalent stops when its turn comes, after the ones before it.
  ECC wrong = z;
  wrong.circuits[2] = pc({t(0)}, Permut32::identity(1));
  size_t calls = 0;
  EXPECT_THAT([&] { for_each_class_identity(wrong, [&](auto&&...) { ++calls; }); },
              Stops(StartsWith("IdentityCirc: circuit is not identity ")));
  EXPECT_EQ(calls, 1u);
}

TEST(eccs_identities, single_circuit_classes_give_nothing) {
  ECCs e;
  e.eccs.push_back(ECC{{pc({h(0)}, Permut32::identity(1))}});
  EXPECT_TRUE(to_identity_circuits(e).empty());
  EXPECT_TRUE(to_identity_circuits(ECCs{}).empty());
}

TEST(eccs_identities, duplicate_identities_stay_adjacent) {
  ECCs e;
  const Permut32 id1 = Permut32::identity(1);
  // The same identity on another qubit of a wider class: its canonical form is the same.
  e.eccs.push_back(ECC{{pc({s(1)}, Permut32::identity(2)), pc({t(1), t(1)}, Permut32::identity(2))}});
  e.eccs.push_back(ECC{{pc({s(0)}, id1), pc({t(0), t(0)}, id1)}});
  const auto out = to_identity_circuits(e);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].identity, out[1].identity);
  EXPECT_LT(out[0].inverted_representative, out[1].inverted_representative);
}

TEST(eccs_identities, empty_and_inconsistent_classes_stop) {
  ECCs empty_class;
  empty_class.eccs.push_back(ECC{});
  EXPECT_THAT([&] { to_identity_circuits(empty_class); },
              Stops("index out of bounds: the len is 0 but the index is 0"));
  ECCs wrong;
  wrong.eccs.push_back(ECC{{pc({h(0)}, Permut32::identity(1)), pc({t(0)}, Permut32::identity(1))}});
  EXPECT_THAT([&] { to_identity_circuits(wrong); }, Stops(StartsWith("IdentityCirc: circuit is not identity ")));
}

}  // namespace morvane
