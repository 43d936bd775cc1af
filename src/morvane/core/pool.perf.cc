// Targets (pool of the machine's size, 8 threads here):
// - overhead: a call on 16 trivial items costs under 20 us, and trivial items cost under 10 ns
//   each beyond the loop itself in large calls, so items of a microsecond lose under 1 %;
// - speed-up: CPU-bound items of about 20 us run at least 6 times faster on 8 threads than in a
//   plain loop (near-linear; the machine is shared, so 8 is out of reach in practice).
// Compare BM_pool_* with its BM_loop_* twin: the per-item counters are per item of one call.
#include "morvane/core/pool.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace morvane {

namespace {

uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  return x ^ (x >> 29);
}

/// CPU-bound work of `rounds` dependent multiply steps (about 1 ns each).
uint64_t spin(uint64_t seed, size_t rounds) {
  uint64_t x = seed;
  for (size_t k = 0; k < rounds; ++k) x = x * 6364136223846793005ull + 1442695040888963407ull;
  return x;
}

void per_item(benchmark::State& state, size_t n) {
  state.SetItemsProcessed(int64_t(state.iterations() * n));
  state.counters["ns_per_item"] =
      benchmark::Counter(double(state.iterations() * n), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["threads"] = double(pool::num_threads());
}

}  // namespace

static void BM_loop_trivial(benchmark::State& state) {
  size_t n = size_t(state.range(0));
  for (auto _ : state) {
    std::vector<uint64_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = mix(i);
    benchmark::DoNotOptimize(out.data());
  }
  per_item(state, n);
}
BENCHMARK(BM_loop_trivial)->Arg(16)->Arg(1 << 20);

static void BM_pool_map_trivial(benchmark::State& state) {
  size_t n = size_t(state.range(0));
  for (auto _ : state) {
    auto out = pool::map_index(n, mix);
    benchmark::DoNotOptimize(out.data());
  }
  per_item(state, n);
}
BENCHMARK(BM_pool_map_trivial)->Arg(16)->Arg(1 << 20)->UseRealTime();

static void BM_pool_flat_map_trivial(benchmark::State& state) {
  size_t n = size_t(state.range(0));
  for (auto _ : state) {
    auto out = pool::flat_map_index(n, [](size_t i) { return i % 2 ? std::nullopt : std::optional(mix(i)); });
    benchmark::DoNotOptimize(out.data());
  }
  per_item(state, n);
}
BENCHMARK(BM_pool_flat_map_trivial)->Arg(1 << 20)->UseRealTime();

static void BM_loop_coarse(benchmark::State& state) {
  size_t n = 2048, rounds = size_t(state.range(0));
  for (auto _ : state) {
    std::vector<uint64_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = spin(i, rounds);
    benchmark::DoNotOptimize(out.data());
  }
  per_item(state, n);
}
BENCHMARK(BM_loop_coarse)->Arg(1000)->Arg(20000);

static void BM_pool_map_coarse(benchmark::State& state) {
  size_t n = 2048, rounds = size_t(state.range(0));
  for (auto _ : state) {
    auto out = pool::map_index(n, [rounds](size_t i) { return spin(i, rounds); });
    benchmark::DoNotOptimize(out.data());
  }
  per_item(state, n);
}
BENCHMARK(BM_pool_map_coarse)->Arg(1000)->Arg(20000)->UseRealTime();

static void BM_pool_map_chunked_coarse(benchmark::State& state) {
  size_t n = 2048, rounds = size_t(state.range(0));
  std::vector<size_t> inputs(n);
  for (size_t i = 0; i < n; ++i) inputs[i] = i;
  for (auto _ : state) {
    auto out = pool::map_chunked(inputs, 256, [rounds](size_t i) { return spin(i, rounds); });
    benchmark::DoNotOptimize(out.data());
  }
  per_item(state, n);
}
BENCHMARK(BM_pool_map_chunked_coarse)->Arg(20000)->UseRealTime();

// The price of a stop token with a poll on the calling thread.
static void BM_pool_map_trivial_with_poll(benchmark::State& state) {
  size_t n = size_t(state.range(0));
  pool::StopToken stop([] { return false; });
  for (auto _ : state) {
    auto out = pool::map_index(n, mix, &stop);
    benchmark::DoNotOptimize(out.data());
  }
  per_item(state, n);
}
BENCHMARK(BM_pool_map_trivial_with_poll)->Arg(1 << 20)->UseRealTime();

}  // namespace morvane
