// A million identities of 16 gates on 3 qubits recorded and looked up as the prover's build does
// with `proved`: each inserted with its hash into a fresh set, then members and identities never
// inserted looked up with their hashes. The same with the hash table of identity circuits for
// comparison (BM_identity_set_*).
// Targets: the million insertions at most 300 ms (the table copies each identity into a heap block
// of its own, and takes about 800 ms), a lookup at most 120 ns (about three cache misses: the
// index's control bytes, its slot, the member's words).
#include "morvane/identity/packed_identity_set.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "morvane/identity/prover.h"

namespace morvane {

namespace {

constexpr size_t kCount = size_t(1) << 20;

/// kCount members to insert, then kCount others to look up as misses, with their hashes.
const std::vector<IdentityWithHash>& sample() {
  static const std::vector<IdentityWithHash> s = [] {
    std::mt19937_64 rng(5);
    std::vector<IdentityWithHash> out;
    out.reserve(2 * kCount);
    for (size_t k = 0; k < 2 * kCount; ++k) {
      std::vector<Instr32> instrs(16);
      for (Instr32& i : instrs) {
        i = Instr32{Gate16(uint16_t(rng() % 4)), QArgs16{}};
        i.qargs.bytes[0] = uint8_t(rng() % 3);
        if (i.gate.index == 3) i.qargs.bytes[1] = uint8_t((i.qargs.bytes[0] + 1) % 3);
      }
      IdentityCirc id = IdentityCirc::as_read(Circ{std::move(instrs), Permut32::identity(3)});
      const uint64_t hash = id.hash_value();
      out.push_back(IdentityWithHash{std::move(id), hash});
    }
    return out;
  }();
  return s;
}

template <typename Set, typename Insert>
void insertions(benchmark::State& state, Insert insert) {
  const auto& s = sample();
  for (auto _ : state) {
    Set set;
    for (size_t k = 0; k < kCount; ++k) insert(set, s[k]);
    benchmark::DoNotOptimize(set);
    state.PauseTiming();
    { Set gone = std::move(set); }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(state.iterations() * kCount));
  state.counters["target_ms"] = 300;
}

template <typename Set, typename Insert>
void lookups(benchmark::State& state, Insert insert) {
  const auto& s = sample();
  Set set;
  for (size_t k = 0; k < kCount; ++k) insert(set, s[k]);
  std::mt19937_64 rng(9);
  std::vector<uint32_t> order(4096);
  for (uint32_t& k : order) k = uint32_t(rng() % (2 * kCount));
  size_t found = 0, i = 0;
  for (auto _ : state) {
    const IdentityWithHash& x = s[order[i++ & 4095]];
    found += set.contains(HashedIdentity{x.id, x.hash});
  }
  benchmark::DoNotOptimize(found);
  state.counters["target_ns"] = 120;
}

void packed_insert(PackedIdentitySet& set, const IdentityWithHash& x) { set.insert(HashedIdentity{x.id, x.hash}); }
void table_insert(IdentitySet& set, const IdentityWithHash& x) { set.insert(x.id); }

}  // namespace

static void BM_packed_identity_set_insert(benchmark::State& state) {
  insertions<PackedIdentitySet>(state, packed_insert);
}
BENCHMARK(BM_packed_identity_set_insert)->Unit(benchmark::kMillisecond);

static void BM_packed_identity_set_contains(benchmark::State& state) {
  lookups<PackedIdentitySet>(state, packed_insert);
}
BENCHMARK(BM_packed_identity_set_contains);

static void BM_identity_set_insert(benchmark::State& state) { insertions<IdentitySet>(state, table_insert); }
BENCHMARK(BM_identity_set_insert)->Unit(benchmark::kMillisecond);

static void BM_identity_set_contains(benchmark::State& state) { lookups<IdentitySet>(state, table_insert); }
BENCHMARK(BM_identity_set_contains);

}  // namespace morvane
