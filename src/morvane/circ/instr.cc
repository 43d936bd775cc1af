#include "morvane/circ/instr.h"

#include "morvane/core/fmt_join.h"

#include <bit>

namespace morvane {

QArgs16 QArgs16::from_iter(std::span<const uint8_t> values) {
  QArgs16 q;
  size_t i = 0;
  for (uint8_t v : values) {
    check_index(2, i);
    if (v == kEmpty) panic("Qubit index 255 is reserved for an empty slot");
    q.bytes[i++] = v;
  }
  return q;
}

bool QArgs16::contains(uint8_t q) const {
  for (uint8_t b : as_slice())
    if (b == q) return true;
  return false;
}

uint8_t QArgs16::index(size_t i) const {
  check_index(2, i);
  if (bytes[i] == kEmpty) panic("Index out of bounds");
  return bytes[i];
}

Instr32 Instr32::make(Gate16 gate, std::span<const uint8_t> qubits) {
  if (qubits.size() != gate.nqargs()) panic("Number of qubit arguments does not match gate arity");
  for (size_t i = 0; i < qubits.size(); ++i)
    for (size_t j = i + 1; j < qubits.size(); ++j)
      if (qubits[i] == qubits[j]) panic("Qubit arguments must be unique");
  return Instr32{gate, QArgs16::from_iter(qubits)};
}

uint8_t Instr32::arg_mask() const {
  uint8_t m = 0;
  for (uint8_t q : qargs.as_slice()) m |= uint8_t(1u << (q % 8));
  return m;
}

std::optional<uint8_t> Instr32::pass_mask(uint8_t mask) const {
  uint8_t m = mask;
  for (uint8_t q : qargs.as_slice()) {
    if (m & (1u << (q % 8))) continue;
    if (q != std::countr_one(m)) return std::nullopt;
    m |= uint8_t(1u << (q % 8));
  }
  return m;
}

uint8_t Instr32::largest_qubit() const {
  uint8_t m = 0;
  for (uint8_t q : qargs.as_slice()) m = std::max(m, q);
  return m;
}

std::optional<uint8_t> Instr32::position_of_qubit(uint8_t q) const {
  auto used = qargs.as_slice();
  for (size_t i = 0; i < used.size(); ++i)
    if (used[i] == q) return static_cast<uint8_t>(i);
  return std::nullopt;
}

std::string Instr32::display() const { return fmt::format("{}({})", gate.display(), fjoin(qargs.as_slice(), ", ")); }

}  // namespace morvane
