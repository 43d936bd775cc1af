// Identity circuits.
//
// Targets (one thread):
//   hash_value of an 8-gate identity: at most 40 ns.
//   check: part of every canonical identity; its share of the rotate_representative targets is
//   measured here, with the generator seeded from the operating system (as it runs) and from a
//   fixed seed, and the entropy request alone.
#include <benchmark/benchmark.h>

#include "morvane/identity/identity_circ.h"

namespace morvane {

namespace {

Instr32 on(Gate16 g, std::vector<uint8_t> qubits) { return Instr32::make(g, qubits); }

const IdentityCirc& eight_gate_identity() {
  static const IdentityCirc id = [] {
    const Circ c = Circ::make_no_perm(
        {on(gates::H(), {0}), on(gates::CX(), {0, 1}), on(gates::T(), {2}), on(gates::CX(), {1, 2})});
    return IdentityCirc::unchecked(c + c.inverse());
  }();
  return id;
}

void BM_identity_hash_value_8g(benchmark::State& state) {
  const IdentityCirc& id = eight_gate_identity();
  for (auto _ : state) benchmark::DoNotOptimize(id.hash_value());
  state.counters["target_ns"] = 40;
}
BENCHMARK(BM_identity_hash_value_8g);

void BM_identity_check_3q_8g(benchmark::State& state) {
  const IdentityCirc& id = eight_gate_identity();
  for (auto _ : state) benchmark::DoNotOptimize(id.check());
}
BENCHMARK(BM_identity_check_3q_8g);

void BM_identity_check_fixed_seed_3q_8g(benchmark::State& state) {
  const IdentityCirc& id = eight_gate_identity();
  ChaCha12Rng rng(std::array<uint8_t, 32>{7});
  for (auto _ : state) benchmark::DoNotOptimize(id.check_with(rng));
}
BENCHMARK(BM_identity_check_fixed_seed_3q_8g);

void BM_os_entropy_seed(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(os_entropy_seed());
}
BENCHMARK(BM_os_entropy_seed);

}  // namespace

}  // namespace morvane
