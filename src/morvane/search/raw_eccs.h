#pragma once
// The raw class map of the circuit search (Python class RawECCs): a map from a 64-bit class key (the
// hash of a circuit's key state under one Evaluator) to the bucket of circuits found with that key,
// and the admission rule of further members. The searches that fill it are in search.h.
//
// Stored circuits are shared instruction lists whose cells come from the arena of the map whose
// search made them. Buckets are packed into 16 bytes: the first stored circuit sits in the bucket
// itself (its permutations as ranks), and so do the surface-gate sets of a one-circuit bucket, as
// numbers of the search's instruction placements; larger buckets keep their sets as bit masks and
// their further circuits in a record of the map's pool.
//
// A map that shares another map's cells reads them through that map's arena, so it takes classes
// only whole (put_shared_class) and add_entry stops on it. simplify builds each class with
// ECC::from_circuits, except a class of one circuit (most of them), whose two relabellings are
// made one and applied in one pass over its cells. It takes each class's head as it goes (the
// first circuit's first instructions as HeadCodes digits, from codes of the search's placements)
// and sorts the classes by them (sort_eccs); when a class's head has no such code, as a sharing
// map's classes may not, the collection is sorted by codes of its own first circuits.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "morvane/circ/instr.h"
#include "morvane/circ/instr_list.h"
#include "morvane/core/huge_pages.h"
#include "morvane/core/permut.h"
#include "morvane/core/record_map64.h"
#include "morvane/search/ecc.h"
#include "morvane/search/placements.h"

namespace morvane {

class Evaluator;
class RawECCs;

/// One stored circuit: the pair of permutations under which it was recorded and its list (the last
/// instruction at the head).
struct CircTriple {
  Permut32 front_perm;
  AliasList circ;
  Permut32 back_perm;

  /// The normal form: the instructions in execution order, each relabelled through the inverse of
  /// `front_perm`, and the permutation back_perm * front_perm.
  PermutedCircuit simplify(const AliasArena& arena) const;
  /// "<front_perm> <instructions as stored, in execution order> <back_perm>"
  std::string debug(const AliasArena& arena) const;
  /// "<normal-form instructions> <normal-form permutation>"
  std::string display(const AliasArena& arena) const;

  friend bool operator==(const CircTriple&, const CircTriple&) = default;
};

/// The instructions relabelled through the inverse of `perm`, in display form, joined by `sep`.
std::string join_relabelled(std::span<const Instr32> instrs, Permut32 perm, std::string_view sep);

/// One raw class: the circuits found with one key, in admission order (the first one opened the
/// class and is a shortest member), with the front and back surface gates of every member relabelled
/// into the class frame. Read through the map that holds it.
class CircuitECC {
 public:
  size_t num_circuits() const;
  CircTriple circuit(const RawECCs& map, size_t i) const;
  std::vector<CircTriple> circuits(const RawECCs& map) const;
  /// The length of the circuit that opened the class.
  size_t size(const RawECCs& map) const;
  /// The surface-gate sets, in insertion order.
  std::vector<Instr32> front_gates(const RawECCs& map) const;
  std::vector<Instr32> back_gates(const RawECCs& map) const;

  /// The simplified class: normal forms sorted by (length, instructions, permutation), qubits
  /// renumbered from the first circuit.
  ECC simplify(const RawECCs& map) const;
  /// "CircuitECC { size: .., front_gates: {..}, back_gates: {..}, circuits: [..] }"
  std::string debug(const RawECCs& map) const;
  /// "CircuitECC {<triples' display forms joined by ", ">}"
  std::string display(const RawECCs& map) const;

 private:
  friend class RawECCs;
  static constexpr uint16_t kInline = 0x8000;
  static constexpr uint16_t kHasFirst = 0x0100;
  bool is_inline() const { return info_ & kInline; }
  // Inline: the numbers of front and back surface gates in the payload.
  uint32_t front_count() const { return info_ & 0xF; }
  uint32_t back_count() const { return (info_ >> 4) & 0xF; }
  void set_counts(uint32_t front, uint32_t back) { info_ = uint16_t((info_ & ~0xFFu) | front | (back << 4)); }
  uint32_t ext() const;
  std::vector<Instr32> gates(const RawECCs& map, bool back) const;

  AliasList circ0_;
  uint8_t front0_ = 0, back0_ = 0;  // ranks of the first circuit's permutations
  // Inline: kInline | kHasFirst when the first circuit is there | front count | back count << 4;
  // otherwise the number of circuits.
  uint16_t info_ = kInline;
  // Inline: the front then the back surface gates as placement numbers; otherwise the offset of the
  // class's pool record.
  std::array<uint8_t, 8> payload_{};
};
static_assert(sizeof(CircuitECC) == 16);

class RawECCs {
 public:
  /// Keyed by the class key itself; iterates in the order the classes were opened.
  using Map = RecordMap64<CircuitECC>;

  /// The map of the empty circuit alone, keyed by the evaluator; owns no cells.
  explicit RawECCs(const Evaluator& evaluator);
  /// A map with no class that reads the cells of `source`, keeping it alive. Such a sharing map
  /// reads every cell through the source's arena, so it never makes cells of its own: `add_entry`
  /// stops on it, and its classes are put in whole by `put_shared_class`.
  RawECCs(size_t nqubits, std::shared_ptr<const RawECCs> source);
  /// The map of the empty circuit alone, keyed by the evaluator, sharing the cells of `source`.
  RawECCs(const Evaluator& evaluator, std::shared_ptr<const RawECCs> source);
  RawECCs(RawECCs&&) noexcept = default;
  RawECCs& operator=(RawECCs&&) noexcept = default;

  /// Makes the placements of the instructions' gates known to the surface-gate sets; every
  /// instruction that `add_entry` meets must be a placement of one of them.
  void prepare(std::span<const Instr32> instrs);
  /// Records `instr_vec` (the parent's list extended by its last instruction) under `key` with the
  /// pair (front, back): opens a new class and returns its list, or joins the existing class when its
  /// mapped surface gates are all new there (returns nothing either way). Stops on a sharing map,
  /// before changing anything.
  std::optional<AliasList> add_entry(uint64_t key, Permut32 front_perm, Permut32 back_perm, AliasList circ,
                                     std::span<const Instr32> instr_vec);

  /// add_entry with the surface gates of `instr_vec` (its last instruction `last`) given, unmapped,
  /// as placement numbers in visiting order: front ones from the start, back ones from the end.
  /// The list of a new class, or the empty list when the circuit opened none (a new class's list is
  /// never empty): a plain word to return, where an optional would go through memory.
  /// `hint`: what prefetch_record returned for the key, if anything (saves a look into the index).
  AliasList add_entry_with_surfaces(uint64_t key, Permut32 front_perm, Permut32 back_perm, AliasList circ, Instr32 last,
                                    std::span<const uint32_t> front_surface, std::span<const uint32_t> back_surface,
                                    uint32_t hint = Map::kNoHint);
  /// Puts the class of `triples` (in this order) under `key`, in place of any class there, with
  /// empty surface-gate sets. A sharing map only: the lists are cells of the map it shares.
  void put_shared_class(uint64_t key, std::span<const CircTriple> triples);

  /// The number of a placement known to the map (prepare); stops for any other instruction.
  uint32_t placement(Instr32 instr) const { return universe_.index(instr); }

  ECCs simplify() const;

  const Map& inner() const { return inner_; }
  const CircuitECC* find(uint64_t key) const { return inner_.find(key); }
  size_t nqubits() const { return nqubits_; }
  bool drop() const { return drop_; }
  /// The arena holding the cells of this map's circuits (its own, or the one of the map it shares).
  const AliasArena& arena() const { return source_ ? source_->arena() : arena_; }
  const std::shared_ptr<const RawECCs>& source() const { return source_; }
  /// The number of stored circuits over all classes.
  size_t num_circuits() const;
  /// Bytes held by the table, the pool and the arena.
  size_t memory_bytes() const;

  /// Makes room for `classes` classes in the index, so that it does not grow while they open.
  void reserve(size_t classes) { inner_.reserve(classes); }
  /// Loads the index slots a lookup of `key` reads into the cache, ahead of the lookup.
  void prefetch(uint64_t key) const { inner_.prefetch(key); }
  /// Loads the class record a lookup of `key` reads (after prefetch).
  /// Returns a hint for add_entry_with_surfaces.
  uint32_t prefetch_record(uint64_t key) const { return inner_.prefetch_record(key); }
  /// Sets the `drop` flag: the search that filled the map finished, so it owns its circuits' cells.
  void set_drop() { drop_ = true; }

 private:
  friend class CircuitECC;
  /// The map of the empty circuit's class under `root_key`.
  RawECCs(uint64_t root_key, size_t nqubits, std::shared_ptr<const RawECCs> source);
  uint8_t rank(Permut32 p) const {
    MORVANE_ASSERT(p.len() == nqubits_);
    return rank_of_images_[p.raw & rank_mask_];
  }
  Permut32 unrank(uint8_t r) const;
  uint32_t mask_words() const { return (universe_.size() + 31) / 32; }
  const uint32_t* record(uint32_t offset) const { return pool_.data() + offset; }
  uint32_t record_words(uint32_t cap) const { return 1 + 2 * mask_words() + 2 * cap; }
  uint32_t alloc_record(uint32_t cap);
  void free_record(uint32_t offset);
  void refuse_if_sharing() const;
  bool admits(const CircuitECC& c) const;
  void add_gates(CircuitECC& c);
  /// With the ranks of the triple's permutations.
  void append_triple(CircuitECC& c, AliasList list, uint8_t front, uint8_t back);
  void to_record(CircuitECC& c, uint32_t cap);

  Map inner_;
  size_t nqubits_ = 0;
  bool drop_ = false;
  std::shared_ptr<const RawECCs> source_;
  AliasArena arena_;
  InstrUniverse universe_;
  std::vector<uint32_t> pool_;
  std::array<uint32_t, 32> free_records_{};  // by log2 of the capacity: offset + 1 of a free record
  // Scratch of add_entry: the mapped surface gates of the circuit being recorded.
  std::vector<uint32_t> front_scratch_, back_scratch_;
  std::vector<uint32_t> surface_front_, surface_back_;
  // relabelled_[r * universe size + u]: placement u relabelled through the permutation of rank r;
  // the rows after the first (number of permutations) through the inverse of that permutation.
  std::vector<uint16_t> relabelled_;
  std::vector<uint8_t> rank_of_images_;  // by the image bits of a permutation under rank_mask_
  uint32_t rank_mask_ = 0;
  std::vector<Permut32> unranked_;  // by rank
};

}  // namespace morvane
