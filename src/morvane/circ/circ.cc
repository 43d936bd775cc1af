#include "morvane/circ/circ.h"

#include <algorithm>
#include <array>

#include <fmt/format.h>

#include "morvane/core/fmt_join.h"
#include "morvane/core/panic.h"

namespace morvane {

namespace {

/// The largest used qubit, or -1 when no instruction uses one.
int largest_used_qubit(std::span<const Instr32> instrs) {
  int m = -1;
  for (Instr32 i : instrs)
    for (uint8_t q : i.qargs.as_slice()) m = std::max(m, int(q));
  return m;
}

/// Every used qubit q replaced by p.at(q); empty slots stay empty.
Instr32 relabel(Instr32 i, Permut32 p) {
  for (uint8_t s = 0; s < i.qargs.len(); ++s) i.qargs.bytes[s] = p.at(i.qargs.bytes[s]);
  return i;
}

void check_perm_covers(std::span<const Instr32> instrs, Permut32 perm) {
  if (largest_used_qubit(instrs) >= int(perm.len()))
    panic("Permutation length must be greater than the max qubit index.");
}

}  // namespace

Circ Circ::make(std::vector<Instr32> instrs, Permut32 perm) {
  check_perm_covers(instrs, perm);
  return Circ{std::move(instrs), perm};
}

Circ Circ::make_no_perm(std::vector<Instr32> instrs) {
  const int m = largest_used_qubit(instrs);
  if (m < 0) return Circ{std::move(instrs), Permut32{}};
  if (m + 1 > 8) panic("Permutation length must be less than or equal to 8");
  Permut32 p = Permut32::identity(uint8_t(m + 1));
  return Circ{std::move(instrs), p};
}

void Circ::check_perm_word() const {
  const uint8_t n = perm.len();
  bool valid = n <= 8 && (perm.raw >> 28) == 0;
  if (valid) {
    uint32_t seen = 0;
    for (uint8_t k = 0; k < n; ++k) {
      uint8_t v = perm.at_unchecked(k);
      valid = valid && v < n && !(seen & (1u << v));
      seen |= 1u << v;
    }
    // Positions past the length hold nothing.
    valid = valid && (perm.raw & 0xFFFFFF) >> (3 * n) == 0;
  }
  if (!valid)
    panic(fmt::format("Circuit permutation word {:#x} is not a permutation of at most 8 positions", perm.raw));
}

void Circ::check_well_formed() const {
  check_perm_word();
  const uint8_t n = perm.len();
  for (size_t k = 0; k < instrs.size(); ++k) {
    const auto& b = instrs[k].qargs.bytes;
    if (b[0] == QArgs16::kEmpty && b[1] != QArgs16::kEmpty)
      panic(fmt::format("Instruction {} has an empty first qubit slot before qubit {}", k, b[1]));
    for (uint8_t q : instrs[k].qargs.as_slice())
      if (q >= n)
        panic(fmt::format("Instruction {} uses qubit {}, which is not below the permutation length {}", k, q, n));
    if (instrs[k].qargs.len() == 2 && b[0] == b[1]) panic(fmt::format("Instruction {} uses qubit {} twice", k, b[0]));
  }
}

Circ Circ::permut(Permut32 p) const {
  Circ out;
  permut_into(p, out);
  return out;
}

void Circ::permut_into(Permut32 p, Circ& out) const {
  check_well_formed();
  auto [s, q] = perm.coordinate_permute(p);
  out.instrs.clear();
  for (Instr32 i : instrs) out.instrs.push_back(relabel(i, q));
  out.perm = (q * s) * q.inv();
  check_perm_covers(out.instrs, out.perm);
}

Circ Circ::rotate(int64_t n) const {
  const size_t len = instrs.size();
  if (n == 0) return *this;
  check_well_formed();
  std::vector<Instr32> out;
  out.reserve(len);
  if (n > 0) {
    if (size_t(n) > len) panic(fmt::format("range start index {} out of range for slice of length {}", n, len));
    const Permut32 back = perm.inv();
    out.insert(out.end(), instrs.begin() + n, instrs.end());
    for (size_t k = 0; k < size_t(n); ++k) out.push_back(relabel(instrs[k], back));
  } else {
    const uint64_t m = uint64_t(-(n + 1)) + 1;
    if (m > len) panic(fmt::format("range end index {} out of range for slice of length {}", m, len));
    const size_t k = len - m;
    for (size_t j = k; j < len; ++j) out.push_back(relabel(instrs[j], perm));
    out.insert(out.end(), instrs.begin(), instrs.begin() + k);
  }
  return make(std::move(out), perm);
}

Circ Circ::inverse() const {
  check_well_formed();
  std::vector<Instr32> out;
  out.reserve(instrs.size());
  for (auto it = instrs.rbegin(); it != instrs.rend(); ++it) out.push_back(relabel(it->adjoint(), perm));
  return make(std::move(out), perm.inv());
}

Circ Circ::remove_swaps() const {
  check_perm_word();
  const uint8_t n = perm.len();
  std::array<uint8_t, 8> map{};
  for (uint8_t k = 0; k < n; ++k) map[k] = k;
  const Gate16 swap = gates::SWAP();
  std::vector<Instr32> out;
  out.reserve(instrs.size());
  for (Instr32 i : instrs) {
    if (i.gate == swap) {
      if (i.qargs.len() != 2) panic("Index out of bounds");
      const uint8_t a = i.qargs.bytes[0], b = i.qargs.bytes[1];
      check_index(n, a);
      check_index(n, b);
      std::swap(map[a], map[b]);
      continue;
    }
    for (uint8_t s = 0; s < i.qargs.len(); ++s) {
      check_index(n, i.qargs.bytes[s]);
      i.qargs.bytes[s] = map[i.qargs.bytes[s]];
    }
    out.push_back(i);
  }
  const Permut32 q = Permut32::from_iter_unchecked(std::span(map.data(), n));
  return make(std::move(out), perm * q.inv());
}

std::vector<Instr32> with_swaps(std::span<const Instr32> instrs, Permut32 perm) {
  std::vector<Instr32> out(instrs.begin(), instrs.end());
  for (auto [a, b] : perm.generate_swaps()) out.push_back(Instr32{gates::SWAP(), QArgs16{{a, b}}});
  return out;
}

Circ operator+(const Circ& a, const Circ& b) {
  Circ out;
  Circ::join_into(a, b, out);
  return out;
}

void Circ::join_into(const Circ& a, const Circ& b, Circ& out) {
  a.check_well_formed();
  b.check_well_formed();
  auto [pa, pb] = a.perm.coordinate_permute(b.perm);
  const Permut32 back = pa.inv();
  out.instrs.assign(a.instrs.begin(), a.instrs.end());
  for (Instr32 i : b.instrs) out.instrs.push_back(relabel(i, back));
  out.perm = pb * pa;
  check_perm_covers(out.instrs, out.perm);
}

std::strong_ordering operator<=>(const Circ& a, const Circ& b) {
  if (auto c = a.instrs.size() <=> b.instrs.size(); c != 0) return c;
  if (auto c =
          std::lexicographical_compare_three_way(a.instrs.begin(), a.instrs.end(), b.instrs.begin(), b.instrs.end());
      c != 0)
    return c;
  return a.perm.raw <=> b.perm.raw;
}

void Circ::hash_into(SipHasher13& h) const {
  h.write_u32(static_cast<uint32_t>(instrs.size()));
  for (Instr32 i : instrs) i.hash_into(h);
  perm.hash_into(h);
}

uint64_t Circ::hash_value() const {
  // The stream is 4 + 8L + 4 bytes: each instruction's 8 bytes straddle two words, as the two
  // 32-bit halves (gate index | 2 << 16) and (qubit bytes << 16).
  SipWords13 h;
  uint64_t pending = static_cast<uint32_t>(instrs.size());
  for (Instr32 i : instrs) {
    const uint32_t head = uint32_t(i.gate.index) | (2u << 16);
    const uint32_t tail = (uint32_t(i.qargs.bytes[0]) << 16) | (uint32_t(i.qargs.bytes[1]) << 24);
    h.write(pending | (uint64_t(head) << 32));
    pending = tail;
  }
  h.write(pending | (uint64_t(perm.raw) << 32));
  return h.finish();
}

std::string Circ::display_as(std::string_view name) const {
  std::string s = fmt::format("{} {{ ", name);
  for (Instr32 i : instrs) {
    s += i.display();
    s.push_back(' ');
  }
  return s + perm.to_string() + " }";
}

std::string Circ::debug() const {
  return fmt::format("Circ {{ instrs: [{}], perm: {} }}", fjoin(instrs, ", "), perm.to_string());
}

Circ Circ::read_postcard(postcard::Reader& r, std::string& scratch, GateNames& names) {
  Circ c;
  const uint32_t count = r.varint32();
  for (uint32_t k = 0; k < count; ++k) c.instrs.push_back(Instr32::read_postcard(r, scratch, names));
  c.perm = Permut32::from_raw(r.varint32());
  return c;
}

}  // namespace morvane
