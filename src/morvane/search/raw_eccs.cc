#include "morvane/search/raw_eccs.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <optional>
#include <ranges>

#include <fmt/format.h>

#include "morvane/core/fmt_join.h"
#include "morvane/core/interrupt.h"
#include "morvane/search/evaluator.h"
#include "morvane/search/surface.h"

namespace morvane {

// ---------------------------------------------------------------------------------------------
// Stored circuits

namespace {

/// Raw cell values of a list, newest instruction first (an array of Instr32 would be initialised
/// first). Searched circuits fit.
using CellBuffer = std::array<uint32_t, 64>;

/// Reads the cells of `circ` into `buffer`; their number, or nothing when the list is longer.
std::optional<size_t> read_cells(const AliasArena& arena, AliasList circ, CellBuffer& buffer) {
  size_t n = 0;
  for (AliasList at = circ; !at.is_nil(); ++n) {
    if (n == buffer.size()) return std::nullopt;
    const auto& cell = arena.cell(at);
    buffer[n] = cell.head_raw;
    at = AliasList{cell.tail};
  }
  return n;
}

}  // namespace

PermutedCircuit CircTriple::simplify(const AliasArena& arena) const {
  Permut32 inv = front_perm.inv();
  PermutedCircuit out;
  // The list yields the newest instruction first: fill from the back. Its cells are read once when
  // the circuit fits the buffer, otherwise walked for the length first.
  CellBuffer buffer;
  if (auto n = read_cells(arena, circ, buffer)) {
    out.instrs.resize(*n);
    for (size_t k = 0; k < *n; ++k) out.instrs[*n - 1 - k] = std::bit_cast<Instr32>(buffer[k]).apply_permutation(inv);
  } else {
    out.instrs.resize(arena.length(circ));
    size_t to = out.instrs.size();
    for (Instr32 i : arena.iter(circ)) out.instrs[--to] = i.apply_permutation(inv);
  }
  out.perm = back_perm * front_perm;
  return out;
}

std::string CircTriple::debug(const AliasArena& arena) const {
  return fmt::format("{} {} {}", front_perm.to_string(), fjoin(arena.to_vec(circ), " "), back_perm.to_string());
}

std::string CircTriple::display(const AliasArena& arena) const {
  PermutedCircuit p = simplify(arena);
  return fmt::format("{} {}", fjoin(p.instrs, " "), p.perm.to_string());
}

std::string join_relabelled(std::span<const Instr32> instrs, Permut32 perm, std::string_view sep) {
  Permut32 inv = perm.inv();
  return fmt::format("{}",
                     fjoin(instrs | std::views::transform([inv](Instr32 i) { return i.apply_permutation(inv); }), sep));
}

// ---------------------------------------------------------------------------------------------
// Permutation ranks (Lehmer codes; at most 5 qubits, so at most 120 ranks)

Permut32 RawECCs::unrank(uint8_t r) const {
  return r < unranked_.size() ? unranked_[r] : Permut32::from_lehmer_rank(uint8_t(nqubits_), r);
}

// ---------------------------------------------------------------------------------------------
// Class storage

uint32_t CircuitECC::ext() const {
  uint32_t o;
  std::memcpy(&o, payload_.data(), sizeof o);
  return o;
}

size_t CircuitECC::num_circuits() const {
  if (is_inline()) return (info_ & kHasFirst) ? 1 : 0;
  return info_;
}

CircTriple CircuitECC::circuit(const RawECCs& map, size_t i) const {
  check_index(num_circuits(), i);
  if (i == 0) return CircTriple{map.unrank(front0_), circ0_, map.unrank(back0_)};
  const uint32_t* t = map.record(ext()) + 1 + 2 * map.mask_words() + 2 * (i - 1);
  return CircTriple{map.unrank(uint8_t(t[1])), AliasList{t[0]}, map.unrank(uint8_t(t[1] >> 8))};
}

std::vector<CircTriple> CircuitECC::circuits(const RawECCs& map) const {
  std::vector<CircTriple> out;
  for (size_t i = 0; i < num_circuits(); ++i) out.push_back(circuit(map, i));
  return out;
}

size_t CircuitECC::size(const RawECCs& map) const { return num_circuits() == 0 ? 0 : map.arena().length(circ0_); }

std::vector<Instr32> CircuitECC::gates(const RawECCs& map, bool back) const {
  // The sets only ever grow by the mapped surface gates of an admitted member, in order, so their
  // insertion order is the ordered union of the members' mapped surface gates.
  auto in_set = [&](Instr32 g) {
    if (!map.universe_.contains(g)) return false;
    uint32_t u = map.universe_.index(g);
    if (is_inline()) {
      uint32_t nf = front_count(), nb = back_count();
      auto first = payload_.begin() + (back ? nf : 0);
      auto last = first + (back ? nb : nf);
      return std::find(first, last, uint8_t(u)) != last;
    }
    const uint32_t* masks = map.record(ext()) + 1 + (back ? map.mask_words() : 0);
    return ((masks[u / 32] >> (u % 32)) & 1) != 0;
  };
  std::vector<Instr32> out;
  std::vector<Instr32> instrs;
  for (size_t k = 0; k < num_circuits(); ++k) {
    CircTriple t = circuit(map, k);
    map.arena().materialize(t.circ, instrs);
    Permut32 relabel = back ? t.back_perm : t.front_perm.inv();
    for_each_surface_gate(instrs, back, [&](Instr32 i) {
      Instr32 g = i.apply_permutation(relabel);
      if (in_set(g) && std::find(out.begin(), out.end(), g) == out.end()) out.push_back(g);
    });
  }
  return out;
}

std::vector<Instr32> CircuitECC::front_gates(const RawECCs& map) const { return gates(map, false); }
std::vector<Instr32> CircuitECC::back_gates(const RawECCs& map) const { return gates(map, true); }

std::string CircuitECC::debug(const RawECCs& map) const {
  auto circs = std::views::iota(size_t(0), num_circuits()) |
               std::views::transform([&](size_t k) { return circuit(map, k).debug(map.arena()); });
  return fmt::format("CircuitECC {{ size: {}, front_gates: {{{}}}, back_gates: {{{}}}, circuits: [{}] }}", size(map),
                     fjoin(front_gates(map), ", "), fjoin(back_gates(map), ", "), fjoin(circs, ", "));
}

std::string CircuitECC::display(const RawECCs& map) const {
  auto circs = std::views::iota(size_t(0), num_circuits()) |
               std::views::transform([&](size_t k) { return circuit(map, k).display(map.arena()); });
  return fmt::format("CircuitECC {{{}}}", fjoin(circs, ", "));
}

ECC CircuitECC::simplify(const RawECCs& map) const {
  // Most classes hold one circuit: its two relabellings (into the class frame, then numbering its
  // qubits) are made one, applied in one pass over its cells.
  if (num_circuits() == 1) {
    const CircTriple t = circuit(map, 0);
    const Permut32 inv = t.front_perm.inv();
    CellBuffer buffer;
    // A list longer than the buffer takes the general way.
    if (const auto n = read_cells(map.arena(), t.circ, buffer)) {
      // A qubit past the permutation goes to 0 in both relabellings (0 is then used, and stays 0);
      // one of 8 or more stops when the instructions are relabelled, as it stops there.
      std::array<uint64_t, 4> used{};
      for (size_t k = 0; k < *n; ++k) {
        const Instr32 i = std::bit_cast<Instr32>(buffer[k]);
        for (uint8_t q : i.qargs.as_slice()) used[0] |= uint64_t(1) << inv.at_unchecked(q & 7);
      }
      const Permut32 uniform_inv = numbering_of_used(inv.len(), used), uniform = uniform_inv.inv();
      const Permut32 relabel = uniform * inv;
      ECC e;
      PermutedCircuit& p = e.circuits.emplace_back();
      p.instrs.resize(*n);
      for (size_t k = 0; k < *n; ++k)
        p.instrs[*n - 1 - k] = std::bit_cast<Instr32>(buffer[k]).apply_permutation(relabel);
      p.perm = uniform * (t.back_perm * t.front_perm) * uniform_inv;
      return e;
    }
  }
  std::vector<PermutedCircuit> pairs;
  pairs.reserve(num_circuits());
  for (size_t k = 0; k < num_circuits(); ++k) pairs.push_back(circuit(map, k).simplify(map.arena()));
  return ECC::from_circuits(std::move(pairs));
}

// ---------------------------------------------------------------------------------------------
// The map

// The empty circuit's evaluation comes first: it refuses evaluators beyond the search's range.
RawECCs::RawECCs(const Evaluator& evaluator) : RawECCs(evaluator.initial_key(), evaluator.nqubits(), nullptr) {}

RawECCs::RawECCs(const Evaluator& evaluator, std::shared_ptr<const RawECCs> source)
    : RawECCs(evaluator.initial_key(), evaluator.nqubits(), std::move(source)) {}

RawECCs::RawECCs(uint64_t root_key, size_t nqubits, std::shared_ptr<const RawECCs> source)
    : RawECCs(nqubits, std::move(source)) {
  Permut32 id = Permut32::identity(uint8_t(nqubits_));
  append_triple(*inner_.try_emplace(root_key).first, AliasList::nil(), rank(id), rank(id));
}

RawECCs::RawECCs(size_t nqubits, std::shared_ptr<const RawECCs> source)
    : nqubits_(nqubits), source_(std::move(source)), universe_(uint32_t(nqubits)) {
  if (nqubits > 5) panic("The class search supports evaluators of at most 5 qubits");
  // Ranks by the image bits of a permutation: Lehmer codes, in lexicographic order of the images.
  // All images but the last fix a permutation, so the table is by theirs (4 KiB at 5 qubits, where
  // all of them would take 32).
  rank_mask_ = nqubits > 1 ? (uint32_t(1) << (3 * (nqubits - 1))) - 1 : 0;
  rank_of_images_.assign(size_t(rank_mask_) + 1, 0);
  unranked_.resize(Permut32::all(uint8_t(nqubits)).size());
  for (Permut32 p : Permut32::all(uint8_t(nqubits))) {
    rank_of_images_[p.raw & rank_mask_] = uint8_t(p.lehmer_rank());
    unranked_[p.lehmer_rank()] = p;
  }
}

size_t RawECCs::num_circuits() const {
  size_t n = 0;
  for (const auto& [key, c] : inner_) n += c.num_circuits();
  return n;
}

size_t RawECCs::memory_bytes() const { return inner_.bytes() + pool_.capacity() * sizeof(uint32_t) + arena_.bytes(); }

void RawECCs::prepare(std::span<const Instr32> instrs) {
  // Stored sets are numbered over the placements known when they were made: new placements may
  // only come before any class holds surface gates.
  bool grows = std::any_of(instrs.begin(), instrs.end(), [&](Instr32 i) { return !universe_.contains(i); });
  if (grows)
    for (const auto& [key, c] : inner_)
      if (!c.is_inline() || c.front_count() + c.back_count() != 0)
        panic("the placements of a map cannot change once it holds surface gates");
  for (Instr32 i : instrs) universe_.add_gate_of(i);
  const uint32_t size = universe_.size();
  if (size > UINT16_MAX + 1u) panic("too many placements for the class search");
  size_t nperms = 1;
  for (size_t k = 2; k <= nqubits_; ++k) nperms *= k;
  relabelled_.resize(2 * nperms * size);
  for (size_t r = 0; r < nperms; ++r) {
    Permut32 p = unrank(uint8_t(r));
    for (uint32_t u = 0; u < size; ++u) {
      relabelled_[r * size + u] = uint16_t(universe_.index(universe_.instr(u).apply_permutation(p)));
      relabelled_[(nperms + r) * size + u] = uint16_t(universe_.index(universe_.instr(u).apply_permutation(p.inv())));
    }
  }
}

uint32_t RawECCs::alloc_record(uint32_t cap) {
  uint32_t log = uint32_t(std::countr_zero(cap));
  uint32_t words = record_words(cap);
  if (uint32_t head = free_records_[log]) {
    uint32_t offset = head - 1;
    free_records_[log] = pool_[offset + 1];
    pool_[offset] = cap;
    return offset;
  }
  if (pool_.size() + words > UINT32_MAX) panic("class pool is full");
  uint32_t offset = uint32_t(pool_.size());
  pool_.resize(pool_.size() + words, 0);
  pool_[offset] = cap;
  return offset;
}

void RawECCs::free_record(uint32_t offset) {
  uint32_t log = uint32_t(std::countr_zero(pool_[offset]));
  pool_[offset + 1] = free_records_[log];
  free_records_[log] = offset + 1;
}

void RawECCs::to_record(CircuitECC& c, uint32_t cap) {
  uint32_t w = mask_words();
  uint32_t offset = alloc_record(cap);
  uint32_t* r = pool_.data() + offset;
  std::fill(r + 1, r + record_words(cap), 0u);
  if (c.is_inline()) {
    uint32_t nf = c.front_count(), nb = c.back_count();
    for (uint32_t k = 0; k < nf + nb; ++k) {
      uint32_t u = c.payload_[k];
      r[1 + (k < nf ? 0 : w) + u / 32] |= 1u << (u % 32);
    }
    c.info_ = (c.info_ & CircuitECC::kHasFirst) ? 1 : 0;
  } else {
    uint32_t old = c.ext();
    const uint32_t* o = pool_.data() + old;
    uint32_t old_cap = o[0];
    std::copy(o + 1, o + record_words(old_cap), r + 1);
    free_record(old);
  }
  std::memcpy(c.payload_.data(), &offset, sizeof offset);
}

bool RawECCs::admits(const CircuitECC& c) const {
  if (c.is_inline()) {
    uint32_t nf = c.front_count(), nb = c.back_count();
    auto has = [&](const std::vector<uint32_t>& gates, size_t first, size_t count) {
      for (uint32_t u : gates)
        for (size_t k = first; k < first + count; ++k)
          if (c.payload_[k] == u) return true;
      return false;
    };
    return !has(front_scratch_, 0, nf) && !has(back_scratch_, nf, nb);
  }
  const uint32_t* masks = record(c.ext()) + 1;
  uint32_t w = mask_words();
  for (uint32_t u : front_scratch_)
    if ((masks[u / 32] >> (u % 32)) & 1) return false;
  for (uint32_t u : back_scratch_)
    if ((masks[w + u / 32] >> (u % 32)) & 1) return false;
  return true;
}

void RawECCs::add_gates(CircuitECC& c) {
  if (c.is_inline()) {
    uint32_t nf = c.front_count(), nb = c.back_count();
    size_t total = nf + nb + front_scratch_.size() + back_scratch_.size();
    if (total <= c.payload_.size() && universe_.size() <= 256) {
      // Put together in a register: bytes stored one by one and read back as a word would stall.
      uint64_t old;
      std::memcpy(&old, c.payload_.data(), sizeof old);
      auto low_bytes = [](uint64_t v, uint32_t n) { return n >= 8 ? v : v & ((uint64_t(1) << (8 * n)) - 1); };
      uint64_t p = low_bytes(old, nf);
      uint32_t k = nf;
      for (uint32_t u : front_scratch_) p |= uint64_t(uint8_t(u)) << (8 * k++);
      if (nb) p |= low_bytes(old >> (8 * nf), nb) << (8 * k);
      k += nb;
      for (uint32_t u : back_scratch_) p |= uint64_t(uint8_t(u)) << (8 * k++);
      std::memcpy(c.payload_.data(), &p, sizeof p);
      nf += uint32_t(front_scratch_.size());
      nb += uint32_t(back_scratch_.size());
      c.set_counts(nf, nb);
      return;
    }
    to_record(c, 1);
  }
  uint32_t* masks = pool_.data() + c.ext() + 1;
  uint32_t w = mask_words();
  for (uint32_t u : front_scratch_) masks[u / 32] |= 1u << (u % 32);
  for (uint32_t u : back_scratch_) masks[w + u / 32] |= 1u << (u % 32);
}

void RawECCs::append_triple(CircuitECC& c, AliasList list, uint8_t front, uint8_t back) {
  size_t n = c.num_circuits();
  if (n == 0) {
    c.circ0_ = list;
    c.front0_ = front;
    c.back0_ = back;
    if (c.is_inline())
      c.info_ |= CircuitECC::kHasFirst;
    else
      c.info_ = 1;
    return;
  }
  if (n >= 0x7FFF) panic("too many circuits in one class");
  if (c.is_inline()) {
    to_record(c, 1);
  } else if (pool_[c.ext()] < n) {  // n - 1 further circuits stored, room for cap
    to_record(c, pool_[c.ext()] * 2);
  }
  uint32_t* t = pool_.data() + c.ext() + 1 + 2 * mask_words() + 2 * (n - 1);
  t[0] = list.index;
  t[1] = uint32_t(front) | uint32_t(back) << 8;
  c.info_ = uint16_t(n + 1);
}

void RawECCs::refuse_if_sharing() const {
  // A new cell would be numbered in this map's arena but read through the source's.
  if (source_) [[unlikely]]
    panic("a map that shares another map's circuits cannot be extended");
}

std::optional<AliasList> RawECCs::add_entry(uint64_t key, Permut32 front_perm, Permut32 back_perm, AliasList circ,
                                            std::span<const Instr32> instr_vec) {
  refuse_if_sharing();
  if (instr_vec.empty()) panic("called `Option::unwrap()` on a `None` value");
  surface_front_.clear();
  surface_back_.clear();
  for_each_surface_gate(instr_vec, false, [&](Instr32 i) { surface_front_.push_back(universe_.index(i)); });
  for_each_surface_gate(instr_vec, true, [&](Instr32 i) { surface_back_.push_back(universe_.index(i)); });
  AliasList list =
      add_entry_with_surfaces(key, front_perm, back_perm, circ, instr_vec.back(), surface_front_, surface_back_);
  if (list.is_nil()) return std::nullopt;
  return list;
}

AliasList RawECCs::add_entry_with_surfaces(uint64_t key, Permut32 front_perm, Permut32 back_perm, AliasList circ,
                                           Instr32 last, std::span<const uint32_t> front_surface,
                                           std::span<const uint32_t> back_surface, uint32_t hint) {
  refuse_if_sharing();
  front_scratch_.clear();
  back_scratch_.clear();
  const uint8_t front_rank = rank(front_perm), back_rank = rank(back_perm);
  const uint32_t size = universe_.size();
  auto collect = [&](std::vector<uint32_t>& out, std::span<const uint32_t> gates, size_t row_number) {
    const uint16_t* row = relabelled_.data() + row_number * size;
    for (uint32_t g : gates) {
      check_index(size, g);
      uint32_t u = row[g];
      if (std::find(out.begin(), out.end(), u) == out.end()) out.push_back(u);
    }
  };
  // Front gates go into the class frame through the inverse of the front permutation, back gates
  // through the back permutation itself.
  collect(front_scratch_, front_surface, unranked_.size() + front_rank);
  collect(back_scratch_, back_surface, back_rank);

  auto [found, inserted] = inner_.try_emplace(key, hint);
  CircuitECC& c = *found;
  if (inserted) {
    AliasList list = arena_.cons(circ, last);
    append_triple(c, list, front_rank, back_rank);
    add_gates(c);
    return list;
  }
  if (!admits(c)) return AliasList::nil();
  add_gates(c);
  append_triple(c, arena_.cons(circ, last), front_rank, back_rank);
  return AliasList::nil();
}

void RawECCs::put_shared_class(uint64_t key, std::span<const CircTriple> triples) {
  if (!source_) panic("only a map that shares another map's circuits takes classes whole");
  CircuitECC& c = *inner_.try_emplace(key).first;
  if (!c.is_inline()) free_record(c.ext());
  c = CircuitECC{};
  for (const CircTriple& t : triples) append_triple(c, t.circ, rank(t.front_perm), rank(t.back_perm));
}

ECCs RawECCs::simplify() const {
  ECCs out;
  out.nqubits = uint32_t(nqubits_);
  out.eccs.reserve(inner_.size());
  interrupt::Ticker ticker(4096);
  // The heads for the sort are taken while each class is at hand. The classes' circuits are
  // placements of the search's gates, so these codes cover them (classes put in whole by a sharing
  // map may not be: those are sorted by codes of their own).
  const HeadCodes codes(universe_.instrs());
  std::vector<uint64_t> heads;
  heads.reserve(inner_.size());
  bool coded = true;
  for (const auto& [key, c] : inner_) {
    ticker.tick();
    ECC& e = out.eccs.emplace_back(c.simplify(*this));
    if (coded) {
      const auto head = codes.head(e.circuits[0].instrs);
      coded = head.has_value();
      heads.push_back(head.value_or(0));
    }
  }
  if (coded) {
    sort_eccs(out.eccs, std::move(heads));
  } else {
    heads = std::vector<uint64_t>();
    sort_eccs(out.eccs);
  }
  return out;
}

}  // namespace morvane
