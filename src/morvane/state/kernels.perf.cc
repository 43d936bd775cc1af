// Targets: the H, CX and T kernels on a 3-qubit state take at most 15 ns per application; the
// matrix path of a registered 1-qubit or 2-qubit gate on 3 qubits at most 40 ns; H on a 20-qubit
// state stays within 2x of one memcpy of the state's two arrays (BM_memcpy_20_qubit_arrays).
// The counter target_ns carries each target; for the 20-qubit kernel it is twice the time of the
// memcpy, measured beside it.
#include "morvane/state/kernels.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

namespace morvane {

namespace {

StateVec bench_state(uint32_t n) {
  std::array<uint8_t, 32> seed{};
  seed[0] = 42;
  ChaCha12Rng rng(seed);
  return StateVec::from_random(rng, n);
}

/// Applies `gate` on the given qubits, cycling through the placements so that no single index
/// pattern is favoured.
void run_gate(benchmark::State& st, Gate16 gate, std::vector<std::vector<uint8_t>> placements, double target_ns) {
  StateVec s = bench_state(3);
  size_t k = 0;
  for (auto _ : st) {
    s.apply(placements[k], gate);
    benchmark::DoNotOptimize(s.re_data());
    benchmark::ClobberMemory();
    if (++k == placements.size()) k = 0;
  }
  st.counters["target_ns"] = target_ns;
}

Gate16 registered(uint32_t dim, const char* name) {
  CMatrix m(dim, dim);
  for (uint32_t r = 0; r < dim; ++r)
    for (uint32_t c = 0; c < dim; ++c) m(r, c) = Complex{0.5 / (1 + r + c), 0.25 * (double(r) - double(c))};
  return Gate16::make(name, {}, m);
}

/// The time of one copy of both arrays of `s`, in ns (the least of a few).
double memcpy_ns(const StateVec& s) {
  std::vector<Qreal> re(s.len()), im(s.len());
  double best = 1e18;
  for (int k = 0; k < 8; ++k) {
    auto start = std::chrono::steady_clock::now();
    std::memcpy(re.data(), s.re().data(), s.len() * sizeof(Qreal));
    std::memcpy(im.data(), s.im().data(), s.len() * sizeof(Qreal));
    benchmark::ClobberMemory();
    best = std::min(best, std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

}  // namespace

// Target: ≤ 15 ns.
static void BM_h_kernel_3_qubits(benchmark::State& st) { run_gate(st, gates::H(), {{0}, {1}, {2}}, 15); }
BENCHMARK(BM_h_kernel_3_qubits);

// Target: ≤ 15 ns.
static void BM_cx_kernel_3_qubits(benchmark::State& st) {
  run_gate(st, gates::CX(), {{0, 1}, {1, 2}, {2, 0}, {1, 0}}, 15);
}
BENCHMARK(BM_cx_kernel_3_qubits);

// Target: ≤ 15 ns.
static void BM_t_kernel_3_qubits(benchmark::State& st) { run_gate(st, gates::T(), {{0}, {1}, {2}}, 15); }
BENCHMARK(BM_t_kernel_3_qubits);

// Target: ≤ 40 ns (read lock, one read of the matrix, four 2x2 products).
static void BM_matrix_1_qubit_gate_3_qubits(benchmark::State& st) {
  run_gate(st, registered(2, "bench_u1"), {{0}, {1}, {2}}, 40);
}
BENCHMARK(BM_matrix_1_qubit_gate_3_qubits);

// Target: ≤ 40 ns (read lock, one read of the matrix, two 4x4 products).
static void BM_matrix_2_qubit_gate_3_qubits(benchmark::State& st) {
  run_gate(st, registered(4, "bench_u2"), {{0, 1}, {1, 2}, {2, 0}}, 40);
}
BENCHMARK(BM_matrix_2_qubit_gate_3_qubits);

// Target: within 2x of BM_memcpy_20_qubit_arrays, for every target qubit.
static void BM_h_kernel_20_qubits(benchmark::State& st) {
  StateVec s = bench_state(20);
  std::vector<uint8_t> q{uint8_t(st.range(0))};
  for (auto _ : st) {
    s.apply(q, gates::H());
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(2 * s.len() * sizeof(Qreal)));
  st.counters["target_ns"] = 2 * memcpy_ns(s);
}
BENCHMARK(BM_h_kernel_20_qubits)->Arg(0)->Arg(1)->Arg(10)->Arg(19);

// Reference for the 20-qubit kernel: one copy of both arrays.
static void BM_memcpy_20_qubit_arrays(benchmark::State& st) {
  StateVec s = bench_state(20);
  std::vector<Qreal> re(s.len()), im(s.len());
  for (auto _ : st) {
    std::memcpy(re.data(), s.re().data(), s.len() * sizeof(Qreal));
    std::memcpy(im.data(), s.im().data(), s.len() * sizeof(Qreal));
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(2 * s.len() * sizeof(Qreal)));
}
BENCHMARK(BM_memcpy_20_qubit_arrays);

}  // namespace morvane
