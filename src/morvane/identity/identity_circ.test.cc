#include "morvane/identity/identity_circ.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "morvane/testing/circuits.h"
#include "morvane/identity/canonical.h"

namespace morvane {

using testing::cx;
using testing::h;
using ::testing::HasSubstr;
using testing::instr;
using testing::perm;
using ::testing::StartsWith;
using testing::Stops;

namespace {

Instr32 raw(Gate16 g, uint8_t a, uint8_t b) { return Instr32{g, QArgs16{{a, b}}}; }

constexpr const char* kNotIdentity = "IdentityCirc: circuit is not identity ";

}  // namespace

struct CheckCase {
  Circ circ;
  bool identity;
};

TEST(identity_circ, check_accepts_identities_and_stops_otherwise) {
  const CheckCase cases[] = {
      {Circ::make({h(0), h(0)}, Permut32::identity(1)), true},
      {Circ::make({h(0)}, Permut32::identity(1)), false},
      {Circ::make({}, Permut32{}), true},
      {Circ::make({}, perm({1, 0})), false},
      {Circ::make({instr(gates::SWAP(), {0, 1})}, perm({1, 0})), true},
      {Circ::make({cx(0, 1), cx(1, 0), cx(0, 1)}, perm({1, 0})), true},
      {Circ::make({cx(0, 1), cx(1, 0), cx(0, 1)}, perm({0, 1})), false},
      {Circ::make({instr(gates::T(), {2}), instr(gates::T(), {2}), instr(gates::S(), {2}), instr(gates::Z(), {2})},
                  Permut32::identity(3)),
       true},
  };
  for (const auto& c : cases) {
    if (c.identity) {
      for (int again = 0; again < 3; ++again) EXPECT_TRUE(IdentityCirc::unchecked(c.circ).check()) << c.circ.display();
    } else {
      EXPECT_THAT([&] { IdentityCirc::unchecked(c.circ); }, Stops(StartsWith(kNotIdentity))) << c.circ.display();
    }
  }
  EXPECT_THAT([] { IdentityCirc::unchecked(Circ::make({h(0)}, Permut32::identity(1))); },
              Stops(HasSubstr(" Identity { h(0) (0) }")));
}

TEST(identity_circ, hash_display_and_order_are_the_wrapped_circuits) {
  const Circ c = Circ::make({h(0), h(0)}, Permut32::identity(1));
  const IdentityCirc id = IdentityCirc::unchecked(c);
  EXPECT_EQ(id.hash_value(), c.hash_value());
  EXPECT_EQ(id.display(), "Identity { h(0) h(0) (0) }");
  EXPECT_EQ(id.debug(), "IdentityCirc(Circ { instrs: [h(0), h(0)], perm: (0) })");
  EXPECT_EQ(IdentityCirc::empty().display(), "Identity { () }");
  EXPECT_LT(IdentityCirc::empty(), id);
}

struct NeighbourCase {
  Circ circ;
  size_t gate;
  std::vector<size_t> forward, backward;
};

TEST(identity_circ, wire_neighbours) {
  const Circ hh = Circ::make({h(0), h(0)}, Permut32::identity(1));
  // cx(0, 1) h(1) cx(0, 1) h(1) swap...: a two-qubit identity whose wires pass the permutation.
  const Circ swapped = Circ::make({cx(0, 1), cx(1, 0), cx(0, 1)}, perm({1, 0}));
  const Circ one = Circ::make({instr(Gate16::deserialize("i"), {0})}, Permut32::identity(1));
  const NeighbourCase cases[] = {
      {hh, 0, {1}, {1}},
      {hh, 1, {0}, {0}},
      {one, 0, {0}, {0}},
      {swapped, 0, {1, 1}, {2, 2}},
      {swapped, 1, {2, 2}, {0, 0}},
      {swapped, 2, {0, 0}, {1, 1}},
  };
  for (const auto& c : cases) {
    const IdentityCirc id = IdentityCirc::unchecked(c.circ);
    EXPECT_EQ(id.qargs_forward(c.gate), c.forward) << c.circ.display() << " " << c.gate;
    EXPECT_EQ(id.qargs_backward(c.gate), c.backward) << c.circ.display() << " " << c.gate;
  }
  EXPECT_THAT([&] { IdentityCirc::unchecked(hh).qargs_forward(2); },
              Stops("index out of bounds: the len is 2 but the index is 2"));
  EXPECT_THAT([&] { IdentityCirc::unchecked(hh).qargs_backward(2); },
              Stops("index out of bounds: the len is 2 but the index is 2"));
}

TEST(identity_circ, wire_scans_of_data_that_are_no_identity_stop) {
  const IdentityCirc moved = IdentityCirc::as_read(Circ{{h(0)}, perm({1, 0})});
  EXPECT_THAT([&] { moved.qargs_forward(0); }, Stops("Identity { h(0) (1 0) } [4294967295]"));
  EXPECT_THAT([&] { moved.qargs_backward(0); },
              Stops("a Identity { h(0) (1 0) } Circ { instrs: [h(1)], perm: (1 0) } 0"));
}

struct HostileCase {
  Circ circ;
  const char* message;
  bool wires_readable;  // the wire scans touch no gate, so a wrong arity is no fault for them
};

TEST(identity_circ, malformed_data_stop_with_a_clear_message) {
  const HostileCase cases[] = {
      {Circ{{raw(gates::H(), 0xFF, 0xFF)}, Permut32::identity(1)}, "Instruction 0 has 0 qubits but its gate h takes 1",
       true},
      {Circ{{raw(gates::CX(), 0, 0xFF)}, Permut32::identity(2)}, "Instruction 0 has 1 qubits but its gate cx takes 2",
       true},
      {Circ{{raw(gates::H(), 0xFF, 0)}, Permut32::identity(1)},
       "Instruction 0 has an empty first qubit slot before qubit 0", false},
      {Circ{{raw(gates::H(), 9, 0xFF)}, Permut32::identity(1)},
       "Instruction 0 uses qubit 9, which is not below the permutation length 1", false},
      {Circ{{h(0), h(0)}, Permut32::from_raw(0x01000001)},
       "Circuit permutation word 0x1000001 is not a permutation of at most 8 positions", false},
      {Circ{{h(0), h(0)}, Permut32::from_raw(0x09000000)},
       "Circuit permutation word 0x9000000 is not a permutation of at most 8 positions", false},
  };
  for (const auto& c : cases) {
    const IdentityCirc id = IdentityCirc::as_read(c.circ);
    EXPECT_THAT([&] { id.check(); }, Stops(c.message)) << c.message;
    EXPECT_THROW(rotate_representative(c.circ), Panic);
    if (c.wires_readable) continue;
    EXPECT_THROW(id.qargs_forward(0), Panic);
    EXPECT_THROW(id.qargs_backward(0), Panic);
  }
}

TEST(identity_circ, rotate_representative_checks_its_result) {
  EXPECT_EQ(rotate_representative(Circ::make({}, Permut32{})), IdentityCirc::empty());
  EXPECT_THAT([] { rotate_representative(Circ::make({}, perm({1, 0}))); }, Stops(StartsWith(kNotIdentity)));
  EXPECT_THAT(
      [] {
        rotate_representative(Circ::make({h(0), cx(0, 1)}, Permut32::identity(2)));
      },
      Stops(StartsWith(kNotIdentity)));
  // A CNOT sandwich on a relabelled pair meets the plain one under one key.
  const Circ a = Circ::make({cx(0, 1), cx(1, 0), cx(0, 1)}, perm({1, 0}));
  const Circ b = Circ::make({cx(2, 1), cx(1, 2), cx(2, 1)}, perm({0, 2, 1}));
  EXPECT_EQ(rotate_representative(a), rotate_representative(b));
}

}  // namespace morvane
