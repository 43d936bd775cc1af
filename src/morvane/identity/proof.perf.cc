// Proof export on the prover of {h, s, cx} on 2 qubits up to 4 gates (the simplified classes of a
// fixed evaluator): every 10th identity of `proved` in order (all lengths), exported with extra
// size 2 and a limit of 10000 identities; the progress lines go to /dev/null. BM_prove_identity
// runs the prover's own search alone on the same identities, the first half of export_proof.
// Target: under 50 ms per proof on average. Nearly all the time goes to the rewriting step
// (par_transition_pairs canonicalises every fitting rule of every block of each identity
// expanded); the tracker's own bookkeeping (queue, pruning walk, propagation) stays under 2% in a
// profile.
#include <benchmark/benchmark.h>

#include "morvane/identity/proof.h"
#include "morvane/identity/proof_testing.h"

namespace morvane {

namespace {

const IdentityProver& h_s_cx_4() {
  static const IdentityProver p = testing::generated_prover(2, {gates::H(), gates::S(), gates::CX()}, 4);
  return p;
}

std::vector<IdentityCirc> every_tenth(const IdentityProver& p) {
  std::vector<IdentityCirc> out;
  const std::vector<IdentityCirc> all = testing::sorted_proved(p);
  for (size_t k = 0; k < all.size(); k += 10) out.push_back(all[k]);
  return out;
}

static void BM_export_proof(benchmark::State& state) {
  const IdentityProver& p = h_s_cx_4();
  const std::vector<IdentityCirc> targets = every_tenth(p);
  testing::Silenced out(1);
  size_t proofs = 0, entries = 0, largest = 0, proved = 0;
  for (auto _ : state) {
    proofs = entries = largest = 0;
    for (const IdentityCirc& target : targets) {
      std::optional<Proof> proof = export_proof(p, target, 2, 10000);
      if (!proof) continue;
      ++proofs;
      entries += proof->entries.size();
      largest = std::max(largest, proof->entries.size());
    }
    proved += proofs;
  }
  state.SetItemsProcessed(int64_t(state.iterations() * targets.size()));  // proofs/s
  state.counters["targets"] = double(targets.size());
  state.counters["proofs"] = double(proofs);
  state.counters["mean_entries"] = proofs ? double(entries) / double(proofs) : 0.0;
  state.counters["max_entries"] = double(largest);
  state.counters["s_per_proof"] = benchmark::Counter(
      double(targets.size()), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["target_s_per_proof"] = 0.05;
}
BENCHMARK(BM_export_proof)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_prove_identity(benchmark::State& state) {
  const IdentityProver& p = h_s_cx_4();
  const std::vector<IdentityCirc> targets = every_tenth(p);
  for (auto _ : state)
    for (const IdentityCirc& target : targets) benchmark::DoNotOptimize(p.prove_identity(target, 2, 10000));
  state.SetItemsProcessed(int64_t(state.iterations() * targets.size()));
}
BENCHMARK(BM_prove_identity)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace morvane
