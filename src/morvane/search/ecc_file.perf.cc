// Saving, loading and exporting a collection of 120,000 circuits (30,000 classes on 4 qubits) to
// files in the system's temporary directory.
// Targets: saving at least 200 MB/s (3 million classes/s), loading at least 50 MB/s (1 million
// classes/s, bounded by allocating one vector per circuit); the Quartz export of the collection
// (13 times the bytes of its class file) within 1 s.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "morvane/search/ecc_file.h"
#include "morvane/search/ecc_file_testing.h"
#include "morvane/search/quartz.h"

namespace morvane {

namespace {

const ECCs& collection() {
  static const ECCs eccs = testing::synthetic_collection(30000, 4);
  return eccs;
}

size_t circuit_count(const ECCs& eccs) {
  size_t n = 0;
  for (const ECC& e : eccs.eccs) n += e.circuits.size();
  return n;
}

void set_counters(benchmark::State& state, const ECCs& eccs, size_t bytes) {
  state.SetBytesProcessed(int64_t(state.iterations() * bytes));
  state.SetItemsProcessed(int64_t(state.iterations() * eccs.eccs.size()));  // classes/s
  state.counters["circuits"] = double(circuit_count(eccs));
  state.counters["file_bytes"] = double(bytes);
}

}  // namespace

static void BM_dump_postcard(benchmark::State& state) {
  const ECCs& eccs = collection();
  testing::TempDir dir("bench");
  auto path = (dir / "eccs.bin").string();
  for (auto _ : state) dump_postcard(eccs, path);
  set_counters(state, eccs, std::filesystem::file_size(path));
  state.counters["target_B_per_s"] = 200e6;
}
BENCHMARK(BM_dump_postcard)->Unit(benchmark::kMillisecond);

static void BM_from_postcard(benchmark::State& state) {
  const ECCs& eccs = collection();
  testing::TempDir dir("bench");
  auto path = (dir / "eccs.bin").string();
  dump_postcard(eccs, path);
  for (auto _ : state) {
    ECCs loaded = eccs_from_postcard(path);
    benchmark::DoNotOptimize(loaded.eccs.data());
  }
  if (eccs_from_postcard(path) != eccs) state.SkipWithError("loaded collection differs");
  set_counters(state, eccs, std::filesystem::file_size(path));
  state.counters["target_B_per_s"] = 50e6;
}
BENCHMARK(BM_from_postcard)->Unit(benchmark::kMillisecond);

static void BM_dump_quartz(benchmark::State& state) {
  const ECCs& eccs = collection();
  testing::TempDir dir("bench");
  auto path = (dir / "eccs.json").string();
  for (auto _ : state) dump_quartz(eccs, path);
  size_t json_bytes = std::filesystem::file_size(path);
  dump_postcard(eccs, (dir / "eccs.bin").string());
  size_t file_bytes = std::filesystem::file_size(dir / "eccs.bin");
  set_counters(state, eccs, json_bytes);
  state.counters["file_bytes"] = double(file_bytes);
  state.counters["json_bytes"] = double(json_bytes);
  state.counters["json_per_file"] = double(json_bytes) / double(file_bytes);
  state.counters["target_ms"] = 1000;
}
BENCHMARK(BM_dump_quartz)->Unit(benchmark::kMillisecond);

}  // namespace morvane
