#pragma once
// A map from a 64-bit key that is already a hash to a value, built for millions of small entries.
// The records (key, value) live in insertion order in blocks that never move; the hash index holds
// only 4-byte record numbers and finds a key through the record it names. A record costs its own
// size plus a few bytes of index, instead of a whole table slot at the index's load factor.
// Records are never removed.
//
// The index is an array of buckets of one cache line each: the numbers of up to 12 records with a
// tag byte of each one's key. A key is looked for from its bucket on, bucket after bucket, up to
// the first one with a free slot (where it is put when new): as nothing is ever removed, a key
// that is there lies before that bucket. A lookup reads one line of index (the tags tell which
// record can hold the key, so a new key reads no record at all, but for one in 255 compared tags)
// and one record. The index is rebuilt from the records in their order when it grows.
//
// Blocks are fresh pages mapped whole and made resident only as records are appended, so a block
// costs what its records fill; every block after the first (a map of more than half a million
// records, whose last huge page then adds little per record) sits on huge pages, where lookups of
// records spread over many megabytes miss the TLB far less often. So does an index of a megabyte
// or more.

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "morvane/core/huge_pages.h"
#include "morvane/core/panic.h"

namespace morvane {

template <typename V>
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
  // One cache line of index: tags[k] is 0 for a free slot, else the tag of the key of record
  // records[k]; the last four tags are never used.
  static constexpr uint32_t kBucketSlots = 12;
  struct alignas(64) Bucket {
    uint8_t tags[16];
    uint32_t records[kBucketSlots];
  };
  static_assert(sizeof(Bucket) == 64);
  // A bucket array holds at most 7/8 of its slots.
  static constexpr size_t max_records(size_t buckets) { return buckets * kBucketSlots * 7 / 8; }
  static constexpr size_t buckets_for(size_t records) {
    return (records * 8 + kBucketSlots * 7 - 1) / (kBucketSlots * 7);
  }

  struct FreeDeleter {
    void operator()(Bucket* b) const { std::free(b); }
  };
  using Buckets = std::unique_ptr<Bucket[], FreeDeleter>;
  // Zeroed buckets on lines of their own (on huge pages from a megabyte on).
  static Buckets allocate_buckets(size_t n) {
    const size_t bytes = n * sizeof(Bucket);
    void* p = bytes >= (size_t(1) << 20) ? allocate_huge(bytes) : std::aligned_alloc(alignof(Bucket), bytes);
    if (!p) throw std::bad_alloc();
    std::memset(p, 0, bytes);
    return Buckets(static_cast<Bucket*>(p));
  }

  // The key is a hash already; mixing it once more spreads keys that are not (small numbers, equal
  // high bits) over the buckets all the same. The bucket comes from the high half of the mix, the
  // tag from the byte below it.
  static uint64_t mix(uint64_t key) { return key * 0x9E3779B97F4A7C15ULL; }
  static uint8_t tag_of(uint64_t m) {
    const uint8_t t = uint8_t(m >> 24);
    return t == 0 ? 1 : t;
  }
  size_t bucket_of(uint64_t m) const { return size_t(((m >> 32) * uint64_t(nbuckets_)) >> 32); }
  size_t next_bucket(size_t b) const { return b + 1 == nbuckets_ ? 0 : b + 1; }
  // Bit k set for each slot k with tag `t` (0: the free slots).
  static uint32_t slots_tagged(const Bucket& b, uint8_t t) {
#if defined(__SSE2__)
    const __m128i tags = _mm_load_si128(reinterpret_cast<const __m128i*>(b.tags));
    return uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(tags, _mm_set1_epi8(char(t))))) & 0xFFFu;
#else
    uint32_t m = 0;
    for (uint32_t k = 0; k < kBucketSlots; ++k) m |= uint32_t(b.tags[k] == t) << k;
    return m;
#endif
  }

  // The record number of `key`, or kNone; `free` then names the bucket where it would go.
  static constexpr uint32_t kNone = UINT32_MAX;
  uint32_t lookup(uint64_t key, size_t* free) const {
    if (nbuckets_ == 0) {
      if (free) *free = 0;
      return kNone;
    }
    const uint64_t m = mix(key);
    const uint8_t tag = tag_of(m);
    for (size_t b = bucket_of(m);; b = next_bucket(b)) {
      const Bucket& bucket = buckets_[b];
      for (uint32_t hits = slots_tagged(bucket, tag); hits; hits &= hits - 1) {
        const uint32_t r = bucket.records[std::countr_zero(hits)];
        if (store_->at(r).first == key) return r;
      }
      if (slots_tagged(bucket, 0)) {
        if (free) *free = b;
        return kNone;
      }
    }
  }
  // Puts record `r` of key `key` into the first free slot from bucket `b` on.
  void place(size_t b, uint64_t key, uint32_t r) {
    const uint8_t tag = tag_of(mix(key));
    for (;; b = next_bucket(b)) {
      Bucket& bucket = buckets_[b];
      if (uint32_t free = slots_tagged(bucket, 0)) {
        const int k = std::countr_zero(free);
        bucket.tags[k] = tag;
        bucket.records[k] = r;
        return;
      }
    }
  }
  // A new index of `n` buckets with every record, taken in their order. The old index goes first:
  // the records are all it is made from.
  void rebuild(size_t n) {
    buckets_.reset();
    nbuckets_ = 0;
    buckets_ = allocate_buckets(n);
    nbuckets_ = n;
    const uint32_t size = store_->size;
    constexpr uint32_t kAhead = 16;  // records whose buckets are fetched ahead of their placing
    for (uint32_t r = 0; r < size; ++r) {
      if (r + kAhead < size) __builtin_prefetch(&buckets_[bucket_of(mix(store_->at(r + kAhead).first))], 1);
      const uint64_t key = store_->at(r).first;
      place(bucket_of(mix(key)), key, r);
    }
  }

 public:
  RecordMap64() : store_(std::make_unique<Store>()) {}
  RecordMap64(RecordMap64&&) noexcept = default;
  RecordMap64& operator=(RecordMap64&&) noexcept = default;

  size_t size() const { return store_->size; }
  bool empty() const { return size() == 0; }

  V* find(uint64_t key) {
    const uint32_t r = lookup(key, nullptr);
    return r == kNone ? nullptr : &store_->at(r).second;
  }
  const V* find(uint64_t key) const {
    const uint32_t r = lookup(key, nullptr);
    return r == kNone ? nullptr : &store_->at(r).second;
  }
  /// A record number that prefetch_record found (or kNoHint); any number of a record will do.
  static constexpr uint32_t kNoHint = kNone;
  /// The value under `key`, default-constructed and appended when new; true when it was new.
  /// Record `hint`, when it holds the key, is the answer without a look into the index.
  std::pair<V*, bool> try_emplace(uint64_t key, uint32_t hint = kNoHint) {
    if (hint < store_->size && store_->at(hint).first == key) return {&store_->at(hint).second, false};
    size_t free = 0;
    uint32_t r = lookup(key, &free);
    if (r != kNone) return {&store_->at(r).second, false};
    if (size() + 1 > max_records(nbuckets_)) {
      // By half as much again: a search reserves each level ahead, so growing here means its
      // estimate fell short, mostly by little.
      rebuild(nbuckets_ + nbuckets_ / 2 + 1);
      free = bucket_of(mix(key));
    }
    r = append(key);
    place(free, key, r);
    return {&store_->at(r).second, true};
  }
  /// Makes room in the index for `n` records without growing on the way; the records' order is
  /// untouched.
  void reserve(size_t n) {
    if (n <= max_records(nbuckets_)) return;
    rebuild(buckets_for(n));
  }
  /// Brings the index line where `key` would be found towards the cache.
  void prefetch(uint64_t key) const {
    if (nbuckets_) __builtin_prefetch(&buckets_[bucket_of(mix(key))]);
  }
  /// Brings the record `key` could be towards the cache, once its index line is there (after
  /// prefetch): reads that line, and no record. Returns the number of the first such record as a
  /// hint for try_emplace, or kNoHint.
  uint32_t prefetch_record(uint64_t key) const {
    if (nbuckets_ == 0) return kNoHint;
    const uint64_t m = mix(key);
    const Bucket& bucket = buckets_[bucket_of(m)];
    uint32_t hint = kNoHint;
    for (uint32_t hits = slots_tagged(bucket, tag_of(m)); hits; hits &= hits - 1) {
      const uint32_t r = bucket.records[std::countr_zero(hits)];
      if (hint == kNoHint) hint = r;
      // Both cache lines of a record that straddles a line boundary.
      const char* p = reinterpret_cast<const char*>(&store_->at(r));
      __builtin_prefetch(p);
      __builtin_prefetch(p + sizeof(Record) - 1);
    }
    return hint;
  }

  /// Bytes held by the index and the record blocks.
  size_t bytes() const { return nbuckets_ * sizeof(Bucket) + store_->bytes(); }

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

  std::unique_ptr<Store> store_;
  Buckets buckets_;
  size_t nbuckets_ = 0;
};

}  // namespace morvane
