#pragma once
// What a gate does when it is used from outside the search: calling it on operands builds an
// instruction, and its parameter texts evaluate to numbers.

#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "morvane/circ/gate.h"
#include "morvane/circ/instr.h"
#include "morvane/circ/instruction.h"
#include "morvane/circ/param.h"

namespace morvane {

/// The compact instruction of `g` on `qubits`, built exactly as given (no uniqueness test). Stops
/// "Number of arguments not match for gate <name>" unless there are exactly nqargs qubits.
Instr32 call_gate(Gate16 g, std::span<const uint8_t> qubits);

/// The register-style instruction of `g`: the first nqargs operands are its qubit operands, the
/// rest its classical ones. Stops "range end index <nqargs> out of range for slice of length <n>"
/// when there are fewer operands than that.
Instruction call_gate(Gate16 g, std::span<const Argument> operands);

/// The gate's parameter texts evaluated in order, `pi` known; the first error stops the evaluation.
std::variant<std::vector<double>, NumericError> gate_params_f(Gate16 g);

}  // namespace morvane
