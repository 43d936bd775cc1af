// The class search: generate over [h, t, cx] (tdg added) and the evaluator alone.
//
// Targets:
//   generate, {h, t, cx}: at least 3,500,000 evaluated candidates per second on one thread on 3
//   qubits up to 8 instructions, at least 1,300,000 on 5 qubits up to 6 (the counter cand_per_s).
//   generate, 3 to 5 qubits: at most 48 bytes per stored circuit with the class overhead included
//   (index, class records, pool, arena).
//   evaluate_multiple: the inner step of the search; one call costs a few hundred ns on 3 qubits
//   (target_ns 500).
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <fstream>

#include "morvane/search/evaluator.h"
#include "morvane/search/perf_testing.h"
#include "morvane/search/search.h"

namespace morvane {

namespace {

/// Resident set size now, in bytes.
size_t rss_bytes() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * size_t(sysconf(_SC_PAGESIZE));
}

using perf_testing::make_evaluator;
using perf_testing::peak_rss_bytes;
using perf_testing::QuietStdout;

void BM_generate(benchmark::State& state) {
  const uint32_t n = uint32_t(state.range(0));
  const size_t max_size = size_t(state.range(1));
  Evaluator e = make_evaluator(n);
  std::vector<Gate16> gates{gates::H(), gates::T(), gates::CX()};
  for (auto _ : state) {
    size_t before = rss_bytes();
    auto start = std::chrono::steady_clock::now();
    std::optional<SearchResult> r;
    {
      QuietStdout quiet;
      r.emplace(generate(e, gates, max_size));
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    size_t after = rss_bytes();
    size_t circuits = r->map.num_circuits();
    state.counters["candidates"] = double(r->counts[1]);
    state.counters["cand_per_s"] = double(r->counts[1]) / seconds;
    state.counters["classes"] = double(r->map.inner().size());
    state.counters["circuits"] = double(circuits);
    state.counters["B_per_circ"] = double(r->map.memory_bytes()) / double(circuits);
    // Resident growth is meaningful for the first search of a process only: later ones reuse
    // memory the allocator kept. B_per_circ (the map's own bytes) holds for every run.
    state.counters["rss_B_per_circ"] = double(after > before ? after - before : 0) / double(circuits);
    state.counters["peak_rss_MB"] = double(peak_rss_bytes()) / 1e6;
  }
  if (n != 4) state.counters["target_cand_per_s"] = n == 3 ? 3.5e6 : 1.3e6;
  state.counters["target_B_per_circ"] = 48;
}
BENCHMARK(BM_generate)->Args({3, 8})->Args({4, 7})->Args({5, 6})->Iterations(1)->Unit(benchmark::kSecond);

/// Six instructions touching the first, second and last qubit.
std::vector<Instr32> sample_circuit(uint32_t n) {
  auto q = [](uint32_t v) { return std::vector<uint8_t>{uint8_t(v)}; };
  return {Instr32::make(gates::H(), q(0)),     Instr32::make(gates::CX(), std::vector<uint8_t>{0, 1}),
          Instr32::make(gates::T(), q(1)),     Instr32::make(gates::CX(), std::vector<uint8_t>{1, uint8_t(n - 1)}),
          Instr32::make(gates::H(), q(n - 1)), Instr32::make(gates::T(), q(0))};
}

void BM_evaluate_multiple(benchmark::State& state) {
  const uint32_t n = uint32_t(state.range(0));
  Evaluator e = make_evaluator(n);
  std::vector<Instr32> c = sample_circuit(n);
  for (auto _ : state) benchmark::DoNotOptimize(e.evaluate_multiple(c));
  if (n == 3) state.counters["target_ns"] = 500;
}
BENCHMARK(BM_evaluate_multiple)->Arg(3)->Arg(5);

/// The same evaluation through reused scratch states, as the search runs it.
void BM_evaluate_into(benchmark::State& state) {
  const uint32_t n = uint32_t(state.range(0));
  Evaluator e = make_evaluator(n);
  std::vector<Instr32> c = sample_circuit(n);
  std::vector<PreparedGate> fwd, adj;
  for (Instr32 i : c) {
    fwd.push_back(PreparedGate::prepare(i, n));
    adj.push_back(PreparedGate::prepare(i.adjoint(), n));
  }
  Evaluator::Scratch s(n);
  for (auto _ : state) {
    e.evaluate_into(fwd, adj, s);
    benchmark::DoNotOptimize(s.best.hash_value());
  }
}
BENCHMARK(BM_evaluate_into)->Arg(3)->Arg(5);

}  // namespace

}  // namespace morvane
