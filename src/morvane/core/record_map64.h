#pragma once
// A map from a 64-bit key that is already a hash (it serves as its own hash) to a value, built for
// millions of small entries. The records (key, value) live in insertion order in blocks that never
// move; the hash index holds only 4-byte record numbers and finds a key through the record it
// names. A record costs its own size plus a few bytes of index, instead of a whole table slot at
// the index's load factor. Records are never removed.
//
// Blocks are fresh pages mapped whole and made resident only as records are appended, so a block
// costs what its records fill; every block after the first (a map of more than half a million
// records, whose last huge page then adds little per record) sits on huge pages, where lookups of
// records spread over many megabytes miss the TLB far less often.

#include <absl/container/flat_hash_set.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "morvane/core/huge_pages.h"
#include "morvane/core/panic.h"

namespace morvane {

template <typename V, template <typename> class Alloc = std::allocator>
class RecordMap64 {
 public:
  using Record = std::pair<uint64_t, V>;
  /// Records per block.
  static constexpr uint32_t kBlockBits = 19;
  static constexpr uint32_t kBlockSize = 1u << kBlockBits;

 private:
  static constexpr size_t kHugePage = size_t(2) << 20;
  static constexpr size_t kBlockBytes = (kBlockSize * sizeof(Record) + kHugePage - 1) / kHugePage * kHugePage;

  struct Store {
    std::vector<Record*> blocks;
    uint32_t size = 0;

    Store() = default;
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;
    ~Store() {
      for (uint32_t i = 0; i < size; ++i) at(i).~Record();
      for (Record* b : blocks) unmap_pages(b, kBlockBytes);
    }
    Record& at(uint32_t i) { return blocks[i >> kBlockBits][i & (kBlockSize - 1)]; }
    const Record& at(uint32_t i) const { return blocks[i >> kBlockBits][i & (kBlockSize - 1)]; }
    /// Bytes of pages the records can have touched: the full blocks, and the last one up to the
    /// page of its last record.
    size_t bytes() const {
      if (size == 0) return blocks.size() * kBlockBytes;
      const size_t last = size_t((size - 1) >> kBlockBits);
      const size_t page = last == 0 ? 4096 : kHugePage;
      const size_t used = size_t((size - 1) & (kBlockSize - 1)) * sizeof(Record) + sizeof(Record);
      return last * kBlockBytes + (used + page - 1) / page * page;
    }
  };
  struct Key {
    uint64_t v;
  };
  // A prefetch the compiler keeps: a probe whose only effect is __builtin_prefetch and whose result
  // is unused counts as dead code to it, and goes away with its prefetches.
  static void prefetch_line(const char* p) {
#if defined(__x86_64__) || defined(__i386__)
    asm volatile("prefetcht0 %0" : : "m"(*p));
#else
    __builtin_prefetch(p);
    asm volatile("" : : "r"(p) : "memory");
#endif
  }
  // A lookup that matches nothing and prefetches the record of every slot it would compare.
  struct PrefetchKey {
    uint64_t v;
  };
  // The index hashes a record number by its record's key and a looked-up key by itself, so both
  // land on the same probe sequence.
  struct Hash {
    using is_transparent = void;
    const Store* store;
    size_t operator()(uint32_t i) const { return store->at(i).first; }
    size_t operator()(Key k) const { return k.v; }
    size_t operator()(PrefetchKey k) const { return k.v; }
  };
  struct Eq {
    using is_transparent = void;
    const Store* store;
    bool operator()(uint32_t a, uint32_t b) const { return a == b; }
    bool operator()(Key k, uint32_t i) const { return store->at(i).first == k.v; }
    bool operator()(uint32_t i, Key k) const { return store->at(i).first == k.v; }
    bool operator()(PrefetchKey, uint32_t i) const {
      // Both cache lines of a record that straddles a line boundary.
      const char* r = reinterpret_cast<const char*>(&store->at(i));
      prefetch_line(r);
      prefetch_line(r + sizeof(Record) - 1);
      return false;
    }
    bool operator()(uint32_t i, PrefetchKey k) const { return (*this)(k, i); }
  };
  using Index = absl::flat_hash_set<uint32_t, Hash, Eq, Alloc<uint32_t>>;

 public:
  RecordMap64() : store_(std::make_unique<Store>()), index_(0, Hash{store_.get()}, Eq{store_.get()}) {}
  RecordMap64(RecordMap64&&) noexcept = default;
  RecordMap64& operator=(RecordMap64&&) noexcept = default;

  size_t size() const { return store_->size; }
  bool empty() const { return size() == 0; }

  V* find(uint64_t key) {
    auto it = index_.find(Key{key});
    return it == index_.end() ? nullptr : &store_->at(*it).second;
  }
  const V* find(uint64_t key) const {
    auto it = index_.find(Key{key});
    return it == index_.end() ? nullptr : &store_->at(*it).second;
  }
  /// The value under `key`, default-constructed and appended when new; true when it was new.
  std::pair<V*, bool> try_emplace(uint64_t key) {
    bool inserted = false;
    auto it = index_.lazy_emplace(Key{key}, [&](const auto& ctor) {
      ctor(append(key));
      inserted = true;
    });
    return {&store_->at(*it).second, inserted};
  }
  /// Makes room in the index for `n` records without growing on the way; the records' order is
  /// untouched.
  void reserve(size_t n) { index_.reserve(n); }
  /// Brings the index slots where `key` would be found towards the cache.
  void prefetch(uint64_t key) const { index_.prefetch(Key{key}); }
  /// Brings the record of `key` towards the cache, once its index slots are there (after
  /// prefetch): probes the index without reading any record.
  void prefetch_record(uint64_t key) const { index_.find(PrefetchKey{key}); }

  /// Bytes held by the index and the record blocks.
  size_t bytes() const {
    return index_.capacity() * (sizeof(uint32_t) + 1) + store_->bytes();
  }

  /// Iteration over the records in insertion order (a forward iterator, so that a map is a range).
  template <bool Const>
  class Iterator {
   public:
    using StoreRef = std::conditional_t<Const, const Store*, Store*>;
    using reference = std::conditional_t<Const, const Record&, Record&>;
    using value_type = Record;
    using difference_type = std::ptrdiff_t;
    using iterator_concept = std::forward_iterator_tag;
    Iterator() = default;
    Iterator(StoreRef store, uint32_t at) : store_(store), at_(at) {}
    reference operator*() const { return store_->at(at_); }
    auto* operator->() const { return &store_->at(at_); }
    Iterator& operator++() {
      ++at_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator old = *this;
      ++at_;
      return old;
    }
    bool operator==(const Iterator& o) const { return at_ == o.at_; }

   private:
    StoreRef store_ = nullptr;
    uint32_t at_ = 0;
  };
  Iterator<true> begin() const { return {store_.get(), 0}; }
  Iterator<true> end() const { return {store_.get(), store_->size}; }
  Iterator<false> begin() { return {store_.get(), 0}; }
  Iterator<false> end() { return {store_.get(), store_->size}; }

 private:
  uint32_t append(uint64_t key) {
    Store& s = *store_;
    if (s.size == UINT32_MAX) panic("RecordMap64 is full");
    if (s.size % kBlockSize == 0) {
      s.blocks.reserve(s.blocks.size() + 1);
      s.blocks.push_back(static_cast<Record*>(map_pages(kBlockBytes, !s.blocks.empty())));
    }
    const uint32_t i = s.size;
    new (&s.at(i)) Record(key, V{});
    ++s.size;
    return i;
  }

  std::unique_ptr<Store> store_;  // on the heap: the index's functors point at it across moves
  Index index_;
};

}  // namespace morvane
