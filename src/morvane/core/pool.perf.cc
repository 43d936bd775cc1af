// Targets (pool of the machine's size, 8 threads here):
// - a call on 16 trivial items costs under 20 us, and trivial items cost under 10 ns each beyond
//   the plain loop in large calls, so items of a microsecond or more lose under 1 % to it;
// - CPU-bound items of about 25 us (the size of the prover's rewriting items) cost under 15 %
//   more CPU time in the pool (all threads together, cpu_ns_per_item) than in the plain loop, so
//   an idle machine runs them about 7 times faster on 8 threads. Items of about 1.5 us are shown
//   for comparison. The wall-time speed-up (ns_per_item of BM_loop_* over BM_pool_*) shows only
//   the cores that are free while the benchmark runs.
// The counters carry the targets: target_ns for a whole call, target_extra_ns_per_item over the
// plain loop's ns_per_item, target_cpu_per_loop_cpu for cpu_ns_per_item over the plain loop's.
#include "morvane/core/pool.h"

#include <benchmark/benchmark.h>

#include <time.h>

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

/// CPU time of the whole process (every thread) so far, in ns.
double process_cpu_ns() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

/// Runs the benchmark loop body `run` and reports per item of one call: the wall time
/// (ns_per_item) and the CPU time of all threads together (cpu_ns_per_item). On a busy machine
/// the wall time shows only the cores that were free; the CPU time shows what the pool costs
/// beyond the items' own work, and so the speed-up an idle machine gives.
template <typename Run>
void per_item(benchmark::State& state, size_t n, Run run) {
  double cpu = process_cpu_ns();
  for (auto _ : state) run();
  cpu = process_cpu_ns() - cpu;
  double items = double(state.iterations() * n);
  state.SetItemsProcessed(int64_t(items));
  state.counters["ns_per_item"] = benchmark::Counter(items, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["cpu_ns_per_item"] = cpu / items;
  state.counters["threads"] = double(pool::num_threads());
}

/// The targets of a trivial call: the whole call for 16 items, the cost per item beyond the
/// plain loop for large calls.
void trivial_targets(benchmark::State& state, size_t n) {
  if (n == 16)
    state.counters["target_ns"] = 20000;
  else
    state.counters["target_extra_ns_per_item"] = 10;
}

/// The target of items of about 25 us (20000 rounds); the smaller ones are shown for comparison.
void coarse_target(benchmark::State& state, size_t rounds) {
  if (rounds == 20000) state.counters["target_cpu_per_loop_cpu"] = 1.15;
}

}  // namespace

static void BM_loop_trivial(benchmark::State& state) {
  size_t n = size_t(state.range(0));
  per_item(state, n, [&] {
    std::vector<uint64_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = mix(i);
    benchmark::DoNotOptimize(out.data());
  });
}
BENCHMARK(BM_loop_trivial)->Arg(16)->Arg(1 << 20);

static void BM_pool_map_trivial(benchmark::State& state) {
  size_t n = size_t(state.range(0));
  per_item(state, n, [&] {
    auto out = pool::map_index(n, mix);
    benchmark::DoNotOptimize(out.data());
  });
  trivial_targets(state, n);
}
BENCHMARK(BM_pool_map_trivial)->Arg(16)->Arg(1 << 20)->UseRealTime();

static void BM_pool_flat_map_trivial(benchmark::State& state) {
  size_t n = size_t(state.range(0));
  per_item(state, n, [&] {
    auto out = pool::flat_map_index(n, [](size_t i) { return i % 2 ? std::nullopt : std::optional(mix(i)); });
    benchmark::DoNotOptimize(out.data());
  });
  trivial_targets(state, n);
}
BENCHMARK(BM_pool_flat_map_trivial)->Arg(1 << 20)->UseRealTime();

static void BM_loop_coarse(benchmark::State& state) {
  size_t n = 2048, rounds = size_t(state.range(0));
  per_item(state, n, [&] {
    std::vector<uint64_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = spin(i, rounds);
    benchmark::DoNotOptimize(out.data());
  });
}
BENCHMARK(BM_loop_coarse)->Arg(1000)->Arg(20000);

static void BM_pool_map_coarse(benchmark::State& state) {
  size_t n = 2048, rounds = size_t(state.range(0));
  per_item(state, n, [&] {
    auto out = pool::map_index(n, [rounds](size_t i) { return spin(i, rounds); });
    benchmark::DoNotOptimize(out.data());
  });
  coarse_target(state, rounds);
}
BENCHMARK(BM_pool_map_coarse)->Arg(1000)->Arg(20000)->UseRealTime();

static void BM_pool_map_chunked_coarse(benchmark::State& state) {
  size_t n = 2048, rounds = size_t(state.range(0));
  std::vector<size_t> inputs(n);
  for (size_t i = 0; i < n; ++i) inputs[i] = i;
  per_item(state, n, [&] {
    auto out = pool::map_chunked(inputs, 256, [rounds](size_t i) { return spin(i, rounds); });
    benchmark::DoNotOptimize(out.data());
  });
  coarse_target(state, rounds);
}
BENCHMARK(BM_pool_map_chunked_coarse)->Arg(20000)->UseRealTime();

// The price of a stop token with a poll on the calling thread.
static void BM_pool_map_trivial_with_poll(benchmark::State& state) {
  size_t n = size_t(state.range(0));
  pool::StopToken stop([] { return false; });
  per_item(state, n, [&] {
    auto out = pool::map_index(n, mix, &stop);
    benchmark::DoNotOptimize(out.data());
  });
  trivial_targets(state, n);
}
BENCHMARK(BM_pool_map_trivial_with_poll)->Arg(1 << 20)->UseRealTime();

}  // namespace morvane
