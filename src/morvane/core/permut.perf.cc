// Target: composition and inversion of 8-position permutations take a few ns each.
#include "morvane/core/permut.h"

#include <benchmark/benchmark.h>

namespace morvane {

static void BM_permut_compose(benchmark::State& state) {
  const auto& all = Permut32::all(8);
  size_t i = 0;
  for (auto _ : state) {
    Permut32 r = all[i % all.size()] * all[(i * 7 + 3) % all.size()];
    benchmark::DoNotOptimize(r);
    ++i;
  }
}
BENCHMARK(BM_permut_compose);

static void BM_permut_inverse(benchmark::State& state) {
  const auto& all = Permut32::all(8);
  size_t i = 0;
  for (auto _ : state) {
    Permut32 r = all[i % all.size()].inv();
    benchmark::DoNotOptimize(r);
    ++i;
  }
}
BENCHMARK(BM_permut_inverse);

}  // namespace morvane
