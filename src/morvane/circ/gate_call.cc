#include "morvane/circ/gate_call.h"

#include <fmt/format.h>

#include "morvane/core/panic.h"

namespace morvane {

Instr32 call_gate(Gate16 g, std::span<const uint8_t> qubits) {
  if (qubits.size() != g.nqargs()) panic(fmt::format("Number of arguments not match for gate {}", g.display()));
  return Instr32{g, QArgs16::from_iter(qubits)};
}

Instruction call_gate(Gate16 g, std::span<const Argument> operands) {
  size_t n = g.nqargs();
  if (operands.size() < n)
    panic(fmt::format("range end index {} out of range for slice of length {}", n, operands.size()));
  Instruction instr{g, {}, {}};
  instr.qargs.assign(operands.begin(), operands.begin() + ptrdiff_t(n));
  instr.cargs.assign(operands.begin() + ptrdiff_t(n), operands.end());
  return instr;
}

std::variant<std::vector<double>, NumericError> gate_params_f(Gate16 g) {
  std::vector<double> values;
  for (const std::string& text : g.params()) {
    EvalResult r = evaluate_with_pi(text);
    if (auto* e = std::get_if<NumericError>(&r)) return std::move(*e);
    values.push_back(std::get<double>(r));
  }
  return values;
}

}  // namespace morvane
