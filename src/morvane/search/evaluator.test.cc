#include "morvane/search/evaluator.h"

#include <gtest/gtest.h>

#include <bit>
#include <optional>
#include <random>
#include <set>

#include <fmt/format.h>

#include "morvane/testing/states.h"
#include "morvane/testing/testing.h"

namespace morvane {

namespace {
using testing::instr;
using testing::Stops;

/// The candidates first[k] (with adjoint last[k]) into scratch[k], each with starts[k] (or none).
std::vector<Evaluator::Extension> batch_of(const std::vector<PreparedGate>& first,
                                           const std::vector<PreparedGate>& last,
                                           std::vector<Evaluator::Scratch>& scratch,
                                           const std::vector<const StateVec*>& starts = {}) {
  std::vector<Evaluator::Extension> out;
  for (size_t k = 0; k < scratch.size(); ++k)
    out.push_back({&first[k], &last[k], &scratch[k], k < starts.size() ? starts[k] : nullptr});
  return out;
}
}  // namespace

TEST(evaluator, empty_circuit_reaches_the_backtrack_state_under_every_permutation) {
  ChaCha12Rng rng = testing::seeded(7);
  Evaluator e = Evaluator::from_random(3, rng);
  auto r = e.evaluate_multiple({});
  EXPECT_EQ(r.key, e.backtrack_state());
  EXPECT_EQ(r.forward, e.initial_state());
  ASSERT_EQ(r.pairs.size(), 6u);
  std::set<uint32_t> fronts;
  for (size_t k = 0; k < r.pairs.size(); ++k) {
    auto [front, back] = r.pairs[k];
    EXPECT_EQ(front * back, Permut32::identity(3));
    fronts.insert(front.raw);
  }
  EXPECT_EQ(fronts.size(), 6u);
  EXPECT_EQ(r.pairs[0].first, Permut32::all(3)[0]);
  EXPECT_EQ(e.initial_key(), e.backtrack_state().hash_value());
}

TEST(evaluator, the_backtrack_state_is_in_canonical_order) {
  ChaCha12Rng rng = testing::seeded(9);
  Evaluator e = Evaluator::from_random(4, rng);
  EXPECT_TRUE(e.backtrack_state().get_permutation().is_identity());
  EXPECT_TRUE(e.initial_state().check());
}

TEST(evaluator, pairs_relabel_the_circuit_into_the_key_frame) {
  ChaCha12Rng rng = testing::seeded(3);
  Evaluator e = Evaluator::from_random(3, rng);
  std::vector<Instr32> c{instr(gates::H(), {2}), instr(gates::CX(), {2, 0}), instr(gates::T(), {0})};
  auto r = e.evaluate_multiple(c);
  for (size_t k = 0; k < r.pairs.size(); ++k) {
    auto [front, back] = r.pairs[k];
    std::vector<Instr32> relabelled;
    for (Instr32 i : c) relabelled.push_back(i.apply_permutation(front.inv()));
    auto again = e.evaluate(relabelled);
    EXPECT_EQ(again.key, r.key);
    EXPECT_TRUE(again.front.is_identity());
  }
}

TEST(evaluator, scratch_evaluation_equals_the_plain_one) {
  ChaCha12Rng rng = testing::seeded(5);
  Evaluator e = Evaluator::from_random(3, rng);
  std::vector<Instr32> c{instr(gates::H(), {0}), instr(gates::CX(), {0, 1}), instr(gates::T(), {1}),
                         instr(gates::CX(), {1, 2})};
  std::vector<PreparedGate> fwd, adj;
  for (Instr32 i : c) {
    fwd.push_back(PreparedGate::prepare(i, 3));
    adj.push_back(PreparedGate::prepare(i.adjoint(), 3));
  }
  Evaluator::Scratch s(3);
  e.evaluate_into(fwd, adj, s);
  auto r = e.evaluate_multiple(c);
  EXPECT_EQ(s.best, r.key);
  EXPECT_EQ(s.forward, r.forward);
  EXPECT_EQ(s.pairs.to_vec(), r.pairs.to_vec());
  // Bit for bit, not only on the tolerance grid.
  for (size_t i = 0; i < r.key.len(); ++i) EXPECT_EQ(s.best.re()[i].v, r.key.re()[i].v);
}

TEST(evaluator, scratch_evaluation_of_circuits_with_symmetries_equals_the_plain_one) {
  // Circuits on a few of the qubits (the forward state ties the others, often several touched ones
  // too): the scratch run takes the pairs of symmetries that shuffle untouched qubits from an
  // earlier symmetry's run; the plain run computes each one.
  std::mt19937_64 pick(11);
  const Gate16 one_qubit[] = {gates::H(), gates::T(), gates::TDG(), gates::S(), gates::X()};
  size_t with_several_pairs = 0;
  for (uint32_t n = 2; n <= 5; ++n) {
    ChaCha12Rng rng = testing::seeded(uint8_t(20 + n));
    Evaluator e = Evaluator::from_random(n, rng);
    Evaluator::Scratch s(n);
    for (int round = 0; round < 300; ++round) {
      const uint32_t used = 1 + uint32_t(pick() % n);  // qubits 0..used-1 may be touched
      std::vector<Instr32> c;
      for (size_t len = pick() % 7; c.size() < len;) {
        const uint8_t q0 = uint8_t(pick() % used), q1 = uint8_t(pick() % used);
        if (pick() % 3 == 0 && q0 != q1)
          c.push_back(instr(gates::CX(), {q0, q1}));
        else
          c.push_back(instr(one_qubit[pick() % std::size(one_qubit)], {q0}));
      }
      std::vector<PreparedGate> fwd, adj;
      for (Instr32 i : c) {
        fwd.push_back(PreparedGate::prepare(i, n));
        adj.push_back(PreparedGate::prepare(i.adjoint(), n));
      }
      e.evaluate_into(fwd, adj, s);
      auto r = e.evaluate_multiple(c);
      ASSERT_EQ(s.pairs.to_vec(), r.pairs.to_vec()) << n << " " << round;
      for (size_t i = 0; i < r.key.len(); ++i) {
        ASSERT_EQ(s.best.re()[i].v, r.key.re()[i].v);
        ASSERT_EQ(s.best.im()[i].v, r.key.im()[i].v);
      }
      with_several_pairs += r.pairs.size() > 1;
    }
  }
  EXPECT_GT(with_several_pairs, 300u);
}

TEST(evaluator, batched_backward_runs_equal_single_ones) {
  // Groups of up to four candidates extending one circuit, evaluated together with and without
  // lanes (on lanes also from the candidates' backward starts), against each whole circuit
  // evaluated alone.
  std::mt19937_64 pick(12);
  const Gate16 one_qubit[] = {gates::H(), gates::T(), gates::TDG(), gates::S()};
  for (uint32_t n = 2; n <= 5; ++n) {
    ChaCha12Rng rng = testing::seeded(uint8_t(40 + n));
    Evaluator e = Evaluator::from_random(n, rng);
    std::optional<StateLanes> lanes;
    if (StateLanes::available()) lanes.emplace(n);
    for (int round = 0; round < 100; ++round) {
      auto random_instr = [&] {
        const uint8_t q0 = uint8_t(pick() % n), q1 = uint8_t((q0 + 1 + pick() % (n - 1)) % n);
        return pick() % 3 == 0 ? instr(gates::CX(), {q0, q1}) : instr(one_qubit[pick() % std::size(one_qubit)], {q0});
      };
      std::vector<Instr32> circuit;
      for (size_t len = pick() % 6; circuit.size() < len;) circuit.push_back(random_instr());
      std::vector<PreparedGate> shared;
      for (Instr32 i : circuit) shared.push_back(PreparedGate::prepare(i.adjoint(), n));
      StateVec prefix = StateVec::zeros(n);
      e.prefix_into(circuit, prefix);
      const size_t count = 1 + pick() % StateLanes::kLanes;
      std::vector<Evaluator::Scratch> plain(count, Evaluator::Scratch(n));
      std::vector<PreparedGate> first, last;
      for (size_t k = 0; k < count; ++k) {
        const Instr32 c = random_instr();
        first.push_back(PreparedGate::prepare(c, n));
        last.push_back(PreparedGate::prepare(c.adjoint(), n));
        // The whole circuit evaluated alone.
        std::vector<PreparedGate> forwards, adjoints = shared;
        for (Instr32 i : circuit) forwards.push_back(PreparedGate::prepare(i, n));
        forwards.push_back(first.back());
        adjoints.push_back(last.back());
        e.evaluate_into(forwards, adjoints, plain[k]);
      }
      for (StateLanes* l : {lanes ? &*lanes : nullptr, static_cast<StateLanes*>(nullptr)}) {
        // On lanes also with backward starts at hand: for every candidate, or for every other one.
        std::vector<StateVec> starts;
        const size_t nperms = Permut32::all(uint8_t(n)).size();
        for (const PreparedGate& g : last) e.append_backward_starts(g, starts);
        for (int with_starts : {0, 1, 2}) {
          if (with_starts && !l) continue;
          std::vector<const StateVec*> start_ptrs;
          for (size_t k = 0; k < count; ++k)
            start_ptrs.push_back(with_starts == 1 || (with_starts == 2 && k % 2) ? &starts[k * nperms] : nullptr);
          std::vector<Evaluator::Scratch> extended(count, Evaluator::Scratch(n));
          e.extend_batch(prefix, shared, batch_of(first, last, extended, start_ptrs), l);
          for (size_t k = 0; k < count; ++k) {
            ASSERT_TRUE(testing::bitwise_equal(extended[k].best, plain[k].best))
                << n << " " << round << " " << k << " " << with_starts;
            ASSERT_EQ(extended[k].pairs.to_vec(), plain[k].pairs.to_vec());
          }
        }
      }
    }
  }
}

TEST(evaluator, batched_runs_with_the_sum_as_phase_reference_equal_single_ones) {
  // The backtrack state b(x) = ±(sum of a_j over the qubits j set in x), with the a_j adding up to
  // zero and the sign alternating with the number of qubits set, is zero at amplitude 0 and the last
  // one, and its amplitudes add up to zero over each part that one or two qubits cut out. Diagonal
  // gates on at most two qubits keep both so: each backward run takes the sum of all amplitudes as
  // its phase reference, and that sum is no more than the rounding of the gates' products, so its
  // direction depends on the order in which the amplitudes are added. A relabelling that shuffles
  // untouched qubits changes that order, so no run can stand for another symmetry's: each one runs
  // in full. The lanes are filled in candidate order; in the second group an X brings a nonzero
  // amplitude to index 0, so lane 0 has a fixed reference beside lanes that take the sum.
  if (!StateLanes::available()) GTEST_SKIP() << "no AVX2";
  const uint32_t n = 4;
  const double a[n] = {0.9, -0.6, 0.4, -(0.9 - 0.6 + 0.4)};
  std::vector<double> re(size_t(1) << n), im(re.size());
  for (size_t x = 1; x + 1 < re.size(); ++x) {
    for (uint32_t j = 0; j < n; ++j)
      if ((x >> j) & 1) re[x] += a[j];
    if (std::popcount(x) % 2 == 0) re[x] = -re[x];
  }
  const StateVec backtrack = StateVec::make(re, im);
  const std::vector<Instr32> circuit{testing::s(0)};
  {
    // Two relabellings that differ on untouched qubits only, through the same gates, normalise to
    // states that differ beyond the tolerance.
    const Permut32 swap23 = testing::perm({0, 1, 3, 2});
    StateVec one = backtrack, other = backtrack, spare = backtrack;
    other.apply_permutation(swap23, spare);
    for (StateVec* state : {&one, &other}) {
      state->apply(testing::t(0).adjoint());
      state->apply(circuit[0].adjoint());
      state->normalize_arg();
    }
    other.apply_permutation(swap23, spare);
    ASSERT_NE(one, other);
  }
  ChaCha12Rng rng = testing::seeded(9);
  Evaluator e = Evaluator::from_states(StateVec::from_random_symmetric(rng, n), backtrack);
  StateLanes lanes(n);
  std::vector<PreparedGate> forwards, shared;
  for (Instr32 i : circuit) {
    forwards.push_back(PreparedGate::prepare(i, n));
    shared.push_back(PreparedGate::prepare(i.adjoint(), n));
  }
  StateVec prefix = StateVec::zeros(n);
  e.prefix_into(circuit, prefix);
  const std::vector<Instr32> groups[] = {{testing::t(0), testing::t(1), testing::t(2), testing::t(3)},
                                         {testing::x(1), testing::t(0), testing::t(1), testing::t(2)}};
  for (const std::vector<Instr32>& group : groups) {
    std::vector<PreparedGate> first, last;
    for (Instr32 c : group) {
      first.push_back(PreparedGate::prepare(c, n));
      last.push_back(PreparedGate::prepare(c.adjoint(), n));
    }
    std::vector<Evaluator::Scratch> batched(group.size(), Evaluator::Scratch(n));
    e.extend_batch(prefix, shared, batch_of(first, last, batched), &lanes);
    for (size_t k = 0; k < group.size(); ++k) {
      // Each whole circuit alone: with its prepared gates, and with every symmetry run in full.
      std::vector<Instr32> whole = circuit;
      whole.push_back(group[k]);
      Evaluator::Scratch plain(n);
      std::vector<PreparedGate> adjoints = shared;
      adjoints.push_back(last[k]);
      std::vector<PreparedGate> whole_forwards = forwards;
      whole_forwards.push_back(first[k]);
      e.evaluate_into(whole_forwards, adjoints, plain);
      const auto full = e.evaluate_multiple(whole);
      ASSERT_GT(plain.forward.get_orderinfo().as_perms().first.size(), 1u) << k;
      EXPECT_TRUE(testing::bitwise_equal(batched[k].best, plain.best)) << k;
      EXPECT_EQ(batched[k].pairs.to_vec(), plain.pairs.to_vec()) << k;
      EXPECT_TRUE(testing::bitwise_equal(full.key, plain.best)) << k;
      EXPECT_EQ(full.pairs.to_vec(), plain.pairs.to_vec()) << k;
    }
  }
}

TEST(evaluator, ties_in_the_backward_state_stop) {
  // A symmetric backtrack state leaves every backward state with equal order keys.
  ChaCha12Rng rng = testing::seeded(1);
  StateVec sym = StateVec::from_random_symmetric(rng, 2);
  Evaluator e = Evaluator::from_states(sym, sym);
  EXPECT_THAT([&] { e.evaluate({}); }, Stops("Non-deterministic front permutation detected during evaluation"));
}

TEST(evaluator, limits) {
  ChaCha12Rng rng = testing::seeded(1);
  for (uint32_t n : {6u, 8u, 12u, 31u})
    EXPECT_THAT([&] { Evaluator::from_random(n, rng); },
                Stops(fmt::format("Evaluator qubit count must be from 1 to 5 (the range the class search supports), "
                                  "got {}",
                                  n)));
  EXPECT_EQ(Evaluator::from_random(5, rng).nqubits(), 5u);
  Evaluator two = Evaluator::from_random(2, rng);
  EXPECT_THAT([&] { two.evaluate(std::vector<Instr32>{instr(gates::H(), {2})}); }, Stops());
}

}  // namespace morvane
