#pragma once
// Shared lists of 4-byte values (instructions, in the search). A list is a 32-bit index of its head
// cell in an arena (0 is the empty list); a cell holds one value and the index of the list that
// follows it. A new list is one
// new cell in front of an existing list, so the lists made from one empty list form a tree whose
// root side holds the oldest value, and reading a list from its head yields the newest value
// first.
//
// Cells are immutable once made and never freed one by one: they live as long as the arena, which
// belongs to the collection whose search made them. A collection that shares another's cells must
// keep that owner alive for as long as it reads them. Reading cells from several threads at once is
// safe as long as no thread adds cells.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "morvane/core/panic.h"

namespace morvane {

struct AliasList {
  uint32_t index = 0;

  static constexpr AliasList nil() { return AliasList{}; }
  bool is_nil() const { return index == 0; }
  friend bool operator==(AliasList, AliasList) = default;
};

/// A value a list cell can hold: 4 bytes, copied bit for bit.
template <typename T>
concept AliasValue = sizeof(T) == 4 && std::is_trivially_copyable_v<T>;

/// One cell: the 4 bytes of a value and the 4-byte index of the tail.
template <AliasValue T>
struct BasicAliasCell {
  uint32_t head_raw;
  uint32_t tail;

  T head() const { return std::bit_cast<T>(head_raw); }
};
static_assert(sizeof(BasicAliasCell<uint32_t>) == 8);

template <AliasValue T>
class BasicAliasArena {
 public:
  /// Cells per block; blocks are allocated whole and never move.
  static constexpr uint32_t kBlockBits = 16;
  static constexpr uint32_t kBlockSize = 1u << kBlockBits;

  BasicAliasArena() = default;
  BasicAliasArena(const BasicAliasArena&) = delete;
  BasicAliasArena& operator=(const BasicAliasArena&) = delete;
  BasicAliasArena(BasicAliasArena&&) noexcept = default;
  BasicAliasArena& operator=(BasicAliasArena&&) noexcept = default;

  /// The list `head` followed by `tail`; `tail` itself stays valid and unchanged.
  AliasList cons(AliasList tail, T head) {
    if (next_ % kBlockSize == 0 || blocks_.empty()) grow();
    uint32_t index = next_++;
    Cell& c = blocks_[index >> kBlockBits][index & (kBlockSize - 1)];
    c.head_raw = std::bit_cast<uint32_t>(head);
    c.tail = tail.index;
    return AliasList{index};
  }

  using Cell = BasicAliasCell<T>;

  const Cell& cell(AliasList list) const { return blocks_[list.index >> kBlockBits][list.index & (kBlockSize - 1)]; }

  /// Forward iteration from the head: the newest instruction first.
  class Iterator {
   public:
    Iterator(const BasicAliasArena* arena, AliasList at) : arena_(arena), at_(at) {}
    T operator*() const { return arena_->cell(at_).head(); }
    Iterator& operator++() {
      at_ = AliasList{arena_->cell(at_).tail};
      return *this;
    }
    bool operator==(const Iterator& o) const { return at_ == o.at_; }

   private:
    const BasicAliasArena* arena_;
    AliasList at_;
  };
  struct Range {
    const BasicAliasArena* arena;
    AliasList list;
    Iterator begin() const { return Iterator(arena, list); }
    Iterator end() const { return Iterator(arena, AliasList::nil()); }
  };
  Range iter(AliasList list) const { return Range{this, list}; }

  size_t length(AliasList list) const {
    size_t n = 0;
    for (; !list.is_nil(); list = AliasList{cell(list).tail}) ++n;
    return n;
  }
  /// Replaces `out` with the list's values oldest first (instructions in execution order).
  void materialize(AliasList list, std::vector<T>& out) const {
    out.clear();
    for (T v : iter(list)) out.push_back(v);
    std::reverse(out.begin(), out.end());
  }
  std::vector<T> to_vec(AliasList list) const {
    std::vector<T> out;
    materialize(list, out);
    return out;
  }

  /// Cells made so far.
  size_t cells() const { return next_ == 0 ? 0 : next_ - 1; }
  /// Bytes held by the blocks.
  size_t bytes() const { return blocks_.size() * kBlockSize * sizeof(Cell); }

 private:
  void grow() {
    if (blocks_.size() >= (size_t(1) << (32 - kBlockBits))) panic("AliasList arena is full");
    blocks_.push_back(std::make_unique_for_overwrite<Cell[]>(kBlockSize));
    if (next_ == 0) next_ = 1;  // index 0 is the empty list
  }

  std::vector<std::unique_ptr<Cell[]>> blocks_;
  uint32_t next_ = 0;
};

}  // namespace morvane
