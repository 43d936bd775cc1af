#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>

#include "morvane/circ/gate.h"
#include "morvane/circ/instr.h"

namespace morvane {

// Target: taking and releasing the registry's read lock, uncontended, under 10 ns.
static void BM_registry_read_lock(benchmark::State& state) {
  SpinRwLock& lock = GateRegistry::get().lock();
  for (auto _ : state) {
    lock.lock_shared();
    benchmark::ClobberMemory();
    lock.unlock_shared();
  }
  state.counters["target_ns"] = 10;
}
BENCHMARK(BM_registry_read_lock);

// Reference for the one above, no target of its own: the bare atomic addition and subtraction
// that the read lock's protocol consists of, the floor of what the lock can cost on this machine.
static void BM_two_atomic_ops_reference(benchmark::State& state) {
  static std::atomic<uint32_t> word{0};
  for (auto _ : state) {
    word.fetch_add(4, std::memory_order_acquire);
    benchmark::ClobberMemory();
    word.fetch_sub(4, std::memory_order_release);
  }
}
BENCHMARK(BM_two_atomic_ops_reference);

// Target: finding the last of 1023 gates by its display string under 10 us (one linear scan that
// compares display strings without building them).
static void BM_from_name_last_of_1000(benchmark::State& state) {
  static const std::string last = [] {
    Gate16 g;
    for (int k = 0; k < 1000; ++k) {
      CMatrix m(2, 2);
      m(0, 0) = Complex{1.0, 0.0};
      m(1, 1) = Complex{std::cos(2.0 + k * 1e-3), std::sin(2.0 + k * 1e-3)};
      g = Gate16::make("bench_rz", {fmt::format("theta{}", k)}, std::move(m));
    }
    return g.display();
  }();
  for (auto _ : state) {
    auto g = Gate16::from_name(last);
    benchmark::DoNotOptimize(g);
  }
  state.counters["gates"] = double(GateRegistry::get().size());
  state.counters["target_ns"] = 10000;
}
BENCHMARK(BM_from_name_last_of_1000);

// Target: relabelling the qubits of a two-qubit instruction under 5 ns.
static void BM_instr_apply_permutation(benchmark::State& state) {
  const auto& perms = Permut32::all(8);
  Instr32 instr = Instr32::make(gates::CX(), std::vector<uint8_t>{3, 6});
  size_t i = 0;
  for (auto _ : state) {
    Instr32 r = instr.apply_permutation(perms[i++ % perms.size()]);
    benchmark::DoNotOptimize(r);
  }
  state.counters["target_ns"] = 5;
}
BENCHMARK(BM_instr_apply_permutation);

}  // namespace morvane
