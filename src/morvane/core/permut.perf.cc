// Target: composition and inversion of 8-position permutations take a few ns each (target_ns 5).
#include "morvane/core/permut.h"

#include <benchmark/benchmark.h>

namespace morvane {

/// 256 permutations of 8 positions spread over the whole table, indexed by a mask in the loops.
static const std::vector<Permut32>& sample() {
  static const std::vector<Permut32> s = [] {
    std::vector<Permut32> v;
    const auto& all = Permut32::all(8);
    for (size_t i = 0; i < 256; ++i) v.push_back(all[(i * 157) % all.size()]);
    return v;
  }();
  return s;
}

static void BM_permut_compose(benchmark::State& state) {
  const auto& s = sample();
  size_t i = 0;
  for (auto _ : state) {
    Permut32 r = s[i & 255] * s[(i * 7 + 3) & 255];
    benchmark::DoNotOptimize(r);
    ++i;
  }
  state.counters["target_ns"] = 5;
}
BENCHMARK(BM_permut_compose);

static void BM_permut_inverse(benchmark::State& state) {
  const auto& s = sample();
  size_t i = 0;
  for (auto _ : state) {
    Permut32 r = s[i & 255].inv();
    benchmark::DoNotOptimize(r);
    ++i;
  }
  state.counters["target_ns"] = 5;
}
BENCHMARK(BM_permut_inverse);

}  // namespace morvane
