#pragma once
// A compact set of identity circuits for millions of members that are only ever added: each
// member is stored once, as 32-bit words, in an append-only arena, and the hash index holds only
// an 8-byte reference to it. A member of L instructions costs 16 bytes and 2L (rounded up to a
// word) in the arena, and one index slot (9 bytes at the index's load factor), with no heap block
// of its own.
//
// A member's words: its hash_value (low word first), its instruction count, its permutation's raw
// word, then its instructions. These are two to a word, each in its half-word form (the gate
// number times 128, plus the two qubit slots as a pair of base-9 digits, 8 for an empty slot; the
// first instruction in the low half, a last half left zero), unless one of them has none (a gate
// number of 512 or more, or a qubit byte from 8 to 254, as data read from a file may have): then
// every instruction is its Instr32 as a whole word, and the count word has its top bit set. The
// form follows from the instructions alone, so equal members have equal words.
//
// Chunks of the arena never move, so a member's words stay where they are for the set's lifetime,
// and iteration walks the chunks in order: members come in insertion order. Chunks start at 4 KiB
// and double up to 1 MiB; a member longer than that gets a chunk of its own size.
//
// The index's hasher and equality read the arena: the hash of a stored member is its stored word
// pair (a rehash computes no SipHash), and a lookup with a known hash (HashedIdentity) hashes
// nothing and allocates nothing. The index is cut into shards by the hash's top bits, so that
// insert_all can fill them side by side on the worker pool; the members' order is the arena's
// alone.

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include <absl/container/flat_hash_set.h>

#include "morvane/circ/instr.h"
#include "morvane/core/permut.h"
#include "morvane/identity/identity_circ.h"

namespace morvane {

/// An identity with its hash_value computed already, to look up without hashing again.
struct HashedIdentity {
  const IdentityCirc& id;
  uint64_t hash;
};

// Instructions in whole words are their object representation, compared with memcmp.
static_assert(sizeof(Instr32) == 4 && std::is_trivially_copyable_v<Instr32> &&
              std::has_unique_object_representations_v<Instr32>);

/// A member of a PackedIdentitySet read in place: valid while the set that holds it lives.
class IdentityView {
 public:
  static constexpr size_t kHeaderWords = 4;
  /// The count word's bit for instructions in whole words.
  static constexpr uint32_t kWholeWords = uint32_t(1) << 31;

  explicit IdentityView(const uint32_t* words) : words_(words) {}

  uint64_t hash() const { return uint64_t(words_[0]) | (uint64_t(words_[1]) << 32); }
  size_t len() const { return words_[2] & ~kWholeWords; }
  Permut32 perm() const { return Permut32::from_raw(words_[3]); }
  Instr32 instr(size_t k) const {
    if (whole_words()) return std::bit_cast<Instr32>(words_[kHeaderWords + k]);
    return from_half(uint16_t(words_[kHeaderWords + k / 2] >> (16 * (k % 2))));
  }
  /// The words the member takes in the arena.
  size_t words() const { return kHeaderWords + instr_words(len(), whole_words()); }

  /// Whether this member is the circuit `c` (its hash not looked at).
  bool same_circ(const Circ& c) const {
    if (len() != c.instrs.size() || words_[3] != c.perm.raw) return false;
    if (whole_words()) return std::memcmp(words_ + kHeaderWords, c.instrs.data(), 4 * c.instrs.size()) == 0;
    // c's instructions put in half-word form, a word at a time (none can have another form); the
    // zero half after an odd count is that of gate 0 on qubit bytes 0 and 0.
    const size_t n = c.instrs.size();
    constexpr Instr32 kZeroHalf{Gate16(0), QArgs16{{0, 0}}};
    for (size_t k = 0; k < n; k += 2) {
      const Instr32 low = c.instrs[k], high = k + 1 < n ? c.instrs[k + 1] : kZeroHalf;
      if (!has_half(low) || !has_half(high) ||
          (to_half(low) | uint32_t(to_half(high)) << 16) != words_[kHeaderWords + k / 2])
        return false;
    }
    return true;
  }
  IdentityCirc to_identity() const;

  friend bool operator==(IdentityView a, IdentityView b) {
    if (a.words_ == b.words_) return true;
    // The headers first: the instructions are compared only when the counts and forms agree.
    return std::memcmp(a.words_, b.words_, 4 * kHeaderWords) == 0 &&
           std::memcmp(a.words_ + kHeaderWords, b.words_ + kHeaderWords, 4 * (a.words() - kHeaderWords)) == 0;
  }

  /// The words of `len` instructions, in whole words or in half-word form.
  static size_t instr_words(size_t len, bool whole) { return whole ? len : (len + 1) / 2; }
  static bool has_half(Instr32 i) {
    auto slot = [](uint8_t b) { return b < 8 || b == QArgs16::kEmpty; };
    return i.gate.index < 512 && slot(i.qargs.bytes[0]) && slot(i.qargs.bytes[1]);
  }
  static uint16_t to_half(Instr32 i) {
    auto digit = [](uint8_t b) { return b == QArgs16::kEmpty ? 8 : b; };
    return uint16_t((i.gate.index << 7) | (digit(i.qargs.bytes[0]) * 9 + digit(i.qargs.bytes[1])));
  }
  static Instr32 from_half(uint16_t h) {
    auto byte = [](unsigned d) { return d == 8 ? QArgs16::kEmpty : uint8_t(d); };
    Instr32 i{Gate16(uint16_t(h >> 7)), QArgs16{}};
    i.qargs.bytes = {byte((h & 127) / 9), byte((h & 127) % 9)};
    return i;
  }

 private:
  friend class PackedIdentitySet;
  friend class SharedMemberIndex;
  bool whole_words() const { return words_[2] & kWholeWords; }

  const uint32_t* words_;
};

class PackedIdentitySet {
  struct Chunk {
    std::unique_ptr<uint32_t[]> words;
    size_t capacity = 0;
    size_t used = 0;
  };
  /// The chunks, behind a pointer of their own so that the index's hasher and equality, which
  /// hold it, stay right when the set moves.
  struct Arena {
    std::vector<Chunk> chunks;
    IdentityView view(uint64_t ref) const { return IdentityView(chunks[ref >> 32].words.get() + uint32_t(ref)); }
  };
  struct Ref {
    uint64_t word;  // chunk number << 32 | offset in words
  };
  struct Hash {
    using is_transparent = void;
    const Arena* arena;
    size_t operator()(Ref r) const { return arena->view(r.word).hash(); }
    size_t operator()(IdentityView v) const { return v.hash(); }
    size_t operator()(const IdentityCirc& id) const { return id.hash_value(); }
    size_t operator()(HashedIdentity h) const { return h.hash; }
  };
  struct Eq {
    using is_transparent = void;
    const Arena* arena;
    bool operator()(Ref a, Ref b) const { return a.word == b.word || arena->view(a.word) == arena->view(b.word); }
    bool operator()(Ref a, IdentityView v) const { return arena->view(a.word) == v; }
    bool operator()(Ref a, const IdentityCirc& id) const { return arena->view(a.word).same_circ(id.circ); }
    bool operator()(Ref a, HashedIdentity h) const {
      const IdentityView v = arena->view(a.word);
      return v.hash() == h.hash && v.same_circ(h.id.circ);
    }
    template <typename K>
    bool operator()(const K& k, Ref a) const {
      return (*this)(a, k);
    }
  };
  using Index = absl::flat_hash_set<Ref, Hash, Eq>;

 public:
  using value_type = IdentityCirc;
  /// The first chunk's words (4 KiB) and those of every chunk once doubled up to 1 MiB.
  static constexpr size_t kFirstChunkWords = size_t(1) << 10;
  static constexpr size_t kChunkWords = size_t(1) << 18;

  PackedIdentitySet();
  PackedIdentitySet(const PackedIdentitySet& other);
  PackedIdentitySet(PackedIdentitySet&& other) noexcept
      : arena_(std::move(other.arena_)),
        index_(std::move(other.index_)),
        size_(std::exchange(other.size_, 0)),
        last_(other.last_) {}
  PackedIdentitySet& operator=(const PackedIdentitySet& other);
  PackedIdentitySet& operator=(PackedIdentitySet&& other) noexcept {
    arena_ = std::move(other.arena_);
    index_ = std::move(other.index_);
    size_ = std::exchange(other.size_, 0);
    last_ = other.last_;
    return *this;
  }
  ~PackedIdentitySet() = default;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  /// Room in the index for `n` members (the arena grows as members arrive).
  void reserve(size_t n);

  bool contains(const IdentityCirc& id) const { return !empty() && contains(HashedIdentity{id, id.hash_value()}); }
  bool contains(HashedIdentity id) const { return !empty() && index_[shard_of(id.hash)].contains(id); }
  bool contains(IdentityView v) const { return !empty() && index_[shard_of(v.hash())].contains(v); }

  /// Adds `id` (whose hash_value is `id.hash`) unless it is a member; returns whether it was new.
  bool insert(HashedIdentity id);
  bool insert(const IdentityCirc& id) { return insert(HashedIdentity{id, id.hash_value()}); }
  /// Adds a member of another set, copied as it is stored; returns whether it was new.
  bool insert(IdentityView v);
  /// The member added last, as stored. Only for a set with members.
  IdentityView back() const { return arena_->view(last_); }
  /// Adds every member of `other`, in its order; a large `other` is looked up and indexed on the
  /// worker pool. Out of memory, the set is left as it was.
  void insert_all(const PackedIdentitySet& other);

  /// Members in insertion order, each as an IdentityCirc made on access (`view()` reads it in place).
  class const_iterator {
   public:
    using value_type = IdentityCirc;
    using difference_type = std::ptrdiff_t;
    using reference = IdentityCirc;
    using pointer = void;
    using iterator_category = std::input_iterator_tag;

    const_iterator() = default;
    IdentityView view() const { return IdentityView(arena_->chunks[chunk_].words.get() + offset_); }
    IdentityCirc operator*() const { return view().to_identity(); }
    const_iterator& operator++() {
      offset_ += view().words();
      skip_finished_chunks();
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) {
      return a.chunk_ == b.chunk_ && a.offset_ == b.offset_;
    }

   private:
    friend class PackedIdentitySet;
    const_iterator(const Arena* arena, size_t chunk) : arena_(arena), chunk_(chunk) { skip_finished_chunks(); }
    void skip_finished_chunks() {
      while (chunk_ < arena_->chunks.size() && offset_ == arena_->chunks[chunk_].used) {
        ++chunk_;
        offset_ = 0;
      }
    }

    const Arena* arena_ = nullptr;
    size_t chunk_ = 0;
    size_t offset_ = 0;
  };
  using iterator = const_iterator;

  const_iterator begin() const;
  const_iterator end() const;

  /// The same members, in any order.
  friend bool operator==(const PackedIdentitySet& a, const PackedIdentitySet& b);

 private:
  /// Room for `n` words at the end of the arena, in a new chunk when the last one lacks it; the
  /// words count only once committed (chunks' `used`).
  uint32_t* room(size_t n, uint64_t& ref);
  /// Adds the member whose `n` words `fill` writes, unless one equal to `key` is there; returns
  /// whether it was new.
  template <typename Key, typename Fill>
  bool add(const Key& key, size_t n, Fill&& fill);
  /// Empty index shards bound to the arena.
  void bind_index();
  /// A new arena and index for a moved-from set that takes members again.
  void take_members_again();

  static constexpr size_t kShards = 16;
  static size_t shard_of(uint64_t hash) { return hash >> 60; }
  /// insert_all of fewer members runs on the calling thread alone.
  static constexpr size_t kParallelInsertAll = 1024;

  std::unique_ptr<Arena> arena_;
  std::array<Index, kShards> index_;
  size_t size_ = 0;
  uint64_t last_ = 0;  // the reference of the member added last
};

/// An index of members of PackedIdentitySets that one thread publishes while other threads look
/// them up: a fixed table of slots (a member's hash and its words, probed linearly), written with
/// release and read with acquire, so a reader that finds a member reads its words whole. Members
/// must stay where they are (their set neither dropped nor cleared) until `clear`. Publishing stops
/// at half the slots: the index may then lack members published later, which a reader counts as
/// absent.
class SharedMemberIndex {
 public:
  /// A table of 2^`log2_slots` slots.
  explicit SharedMemberIndex(unsigned log2_slots);

  /// The members published; read by the publishing thread.
  size_t size() const { return taken_.size(); }

  /// Adds a member that is not in the index yet, unless half the slots are taken. Publishing thread only.
  void publish(IdentityView member);
  /// Whether `id` (whose hash_value is `id.hash`) was published. Any thread.
  bool contains(HashedIdentity id) const;
  /// Empties the index. Publishing thread only, while no other thread reads it.
  void clear();

 private:
  struct Slot {
    std::atomic<uint64_t> hash{0};
    std::atomic<const uint32_t*> words{nullptr};  // null: the slot is free
  };
  std::unique_ptr<Slot[]> slots_;
  size_t mask_;
  std::vector<uint32_t> taken_;  // the slots published, for clear
};

}  // namespace morvane
