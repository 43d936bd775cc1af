#include "morvane/state/state_lanes.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

#include "morvane/state/order_info.h"
#include "morvane/testing/states.h"

namespace morvane {

namespace {

using testing::bitwise_equal;
using testing::Stops;

/// Every kernel gate of the built-in set on random qubits of n, prepared for n.
std::vector<PreparedGate> random_gates(uint32_t n, size_t count, std::mt19937_64& pick) {
  const Gate16 one[] = {gates::H(), gates::X(), gates::Z(), gates::S(), gates::SDG(), gates::T(), gates::TDG()};
  const Gate16 two[] = {gates::CX(), gates::SWAP()};
  std::vector<PreparedGate> out;
  while (out.size() < count) {
    const uint8_t a = uint8_t(pick() % n), b = uint8_t(pick() % n);
    if (pick() % 3 == 0) {
      if (a != b) out.push_back(PreparedGate::prepare(testing::instr(two[pick() % 2], {a, b}), n));
    } else {
      out.push_back(PreparedGate::prepare(testing::instr(one[pick() % std::size(one)], {a}), n));
    }
  }
  return out;
}

/// Whether bit k of `distinct` and the orders found for lane k are what `alone` gives by itself.
::testing::AssertionResult order_of_lane(const StateVec& alone, uint32_t distinct, size_t k, Permut32 perm,
                                         Permut32 inverse) {
  Permut32 p, inv;
  const bool want = alone.distinct_order(p, inv);
  if (((distinct >> k) & 1) != uint32_t(want)) return ::testing::AssertionFailure() << "distinct: " << want;
  if (want && (perm != p || inverse != inv)) return ::testing::AssertionFailure() << "orders differ";
  return ::testing::AssertionSuccess();
}

}  // namespace

TEST(state_lanes, every_lane_holds_the_bits_of_its_state_run_alone) {
  if (!StateLanes::available()) GTEST_SKIP() << "no AVX2";
  std::mt19937_64 pick(3);
  for (uint32_t n = 2; n <= 5; ++n) {
    const RelabelTables tables(n);
    StateLanes lanes(n);
    for (int round = 0; round < 40; ++round) {
      auto rng = testing::seeded(uint8_t(n), uint8_t(round));
      std::array<StateVec, StateLanes::kLanes> states{StateVec::from_random(rng, n), StateVec::from_random(rng, n),
                                                      StateVec::from_random(rng, n), StateVec::from_random(rng, n)};
      // Phase references of every kind: amplitude 0 near zero, then the last one too (the sum).
      if (round % 4 == 1) {
        states[1].set(0, Complex{1e-9, -1e-9});
      } else if (round % 4 == 2) {
        states[2].set(0, Complex{0.0, 0.0});
        states[2].set(states[2].len() - 1, Complex{-3e-8, 0.0});
        states[3].set(0, Complex{1e-8, 0.0});
      }
      // A tie in the first order keys for the lane order of one lane.
      if (round % 5 == 3) states[0].set(2, states[0].at(1));
      // A key beyond the vector rounding's range.
      if (round % 7 == 6) states[3].set(1, Complex{3e10, 0.0});
      // The orders of normalised states, on a copy of each normalised alone.
      const size_t count = 1 + size_t(round) % StateLanes::kLanes;
      std::array<const StateVec*, StateLanes::kLanes> raw;
      for (size_t k = 0; k < count; ++k) raw[k] = &states[k];
      std::array<Permut32, StateLanes::kLanes> fwd_perm, fwd_inverse;
      const uint32_t fwd_distinct =
          StateLanes::normalized_distinct_orders(std::span(raw).first(count), fwd_perm.data(), fwd_inverse.data());
      EXPECT_EQ(fwd_distinct >> count, 0u);
      for (size_t k = 0; k < count; ++k) {
        StateVec normalized = states[k];
        normalized.normalize_arg();
        ASSERT_TRUE(order_of_lane(normalized, fwd_distinct, k, fwd_perm[k], fwd_inverse[k]))
            << n << " " << round << " " << k;
      }
      std::array<const StateVec*, StateLanes::kLanes> all;
      for (size_t k = 0; k < states.size(); ++k) all[k] = &states[k];
      lanes.load_all(all);
      // Loaded together (the first `count` lanes), each lane holds the same bits.
      StateLanes together(n);
      together.load_all(std::span(raw).first(count));
      for (size_t k = 0; k < count; ++k) {
        StateVec stored = StateVec::zeros(n);
        together.store(k, stored);
        ASSERT_TRUE(bitwise_equal(stored, states[k])) << n << " " << round << " " << k;
      }
      // No gates where the references were set up, or where the tie would be.
      const bool plain = round % 4 == 1 || round % 4 == 2 || round % 5 == 3 || round % 7 == 6;
      const auto gates = random_gates(n, plain ? 0 : pick() % 9, pick);
      lanes.apply_reversed(gates);
      lanes.normalize_arg();
      std::array<Permut32, StateLanes::kLanes> all_perm, all_inverse;
      const uint32_t all_distinct = lanes.distinct_orders(all_perm.data(), all_inverse.data());
      for (size_t k = 0; k < states.size(); ++k) {
        StateVec& alone = states[k];
        alone.apply_reversed(gates);
        alone.normalize_arg();
        StateVec stored = StateVec::zeros(n);
        lanes.store(k, stored);
        ASSERT_TRUE(bitwise_equal(stored, alone)) << n << " " << round << " " << k;
        ASSERT_TRUE(order_of_lane(alone, all_distinct, k, all_perm[k], all_inverse[k]))
            << n << " " << round << " " << k;
        if (!((all_distinct >> k) & 1)) continue;
        StateVec relabelled = StateVec::zeros(n), spare = StateVec::zeros(n);
        lanes.relabel_into(k, tables, all_inverse[k], relabelled);
        alone.relabel(tables, all_inverse[k], spare);
        EXPECT_TRUE(bitwise_equal(relabelled, alone));
      }
    }
  }
}

TEST(state_lanes, misfits_stop) {
  EXPECT_THAT([] { StateLanes lanes(1); }, Stops("State lanes hold states of 2 to 5 qubits"));
  EXPECT_THAT([] { StateLanes lanes(6); }, Stops("State lanes hold states of 2 to 5 qubits"));
  StateLanes lanes(3);
  StateVec four = StateVec::zeros(2), eight = StateVec::zeros(3);
  const StateVec* one_four[] = {&four};
  EXPECT_THAT([&] { lanes.load_all(one_four); }, Stops("assertion failed: a state or gate fits the lanes"));
  EXPECT_THAT([&] { lanes.store(4, eight); }, Stops("assertion failed: a state or gate fits the lanes"));
  const PreparedGate other_size = PreparedGate::prepare(testing::h(0), 2);
  EXPECT_THAT(
      [&] {
        lanes.apply_reversed({&other_size, 1});
      },
      Stops("assertion failed: a state or gate fits the lanes"));
}

}  // namespace morvane
