#include "morvane/identity/packed_identity_set.h"

#include <algorithm>

#include "morvane/core/panic.h"
#include "morvane/core/pool.h"
#include "morvane/core/table_room.h"

namespace morvane {

IdentityCirc IdentityView::to_identity() const {
  std::vector<Instr32> instrs(len());
  for (size_t k = 0; k < instrs.size(); ++k) instrs[k] = instr(k);
  return IdentityCirc::as_read(Circ{std::move(instrs), perm()});
}

PackedIdentitySet::PackedIdentitySet() : arena_(std::make_unique<Arena>()) { bind_index(); }

void PackedIdentitySet::bind_index() {
  for (Index& shard : index_) shard = Index(0, Hash{arena_.get()}, Eq{arena_.get()});
  size_ = 0;
}

void PackedIdentitySet::take_members_again() {
  if (arena_) return;
  arena_ = std::make_unique<Arena>();
  bind_index();
}

void PackedIdentitySet::reserve(size_t n) {
  // The shards' shares differ little: an eighth more for each covers them.
  const size_t share = n / kShards + n / (8 * kShards) + 1;
  for (Index& shard : index_) make_room(shard, share > shard.size() ? share - shard.size() : 0);
}

PackedIdentitySet::PackedIdentitySet(const PackedIdentitySet& other) : PackedIdentitySet() {
  if (!other.arena_) return;
  // The same layout, so the references stay as they are; the index is made anew, bound to this arena.
  arena_->chunks.reserve(other.arena_->chunks.size());
  for (const Chunk& c : other.arena_->chunks) {
    Chunk copy{std::make_unique_for_overwrite<uint32_t[]>(c.capacity), c.capacity, c.used};
    std::copy_n(c.words.get(), c.used, copy.words.get());
    arena_->chunks.push_back(std::move(copy));
  }
  for (size_t s = 0; s < kShards; ++s) {
    make_room(index_[s], other.index_[s].size());
    for (Ref r : other.index_[s]) index_[s].insert(r);
  }
  size_ = other.size_;
  last_ = other.last_;
}

PackedIdentitySet& PackedIdentitySet::operator=(const PackedIdentitySet& other) {
  if (this != &other) *this = PackedIdentitySet(other);
  return *this;
}

uint32_t* PackedIdentitySet::room(size_t n, uint64_t& ref) {
  take_members_again();
  std::vector<Chunk>& chunks = arena_->chunks;
  if (chunks.empty() || chunks.back().capacity - chunks.back().used < n) {
    const size_t grown = chunks.empty() ? kFirstChunkWords : std::min(kChunkWords, 2 * chunks.back().capacity);
    const size_t capacity = std::max(n, grown);
    chunks.reserve(chunks.size() + 1);
    chunks.push_back(Chunk{std::make_unique_for_overwrite<uint32_t[]>(capacity), capacity, 0});
  }
  Chunk& last = chunks.back();
  ref = (uint64_t(chunks.size() - 1) << 32) | last.used;
  return last.words.get() + last.used;
}

template <typename Key, typename Fill>
bool PackedIdentitySet::add(const Key& key, size_t n, Fill&& fill) {
  // A chunk of its own is made only for a member that is new.
  if (n > kChunkWords && contains(key)) return false;
  uint64_t ref;
  uint32_t* words = room(n, ref);
  // Written before the index sees the reference (its hasher and equality read them), counted only
  // once the index took it: an equal member, or a failed insertion, leaves the arena as it was.
  fill(words);
  Index& shard = index_[shard_of(Hash{arena_.get()}(key))];
  make_room(shard, 1);
  if (!shard.insert(Ref{ref}).second) return false;
  arena_->chunks.back().used += n;
  ++size_;
  last_ = ref;
  return true;
}

bool PackedIdentitySet::insert(HashedIdentity id) {
  const std::vector<Instr32>& instrs = id.id.circ.instrs;
  if (instrs.size() >= IdentityView::kWholeWords) panic("PackedIdentitySet: identity too long");
  const bool whole = !std::all_of(instrs.begin(), instrs.end(), IdentityView::has_half);
  const size_t n = IdentityView::kHeaderWords + IdentityView::instr_words(instrs.size(), whole);
  return add(id, n, [&](uint32_t* words) {
    words[0] = uint32_t(id.hash);
    words[1] = uint32_t(id.hash >> 32);
    words[2] = uint32_t(instrs.size()) | (whole ? IdentityView::kWholeWords : 0);
    words[3] = id.id.circ.perm.raw;
    uint32_t* out = words + IdentityView::kHeaderWords;
    if (whole) {
      std::memcpy(out, instrs.data(), 4 * instrs.size());
    } else {
      for (size_t k = 0; k < instrs.size(); k += 2) {
        const uint32_t high = k + 1 < instrs.size() ? IdentityView::to_half(instrs[k + 1]) : 0;
        out[k / 2] = IdentityView::to_half(instrs[k]) | (high << 16);
      }
    }
  });
}

bool PackedIdentitySet::insert(IdentityView v) {
  const size_t n = v.words();
  return add(v, n, [&](uint32_t* words) { std::memcpy(words, v.words_, 4 * n); });
}

void PackedIdentitySet::insert_all(const PackedIdentitySet& other) {
  if (other.size() < kParallelInsertAll) {
    reserve(size() + other.size());
    // The index slots of the members a few places ahead are fetched early, so that the probes of
    // successive members overlap rather than each waiting for memory in turn.
    constexpr size_t kAhead = 8;
    auto fetch = [&](IdentityView v) { index_[shard_of(v.hash())].prefetch(v); };
    auto ahead = other.begin();
    for (size_t k = 0; k < kAhead && ahead != other.end(); ++k, ++ahead) fetch(ahead.view());
    for (auto it = other.begin(); it != other.end(); ++it) {
      if (ahead != other.end()) {
        fetch(ahead.view());
        ++ahead;
      }
      insert(it.view());
    }
    return;
  }
  take_members_again();
  // Each shard's members of `other` are looked up, and room made in the shard's index, on one
  // thread of the pool; the lacking members' places in the arena follow in order, chunks made for
  // them here; then each shard's thread copies its members' words and indexes them.
  struct Member {
    IdentityView view;
    uint64_t ref;
    bool lacking;
  };
  std::vector<Member> members;  // in `other`'s order
  members.reserve(other.size());
  std::array<std::vector<uint32_t>, kShards> of_shard;
  for (auto it = other.begin(); it != other.end(); ++it) {
    of_shard[shard_of(it.view().hash())].push_back(uint32_t(members.size()));
    members.push_back(Member{it.view(), 0, false});
  }
  pool::map_index(kShards, [&](size_t s) {
    size_t lacking = 0;
    for (uint32_t k : of_shard[s]) lacking += members[k].lacking = !index_[s].contains(members[k].view);
    make_room(index_[s], lacking);
    return char(0);
  });
  const size_t chunks_before = arena_->chunks.size();
  const size_t used_before = chunks_before ? arena_->chunks.back().used : 0;
  size_t added = 0;
  uint64_t last = last_;
  try {
    for (Member& m : members) {
      if (!m.lacking) continue;
      const size_t n = m.view.words();
      room(n, m.ref);
      arena_->chunks.back().used += n;
      last = m.ref;
      ++added;
    }
  } catch (...) {
    // No memory for a chunk: the set is left as it was.
    arena_->chunks.resize(chunks_before);
    if (chunks_before) arena_->chunks.back().used = used_before;
    throw;
  }
  pool::map_index(kShards, [&](size_t s) {
    for (uint32_t k : of_shard[s]) {
      const Member& m = members[k];
      if (!m.lacking) continue;
      uint32_t* words = arena_->chunks[m.ref >> 32].words.get() + uint32_t(m.ref);
      std::memcpy(words, m.view.words_, 4 * m.view.words());
      index_[s].insert(Ref{m.ref});
    }
    return char(0);
  });
  size_ += added;
  last_ = last;
}

PackedIdentitySet::const_iterator PackedIdentitySet::begin() const {
  return arena_ ? const_iterator(arena_.get(), 0) : const_iterator();
}

PackedIdentitySet::const_iterator PackedIdentitySet::end() const {
  return arena_ ? const_iterator(arena_.get(), arena_->chunks.size()) : const_iterator();
}

bool operator==(const PackedIdentitySet& a, const PackedIdentitySet& b) {
  if (a.size() != b.size()) return false;
  for (auto it = a.begin(); it != a.end(); ++it)
    if (!b.contains(it.view())) return false;
  return true;
}

SharedMemberIndex::SharedMemberIndex(unsigned log2_slots)
    : slots_(std::make_unique<Slot[]>(size_t(1) << log2_slots)), mask_((size_t(1) << log2_slots) - 1) {}

void SharedMemberIndex::publish(IdentityView member) {
  if (2 * taken_.size() >= mask_ + 1) return;
  size_t s = member.hash() & mask_;
  while (slots_[s].words.load(std::memory_order_relaxed) != nullptr) s = (s + 1) & mask_;
  taken_.push_back(uint32_t(s));  // first: out of memory, nothing is published
  slots_[s].hash.store(member.hash(), std::memory_order_relaxed);
  slots_[s].words.store(member.words_, std::memory_order_release);
}

bool SharedMemberIndex::contains(HashedIdentity id) const {
  for (size_t s = id.hash & mask_;; s = (s + 1) & mask_) {
    const uint32_t* words = slots_[s].words.load(std::memory_order_acquire);
    if (words == nullptr) return false;
    if (slots_[s].hash.load(std::memory_order_relaxed) == id.hash && IdentityView(words).same_circ(id.id.circ))
      return true;
  }
}

void SharedMemberIndex::clear() {
  for (uint32_t s : taken_) slots_[s].words.store(nullptr, std::memory_order_relaxed);
  taken_.clear();
}

}  // namespace morvane
