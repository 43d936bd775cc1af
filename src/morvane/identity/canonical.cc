#include "morvane/identity/canonical.h"

#include <absl/container/inlined_vector.h>

#include <algorithm>
#include <array>
#include <bit>

#include "morvane/core/interrupt.h"
#include "morvane/core/panic.h"

namespace morvane {

// The literal forms of the two normalising steps; the canonical forms below compute the same
// candidates on packed keys.

Circ compact_qubits(const Circ& c) {
  if (c.is_empty()) return c;
  c.check_perm_word();
  int m = -1;
  for (Instr32 i : c.instrs)
    for (uint8_t q : i.qargs.as_slice()) m = std::max(m, int(q));
  for (uint8_t k = 0; k < c.perm.len(); ++k)
    if (c.perm.at(k) != k) m = std::max(m, int(k));
  if (m < 0 || m + 1 >= int(c.perm.len())) return c;
  return Circ{c.instrs, c.perm.shrink(uint8_t(m + 1))};
}

Circ reorder_instrs(const Circ& c) {
  Circ r = c;
  auto& v = r.instrs;
  for (size_t i = 1; i < v.size(); ++i)
    for (size_t j = i;; --j) {
      if (!v[j].disjoint(v[j - 1]) || !(v[j] < v[j - 1])) break;
      std::swap(v[j], v[j - 1]);
      if (j == 1) break;
    }
  return r;
}

namespace {

// Circuits up to this many instructions keep all scratch inline; longer ones allocate once per call.
constexpr size_t kInline = 24;

/// A qubit slot as an index into a relabelling table: the qubit, or kNone for an empty slot.
constexpr uint8_t kNone = 8;

/// An instruction ready for relabelling: slot indices and gate index.
struct Slots {
  uint8_t s0, s1;
  uint16_t gate;
};

Slots slots_of(Instr32 i) {
  const auto& b = i.qargs.bytes;
  return {b[0] == QArgs16::kEmpty ? kNone : b[0], b[0] == QArgs16::kEmpty || b[1] == QArgs16::kEmpty ? kNone : b[1],
          i.gate.index};
}

uint8_t mask_of(Slots s) { return uint8_t(((1u << s.s0) | (1u << s.s1)) & 0xFF); }

/// A relabelling q -> p[q] as lookup tables over slot indices (index kNone stays empty).
struct Relabel {
  std::array<uint32_t, 9> hi{}, lo{};  // the qubit byte in key position 24 or 16
  std::array<uint8_t, 9> bit{};        // its arg_mask bit

  /// Only qubits below p's length are ever looked up (the circuits are well formed).
  explicit Relabel(Permut32 p) {
    hi[kNone] = uint32_t(QArgs16::kEmpty) << 24;
    lo[kNone] = uint32_t(QArgs16::kEmpty) << 16;
    // A permutation has at most 8 positions; the bound keeps the tables' writes in range.
    for (uint8_t q = 0; q < std::min<uint8_t>(p.len(), kNone); ++q) {
      const uint32_t b = p.at_unchecked(q);
      hi[q] = b << 24;
      lo[q] = b << 16;
      bit[q] = uint8_t(1u << b);
    }
  }
  /// The instruction's key: its unsigned order is the Instr32 order (qubit bytes, then gate).
  uint32_t key(Slots s) const { return hi[s.s0] | lo[s.s1] | s.gate; }
  uint8_t mask(Slots s) const { return uint8_t(bit[s.s0] | bit[s.s1]); }
};

Instr32 instr_of_key(uint32_t k) { return Instr32{Gate16(uint16_t(k)), QArgs16{{uint8_t(k >> 24), uint8_t(k >> 16)}}}; }

using Keys = absl::InlinedVector<uint32_t, kInline>;
using Masks = absl::InlinedVector<uint8_t, kInline>;
using SlotList = absl::InlinedVector<Slots, kInline>;

/// remove_swaps(compact_qubits(c)) as slot lists.
struct Prelude {
  SlotList instrs;
  Permut32 perm;

  explicit Prelude(const Circ& c) {
    c.check_well_formed();
    perm = c.perm;
    if (!c.is_empty()) {
      uint8_t affected = 0;
      for (Instr32 i : c.instrs) affected |= mask_of(slots_of(i));
      for (uint8_t k = 0; k < perm.len(); ++k)
        if (perm.at_unchecked(k) != k) affected |= uint8_t(1u << k);
      if (affected && std::bit_width(affected) < perm.len()) perm = perm.shrink(uint8_t(std::bit_width(affected)));
    }
    const uint8_t n = perm.len();
    std::array<uint8_t, 9> map{0, 1, 2, 3, 4, 5, 6, 7, kNone};
    const Gate16 swap = gates::SWAP();
    instrs.reserve(c.len());
    for (Instr32 i : c.instrs) {
      Slots s = slots_of(i);
      if (i.gate == swap) {
        if (s.s1 == kNone) panic("Index out of bounds");
        std::swap(map[s.s0], map[s.s1]);
        continue;
      }
      instrs.push_back(Slots{map[s.s0], map[s.s1], s.gate});
    }
    perm = perm * Permut32::from_iter_unchecked(std::span(map.data(), n)).inv();
  }

  Circ circuit() const {
    std::vector<Instr32> v;
    v.reserve(instrs.size());
    for (Slots s : instrs) v.push_back(instr_of_key(Relabel(Permut32::identity(perm.len())).key(s)));
    return Circ{std::move(v), perm};
  }
};

/// The permutation of every candidate of relabelling p: p * perm * p⁻¹, compacted by the used
/// qubits `used` (already relabelled) and the positions it moves.
Permut32 candidate_perm(Permut32 perm, bool perm_is_identity, Permut32 p, uint8_t used) {
  const Permut32 q = perm_is_identity ? perm : (p * perm) * p.inv();
  uint8_t affected = used;
  for (uint8_t k = 0; k < q.len(); ++k)
    if (q.at_unchecked(k) != k) affected |= uint8_t(1u << k);
  if (affected && std::bit_width(affected) < q.len()) return q.shrink(uint8_t(std::bit_width(affected)));
  return q;
}

/// Instructions a canonical form handles (a relabelling, a rotation: each counts the circuit's
/// length) between two looks at pending signals: one form of a circuit of a few gates on a few
/// qubits never reaches it.
constexpr uint32_t kInstrsPerCheck = 1u << 14;

/// reorder_instrs on keys and masks.
void reorder(std::span<uint32_t> keys, std::span<uint8_t> masks) {
  for (size_t i = 1; i < keys.size(); ++i)
    for (size_t j = i;; --j) {
      if ((masks[j] & masks[j - 1]) || !(keys[j] < keys[j - 1])) break;
      std::swap(keys[j], keys[j - 1]);
      std::swap(masks[j], masks[j - 1]);
      if (j == 1) break;
    }
}

/// A lower bound of the first instruction after reordering: the smallest instruction that shares
/// no qubit with any earlier one. An instruction reaches the front only by passing every
/// instruction that came before it, which needs it to share no qubit with them.
uint32_t front_bound(std::span<const uint32_t> keys, std::span<const uint8_t> masks) {
  uint32_t bound = UINT32_MAX;
  uint8_t touched = 0;
  for (size_t k = 0; k < keys.size(); ++k) {
    if (!(masks[k] & touched)) bound = std::min(bound, keys[k]);
    touched |= masks[k];
  }
  return bound;
}

/// The smallest candidate so far: its instruction keys, permutation and relabelling.
class Best {
 public:
  explicit Best(size_t len) : keys_(len) {}
  bool empty() const { return !found_; }
  /// A candidate whose reordered first instruction cannot be smaller than `bound` loses.
  bool beaten_by_bound(uint32_t bound) const { return found_ && bound > keys_[0]; }
  /// -1, 0, 1: the candidate's keys against the best's.
  int compare(std::span<const uint32_t> keys) const {
    if (!found_) return -1;
    for (size_t k = 0; k < keys.size(); ++k)
      if (keys[k] != keys_[k]) return keys[k] < keys_[k] ? -1 : 1;
    return 0;
  }
  void take(std::span<const uint32_t> keys, Permut32 perm, Permut32 p) {
    std::copy(keys.begin(), keys.end(), keys_.begin());
    perm_ = perm;
    p_ = p;
    found_ = true;
  }
  Permut32 perm() const { return perm_; }
  Permut32 p() const { return p_; }
  Circ circuit() const {
    std::vector<Instr32> v;
    v.reserve(keys_.size());
    for (uint32_t k : keys_) v.push_back(instr_of_key(k));
    return Circ{std::move(v), perm_};
  }

 private:
  Keys keys_;
  Permut32 perm_, p_;
  bool found_ = false;
};

/// Relabels `instrs` into `keys` and `masks`, returns the union of the masks.
uint8_t relabel_into(std::span<const Slots> instrs, const Relabel& r, std::span<uint32_t> keys,
                     std::span<uint8_t> masks) {
  uint8_t used = 0;
  for (size_t k = 0; k < instrs.size(); ++k) {
    keys[k] = r.key(instrs[k]);
    masks[k] = r.mask(instrs[k]);
    used |= masks[k];
  }
  return used;
}

}  // namespace

std::pair<Circ, Permut32> representative_with_perm(const Circ& c) {
  const Prelude c0(c);
  if (c0.instrs.empty()) return {c0.circuit(), Permut32{}};
  const size_t len = c0.instrs.size();
  const bool identity = c0.perm.is_identity();
  // Sharing a qubit does not depend on the labels: the instructions that can come first after
  // reordering are the same for every relabelling.
  absl::InlinedVector<Slots, kInline> surface;
  uint8_t touched = 0;
  for (Slots s : c0.instrs) {
    if (!(mask_of(s) & touched)) surface.push_back(s);
    touched |= mask_of(s);
  }
  Keys keys(len);
  Masks masks(len);
  Best best(len);
  interrupt::Ticker ticker(kInstrsPerCheck);
  for (Permut32 p : Permut32::all(c0.perm.len())) {
    ticker.tick(uint32_t(len));
    const Relabel r(p);
    if (!best.empty()) {
      uint32_t bound = UINT32_MAX;
      for (Slots s : surface) bound = std::min(bound, r.key(s));
      if (best.beaten_by_bound(bound)) continue;
    }
    const uint8_t used = relabel_into(c0.instrs, r, keys, masks);
    reorder(keys, masks);
    const int cmp = best.compare(keys);
    if (cmp > 0) continue;
    const Permut32 perm = candidate_perm(c0.perm, identity, p, used);
    if (cmp == 0 && (perm.raw > best.perm().raw || (perm.raw == best.perm().raw && p.raw >= best.p().raw))) continue;
    best.take(keys, perm, p);
  }
  return {best.circuit(), best.p()};
}

Circ representative(const Circ& c) { return representative_with_perm(c).first; }

Circ rotate_canonical(const Circ& c) {
  const Prelude c0(c);
  if (c0.instrs.empty()) return c0.circuit();
  const size_t len = c0.instrs.size();
  const Permut32 back = c0.perm.inv();
  const bool identity = c0.perm.is_identity();
  // Rotation i of permut(c0, p) is rotation i of c0 relabelled: instructions i.. through p, then
  // instructions 0..i-1 through p * c0.perm⁻¹. With c0 relabelled both ways one after the other,
  // rotation i is the window [i, i + len) of the doubled list.
  Keys doubled(2 * len), keys(len);
  Masks doubled_masks(2 * len), masks(len);
  Best best(len);
  interrupt::Ticker ticker(kInstrsPerCheck);
  for (Permut32 p : Permut32::all(c0.perm.len())) {
    ticker.tick(uint32_t(len));
    const uint8_t used =
        relabel_into(c0.instrs, Relabel(p), std::span(doubled).first(len), std::span(doubled_masks).first(len));
    relabel_into(c0.instrs, Relabel(p * back), std::span(doubled).last(len), std::span(doubled_masks).last(len));
    const Permut32 perm = candidate_perm(c0.perm, identity, p, used);
    for (size_t i = 0; i < len; ++i) {
      if (!(doubled_masks[i] & 1u)) continue;  // instruction i of permut(c0, p) must use qubit 0
      ticker.tick(uint32_t(len));
      const std::span<const uint32_t> window(&doubled[i], len);
      const std::span<const uint8_t> window_masks(&doubled_masks[i], len);
      if (best.beaten_by_bound(front_bound(window, window_masks))) continue;
      for (size_t k = 0; k < len; ++k) {
        keys[k] = window[k];
        masks[k] = window_masks[k];
      }
      reorder(keys, masks);
      const int cmp = best.compare(keys);
      if (cmp > 0 || (cmp == 0 && perm.raw >= best.perm().raw)) continue;
      best.take(keys, perm, p);
    }
  }
  if (best.empty()) panic("called `Option::unwrap()` on a `None` value");
  return best.circuit();
}

IdentityCirc rotate_representative(const Circ& c) { return IdentityCirc::unchecked(rotate_canonical(c)); }

}  // namespace morvane
