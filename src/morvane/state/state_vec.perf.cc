// Targets: hash_value of a 3-qubit state ≤ 100 ns; copying a 3-qubit state into an existing one
// (copy_from, no allocation) ≤ 10 ns; comparing two 5-qubit states ≤ 100 ns.
#include "morvane/state/state_vec.h"

#include <benchmark/benchmark.h>

namespace morvane {

namespace {
StateVec bench_state(uint32_t n, uint8_t salt) {
  std::array<uint8_t, 32> seed{};
  seed[0] = salt;
  ChaCha12Rng rng(seed);
  return StateVec::from_random(rng, n);
}
}  // namespace

// Target: ≤ 100 ns.
static void BM_hash_value_3_qubits(benchmark::State& st) {
  StateVec s = bench_state(3, 1);
  for (auto _ : st) benchmark::DoNotOptimize(s.hash_value());
  st.counters["target_ns"] = 100;
}
BENCHMARK(BM_hash_value_3_qubits);

// Target: ≤ 10 ns.
static void BM_copy_from_3_qubits(benchmark::State& st) {
  StateVec src = bench_state(3, 1), dst = bench_state(3, 2);
  for (auto _ : st) {
    dst.copy_from(src);
    benchmark::DoNotOptimize(dst.re_data());
  }
  st.counters["target_ns"] = 10;
}
BENCHMARK(BM_copy_from_3_qubits);

// Target: ≤ 100 ns; equal states compare every key (the worst case).
static void BM_compare_5_qubits(benchmark::State& st) {
  StateVec a = bench_state(5, 1), b = a;
  for (auto _ : st) benchmark::DoNotOptimize(a <=> b);
  st.counters["target_ns"] = 100;
}
BENCHMARK(BM_compare_5_qubits);

}  // namespace morvane
