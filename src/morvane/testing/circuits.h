#pragma once
// Instruction builders for the tests and benchmarks of the circuit layer and above.

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "morvane/circ/gate.h"
#include "morvane/circ/instr.h"
#include "morvane/testing/testing.h"

namespace morvane::testing {

/// The gate on the given qubits, checked as Instr32::make checks it.
inline Instr32 instr(Gate16 g, std::initializer_list<uint8_t> qubits) {
  return Instr32::make(g, std::vector<uint8_t>(qubits));
}

inline Instr32 h(uint8_t q) { return instr(gates::H(), {q}); }
inline Instr32 x(uint8_t q) { return instr(gates::X(), {q}); }
inline Instr32 s(uint8_t q) { return instr(gates::S(), {q}); }
inline Instr32 t(uint8_t q) { return instr(gates::T(), {q}); }
inline Instr32 cx(uint8_t a, uint8_t b) { return instr(gates::CX(), {a, b}); }
inline Instr32 swap(uint8_t a, uint8_t b) { return instr(gates::SWAP(), {a, b}); }

}  // namespace morvane::testing
