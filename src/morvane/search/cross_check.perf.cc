// The cross-checks on the maps of h, t and cx on 3 qubits: sizes 6 and 7.
//
// Targets:
//   check_identity_subset of the size-6 map against the size-7 map: at least 5 times faster on a
//   pool of 8 threads than on a pool of 1 (run the binary twice, RAYON_NUM_THREADS=1 and 8; the
//   pool's size is fixed per process, and the `threads` counter shows it). Only the cores that
//   are free while it runs count, so note the machine's load beside the figures; the CPU time of
//   all threads (cpu_ms_all_threads) shows what the pool costs beyond the work itself.
//   switch_evaluator of the size-7 map: reported in classes per second (single-threaded).
#include <benchmark/benchmark.h>

#include <time.h>

#include <memory>

#include "morvane/core/pool.h"
#include "morvane/search/cross_check.h"
#include "morvane/search/evaluator.h"
#include "morvane/search/perf_testing.h"
#include "morvane/search/search.h"

namespace morvane {

namespace {

struct Maps {
  Evaluator e;
  std::shared_ptr<const RawECCs> size6, size7;
};

/// CPU time of the whole process (every thread) so far, in ms.
double process_cpu_ms() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

const Maps& maps() {
  static const Maps m = [] {
    ChaCha12Rng rng(std::array<uint8_t, 32>{42});
    Evaluator e = Evaluator::from_random(3, rng);
    perf_testing::QuietStdout quiet;
    std::vector<Gate16> gates{gates::H(), gates::T(), gates::CX()};
    auto size6 = std::make_shared<RawECCs>(generate(e, gates, 6).map);
    auto size7 = std::make_shared<RawECCs>(generate(e, gates, 7).map);
    return Maps{std::move(e), std::move(size6), std::move(size7)};
  }();
  return m;
}

void BM_check_identity_subset(benchmark::State& state) {
  const Maps& m = maps();
  const double cpu_before = process_cpu_ms();
  for (auto _ : state) check_identity_subset(*m.size6, *m.size7, m.e);
  // The work of all threads together: about the same for any pool size when the work spreads
  // without waste; the wall time then shows how many cores were free.
  state.counters["cpu_ms_all_threads"] = (process_cpu_ms() - cpu_before) / double(state.iterations());
  const double classes = double(m.size6->inner().size());
  state.counters["threads"] = double(pool::num_threads());
  state.counters["classes"] = classes;
  state.counters["circuits"] = double(m.size6->num_circuits());
  state.counters["classes_per_s"] = benchmark::Counter(classes, benchmark::Counter::kIsIterationInvariantRate);
  // The target compares two runs: the time on 8 threads at most a fifth of the time on 1.
  state.counters["target_speedup_8_over_1"] = 5;
}
BENCHMARK(BM_check_identity_subset)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_switch_evaluator(benchmark::State& state) {
  const Maps& m = maps();
  ChaCha12Rng rng(std::array<uint8_t, 32>{43});
  Evaluator fresh = Evaluator::from_random(3, rng);
  for (auto _ : state) benchmark::DoNotOptimize(switch_evaluator(m.size7, fresh));
  const double classes = double(m.size7->inner().size());
  state.counters["classes"] = classes;
  state.counters["circuits"] = double(m.size7->num_circuits());
  state.counters["classes_per_s"] = benchmark::Counter(classes, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_switch_evaluator)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

}  // namespace morvane
