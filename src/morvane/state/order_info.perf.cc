// Targets: a relabelling through the per-thread scratch cache costs at most 20 ns on 3 qubits and
// 50 ns on 5 (no allocation: the arrays are exchanged with the scratch vector); reading the order
// information of a 5-qubit state and its symmetry permutations stays below 100 ns.
#include "morvane/state/order_info.h"

#include <benchmark/benchmark.h>

namespace morvane {

namespace {
StateVec bench_state(uint32_t n, bool symmetric) {
  std::array<uint8_t, 32> seed{};
  seed[0] = 7;
  ChaCha12Rng rng(seed);
  return symmetric ? StateVec::from_random_symmetric(rng, n) : StateVec::from_random(rng, n);
}
}  // namespace

// Target: ≤ 20 ns on 3 qubits, ≤ 50 ns on 5 qubits.
static void BM_apply_permutation(benchmark::State& st) {
  const uint32_t n = uint32_t(st.range(0));
  reserve_state_vec_cache(n);
  StateVec s = bench_state(n, false);
  const auto& perms = Permut32::all(uint8_t(n));
  size_t k = 0;
  for (auto _ : st) {
    s.apply_permutation(perms[k]);
    benchmark::DoNotOptimize(s.re_data());
    if (++k == perms.size()) k = 0;
  }
  st.counters["target_ns"] = n == 3 ? 20 : 50;
}
BENCHMARK(BM_apply_permutation)->Arg(3)->Arg(5);

// Target: ≤ 100 ns: order keys, sort, and the symmetric permutations of a fully tied state.
static void BM_orderinfo_and_perms_5_qubits(benchmark::State& st) {
  StateVec s = bench_state(5, st.range(0) != 0);
  for (auto _ : st) {
    auto [perms, sorting] = s.get_orderinfo().as_perms();
    uint32_t acc = sorting.raw;
    for (Permut32 p : perms) acc ^= p.raw;
    benchmark::DoNotOptimize(acc);
  }
  st.counters["target_ns"] = 100;
}
BENCHMARK(BM_orderinfo_and_perms_5_qubits)->Arg(0)->Arg(1);

}  // namespace morvane
