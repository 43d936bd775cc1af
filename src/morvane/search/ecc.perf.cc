// Simplifying the classes of a search, and the whole job of a class search: generate over
// {h, t, cx} (tdg added) on 3 qubits up to 8 instructions, simplify, export as Quartz JSON.
//
// Targets (one thread):
//   simplify of the 3-qubit size-8 result: at most half the time of the generate that made it
//   (the counter simplify_per_generate at most 0.5).
//   whole job (generate + simplify + dump_quartz): at most 2.5 s of wall time.
#include <benchmark/benchmark.h>

#include <chrono>
#include <optional>

#include "morvane/testing/testing.h"
#include "morvane/search/evaluator.h"
#include "morvane/search/quartz.h"
#include "morvane/search/search.h"
#include "morvane/search/perf_testing.h"

namespace morvane {

namespace {

using perf_testing::make_evaluator;
using perf_testing::peak_rss_bytes;
using perf_testing::QuietStdout;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

SearchResult generate_h_t_cx(const Evaluator& e, size_t max_size) {
  QuietStdout quiet;
  return generate(e, {gates::H(), gates::T(), gates::CX()}, max_size);
}

void BM_simplify(benchmark::State& state) {
  Evaluator e = make_evaluator(3);
  auto start = std::chrono::steady_clock::now();
  SearchResult r = generate_h_t_cx(e, 8);
  const double generate_s = seconds_since(start);
  state.counters["generate_peak_MB"] = double(peak_rss_bytes()) / 1e6;
  double simplify_s = 0;
  size_t classes = 0;
  for (auto _ : state) {
    start = std::chrono::steady_clock::now();
    ECCs eccs = r.map.simplify();
    simplify_s = seconds_since(start);
    classes = eccs.eccs.size();
  }
  state.counters["classes"] = double(classes);
  state.counters["circuits"] = double(r.map.num_circuits());
  state.counters["generate_s"] = generate_s;
  state.counters["simplify_s"] = simplify_s;
  state.counters["simplify_per_generate"] = simplify_s / generate_s;
  state.counters["target_simplify_per_generate"] = 0.5;
  state.counters["peak_rss_MB"] = double(peak_rss_bytes()) / 1e6;
}
BENCHMARK(BM_simplify)->Iterations(1)->Unit(benchmark::kSecond);

void BM_whole_job(benchmark::State& state) {
  Evaluator e = make_evaluator(3);
  testing::TempDir dir("bench");
  const auto path = (dir / "eccs.json").string();
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    std::optional<SearchResult> r;
    r.emplace(generate_h_t_cx(e, 8));
    const double generate_s = seconds_since(start);
    ECCs eccs = r->map.simplify();
    const double simplify_s = seconds_since(start) - generate_s;
    dump_quartz(eccs, path);
    state.counters["generate_s"] = generate_s;
    state.counters["simplify_s"] = simplify_s;
    state.counters["dump_s"] = seconds_since(start) - generate_s - simplify_s;
    state.counters["total_s"] = seconds_since(start);
    state.counters["target_total_s"] = 2.5;
    state.counters["peak_rss_MB"] = double(peak_rss_bytes()) / 1e6;
  }
}
BENCHMARK(BM_whole_job)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

}  // namespace morvane
