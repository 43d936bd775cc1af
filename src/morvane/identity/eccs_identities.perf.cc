// Identities from classes.
//
// Target (one thread): to_identity_circuits on the simplified classes of {h, t, cx} on 3 qubits up
// to 6 gates; reports the time of one run and the identities made per second.
#include <benchmark/benchmark.h>

#include <chrono>
#include <optional>

#include "morvane/identity/eccs_identities.h"
#include "morvane/search/perf_testing.h"
#include "morvane/search/search.h"

namespace morvane {

namespace {

void BM_to_identity_circuits_3q_6g(benchmark::State& state) {
  const Evaluator e = perf_testing::make_evaluator(3);
  std::optional<ECCs> classes;
  {
    perf_testing::QuietStdout quiet;
    classes.emplace(generate(e, {gates::H(), gates::T(), gates::CX()}, 6).map.simplify());
  }
  size_t made = 0;
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    auto identities = to_identity_circuits(*classes);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    made += identities.size();
    benchmark::DoNotOptimize(identities);
  }
  state.counters["classes"] = double(classes->eccs.size());
  state.counters["identities"] = double(made) / double(state.iterations());
  state.counters["ids_per_s"] = double(made) / seconds;
}
BENCHMARK(BM_to_identity_circuits_3q_6g)->Unit(benchmark::kMillisecond);

}  // namespace

}  // namespace morvane
