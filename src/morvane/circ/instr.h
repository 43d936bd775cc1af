#pragma once
// Compact instructions: a Gate16 on at most two qubits, packed into 4 bytes. Ordered by the qubit
// bytes first (an empty slot, 0xFF, after every qubit), then by gate index.

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <fmt/format.h>

#include "morvane/circ/gate.h"
#include "morvane/core/permut.h"

namespace morvane {

struct QArgs16 {
  static constexpr uint8_t kEmpty = 0xFF;
  std::array<uint8_t, 2> bytes{kEmpty, kEmpty};

  /// Slots start empty and are filled in order; a third value stops with the index message, and
  /// the value 0xFF, which would read as an empty slot, stops too.
  static QArgs16 from_iter(std::span<const uint8_t> values);
  uint8_t len() const { return bytes[0] == kEmpty ? 0 : bytes[1] == kEmpty ? 1 : 2; }
  std::span<const uint8_t> as_slice() const { return {bytes.data(), len()}; }
  bool contains(uint8_t q) const;
  uint8_t index(size_t i) const;

  friend bool operator==(QArgs16, QArgs16) = default;
  friend auto operator<=>(QArgs16 a, QArgs16 b) { return a.bytes <=> b.bytes; }
  void hash_into(SipHasher13& h) const {
    h.write_u32(2);
    h.write_u8(bytes[0]);
    h.write_u8(bytes[1]);
  }
};

struct Instr32 {
  Gate16 gate;
  QArgs16 qargs;

  /// Validating: the qubit count must match the gate's arity and the qubits must differ.
  static Instr32 make(Gate16 gate, std::span<const uint8_t> qubits);

  Instr32 apply_permutation(Permut32 perm) const {
    Instr32 r{gate, QArgs16{}};
    for (size_t i = 0; i < 2 && qargs.bytes[i] != QArgs16::kEmpty; ++i) r.qargs.bytes[i] = perm.at(qargs.bytes[i]);
    return r;
  }
  Instr32 permut(Permut32 perm) const { return apply_permutation(perm); }
  uint8_t arg_mask() const;
  std::optional<uint8_t> pass_mask(uint8_t mask) const;
  uint8_t largest_qubit() const;
  bool disjoint(Instr32 other) const { return (arg_mask() & other.arg_mask()) == 0; }
  Instr32 adjoint() const { return Instr32{gate.adjoint(), qargs}; }
  std::optional<uint8_t> position_of_qubit(uint8_t q) const;
  /// e.g. "cx(0, 1)", "rz(pi/3)(0)", "g()".
  std::string display() const;
  /// Postcard form: the gate's display string as a text, then the two raw qubit bytes. Reading
  /// takes the bytes as they are, without the checks of `make`.
  template <typename W>
  void write_postcard(W& w, GateTexts& texts) const {
    gate.write_postcard(w, texts);
    w.u8(qargs.bytes[0]);
    w.u8(qargs.bytes[1]);
  }
  static Instr32 read_postcard(postcard::Reader& r, std::string& scratch, GateNames& names) {
    Instr32 i{Gate16::read_postcard(r, scratch, names), QArgs16{}};
    i.qargs.bytes[0] = r.u8();
    i.qargs.bytes[1] = r.u8();
    return i;
  }

  friend bool operator==(Instr32, Instr32) = default;
  friend std::strong_ordering operator<=>(Instr32 a, Instr32 b) {
    if (auto c = a.qargs <=> b.qargs; c != 0) return c;
    return a.gate.index <=> b.gate.index;
  }
  void hash_into(SipHasher13& h) const {
    gate.hash_into(h);
    qargs.hash_into(h);
  }
  uint64_t hash_value() const {
    SipHasher13 h;
    hash_into(h);
    return h.finish();
  }
};
static_assert(sizeof(Instr32) == 4);

}  // namespace morvane

/// `{}` of an instruction is its display form.
template <>
struct fmt::formatter<morvane::Instr32> : fmt::formatter<std::string_view> {
  template <typename Ctx>
  auto format(morvane::Instr32 i, Ctx& ctx) const {
    return fmt::formatter<std::string_view>::format(i.display(), ctx);
  }
};
