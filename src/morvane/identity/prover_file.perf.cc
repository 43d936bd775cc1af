// Saving and loading the prover of {h, s, cx} on 2 qubits up to 4 gates (about 280 kB) to files in
// the system's temporary directory.
// Targets: saving at least 50 MB/s, loading at least 30 MB/s (loading allocates one vector per
// circuit and fills two hash tables).
#include <benchmark/benchmark.h>

#include <filesystem>

#include "morvane/identity/proof_testing.h"
#include "morvane/identity/prover_file.h"

namespace morvane {

namespace {

const IdentityProver& h_s_cx_4() {
  static const IdentityProver p = testing::generated_prover(2, {gates::H(), gates::S(), gates::CX()}, 4);
  return p;
}

void set_counters(benchmark::State& state, const IdentityProver& p, size_t bytes) {
  size_t rules = 0;
  for (const auto& [key, list] : p.circ_map) rules += list.size();
  state.SetBytesProcessed(int64_t(state.iterations() * bytes));
  state.counters["file_bytes"] = double(bytes);
  state.counters["proved"] = double(p.proved.size());
  state.counters["rules"] = double(rules);
}

}  // namespace

static void BM_prover_dump_postcard(benchmark::State& state) {
  const IdentityProver& p = h_s_cx_4();
  testing::TempDir dir("bench");
  auto path = (dir / "prover.bin").string();
  for (auto _ : state) dump_postcard(p, path);
  set_counters(state, p, std::filesystem::file_size(path));
  state.counters["target_B_per_s"] = 50e6;
}
BENCHMARK(BM_prover_dump_postcard)->Unit(benchmark::kMillisecond);

static void BM_prover_from_postcard(benchmark::State& state) {
  const IdentityProver& p = h_s_cx_4();
  testing::TempDir dir("bench");
  auto path = (dir / "prover.bin").string();
  dump_postcard(p, path);
  for (auto _ : state) {
    IdentityProver loaded = prover_from_postcard(path);
    benchmark::DoNotOptimize(loaded.assume.data());
  }
  IdentityProver loaded = prover_from_postcard(path);
  if (loaded.assume != p.assume || loaded.proved != p.proved || loaded.circ_map != p.circ_map)
    state.SkipWithError("loaded prover differs");
  set_counters(state, p, std::filesystem::file_size(path));
  state.counters["target_B_per_s"] = 30e6;
}
BENCHMARK(BM_prover_from_postcard)->Unit(benchmark::kMillisecond);

}  // namespace morvane
