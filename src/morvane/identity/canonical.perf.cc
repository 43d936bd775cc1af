// Canonical forms.
//
// Targets (one thread):
//   rotate_representative of a 3-qubit 8-gate identity, identity check included: at most 3 µs.
//   rotate_representative of a 5-qubit 10-gate identity, identity check included: at most 60 µs.
//   representative_with_perm of a 3-qubit 4-gate block: at most 0.4 µs.
#include <benchmark/benchmark.h>

#include "morvane/identity/canonical.h"

namespace morvane {

namespace {

Instr32 on(Gate16 g, std::vector<uint8_t> qubits) { return Instr32::make(g, qubits); }

/// The block followed by its inverse: an identity of twice the block's length.
Circ identity_of(std::vector<Instr32> block) {
  const Circ c = Circ::make_no_perm(std::move(block));
  return c + c.inverse();
}

const Circ& three_qubit_identity() {
  static const Circ c =
      identity_of({on(gates::H(), {0}), on(gates::CX(), {0, 1}), on(gates::T(), {2}), on(gates::CX(), {1, 2})});
  return c;
}

const Circ& five_qubit_identity() {
  static const Circ c = identity_of({on(gates::H(), {0}), on(gates::CX(), {0, 1}), on(gates::CX(), {1, 2}),
                                     on(gates::T(), {3}), on(gates::CX(), {3, 4})});
  return c;
}

void BM_rotate_representative_3q_8g(benchmark::State& state) {
  const Circ& c = three_qubit_identity();
  for (auto _ : state) benchmark::DoNotOptimize(rotate_representative(c));
  state.counters["target_ns"] = 3000;
}
BENCHMARK(BM_rotate_representative_3q_8g);

void BM_rotate_representative_5q_10g(benchmark::State& state) {
  const Circ& c = five_qubit_identity();
  for (auto _ : state) benchmark::DoNotOptimize(rotate_representative(c));
  state.counters["target_ns"] = 60000;
}
BENCHMARK(BM_rotate_representative_5q_10g);

/// The canonical search alone, without the identity check.
void BM_rotate_canonical_3q_8g(benchmark::State& state) {
  const Circ& c = three_qubit_identity();
  for (auto _ : state) benchmark::DoNotOptimize(rotate_canonical(c));
}
BENCHMARK(BM_rotate_canonical_3q_8g);

void BM_rotate_canonical_5q_10g(benchmark::State& state) {
  const Circ& c = five_qubit_identity();
  for (auto _ : state) benchmark::DoNotOptimize(rotate_canonical(c));
}
BENCHMARK(BM_rotate_canonical_5q_10g);

void BM_representative_with_perm_3q_4g(benchmark::State& state) {
  const Circ c =
      Circ::make_no_perm({on(gates::H(), {0}), on(gates::CX(), {0, 1}), on(gates::T(), {2}), on(gates::CX(), {2, 1})});
  for (auto _ : state) benchmark::DoNotOptimize(representative_with_perm(c));
  state.counters["target_ns"] = 400;
}
BENCHMARK(BM_representative_with_perm_3q_4g);

}  // namespace

}  // namespace morvane
