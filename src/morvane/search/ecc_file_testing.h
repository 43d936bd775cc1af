#pragma once
// Collections for the tests and benchmarks of class files and the Quartz export.

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "morvane/circ/gate.h"
#include "morvane/circ/instr.h"
#include "morvane/search/ecc.h"
#include "morvane/testing/circuits.h"

namespace morvane::testing {

inline ECC ecc_of(std::vector<PermutedCircuit> circuits) { return ECC{std::move(circuits)}; }

/// Two classes on 2 qubits: [x(0) with the identity] and [the empty circuit with the transposition,
/// cx(0, 1) cx(1, 0) cx(0, 1) with the identity].
inline ECCs worked_example() {
  Permut32 id = Permut32::identity(2);
  Permut32 swap = Permut32::from_iter(std::vector<uint8_t>{1, 0});
  Instr32 a = instr(gates::CX(), {0, 1}), b = instr(gates::CX(), {1, 0});
  return ECCs{{ecc_of({{{instr(gates::X(), {0})}, id}}), ecc_of({{{}, swap}, {{a, b, a}, id}})}, 2};
}

/// The one-qubit phase matrix diag(1, e^(i theta)).
inline CMatrix phase_matrix(double theta) {
  CMatrix m(2, 2);
  m(0, 0) = Complex{1.0, 0.0};
  m(1, 1) = Complex{std::cos(theta), std::sin(theta)};
  return m;
}

/// A phase gate registered under `name` (theta picks the matrix, so distinct thetas give distinct
/// gates).
inline Gate16 phase_gate(std::string name, double theta) {
  return Gate16::make(std::move(name), {}, phase_matrix(theta));
}

/// A deterministic collection of `nclasses` classes of 1 to 7 circuits (4 on average) with 0 to 5
/// instructions over h, x, t, rz(pi/3) and cx on `nqubits` qubits (at least 2); most circuits carry
/// the identity, the others a permutation of the qubits.
inline ECCs synthetic_collection(size_t nclasses, uint8_t nqubits) {
  Gate16 one[] = {gates::H(), gates::X(), gates::T(), *Gate16::from_name("rz(pi/3)")};
  const auto& perms = Permut32::all(nqubits);
  uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&](uint64_t n) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return (state >> 33) % n;
  };
  ECCs eccs{{}, nqubits};
  eccs.eccs.reserve(nclasses);
  for (size_t k = 0; k < nclasses; ++k) {
    ECC& ecc = eccs.eccs.emplace_back();
    size_t ncircuits = 1 + k % 7;
    for (size_t j = 0; j < ncircuits; ++j) {
      PermutedCircuit& c = ecc.circuits.emplace_back();
      size_t len = next(6);
      for (size_t i = 0; i < len; ++i) {
        uint8_t q0 = uint8_t(next(nqubits));
        if (next(3) == 0) {
          uint8_t q1 = uint8_t((q0 + 1 + next(nqubits - 1)) % nqubits);
          c.instrs.push_back(instr(gates::CX(), {q0, q1}));
        } else {
          c.instrs.push_back(instr(one[next(4)], {q0}));
        }
      }
      c.perm = next(4) == 0 ? perms[next(perms.size())] : Permut32::identity(nqubits);
    }
  }
  return eccs;
}

}  // namespace morvane::testing
