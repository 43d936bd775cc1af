#pragma once
// A map from a key's own 64-bit hash to the key and its value. The hash is the bucket hash as it
// is (never hashed again); full keys are compared only on insertion, which refuses a second,
// different key under a hash that is taken.

#include <concepts>
#include <cstdint>
#include <optional>
#include <utility>

#include <absl/container/flat_hash_map.h>

#include "morvane/core/panic.h"
#include "morvane/core/siphash.h"

namespace morvane {

template <typename K>
concept HasHashValue = requires(const K& k) {
  { k.hash_value() } -> std::same_as<uint64_t>;
};

template <typename K>
concept Hash64Key = std::equality_comparable<K> &&
    (HasHashValue<K> || requires(const K& k, SipHasher13& h) { k.hash_into(h); });

/// The key's own hash_value() where it has one, else SipHash-1-3 with zero keys over its hash
/// stream.
template <Hash64Key K>
uint64_t hash64(const K& key) {
  if constexpr (HasHashValue<K>) {
    return key.hash_value();
  } else {
    SipHasher13 h;
    key.hash_into(h);
    return h.finish();
  }
}

/// The hash of a table keyed by values that are already 64-bit hashes: the value itself.
struct SelfHash64 {
  size_t operator()(uint64_t h) const noexcept { return h; }
};

/// References into the table stay valid until the next insertion.
template <Hash64Key K, typename V>
class HashTable64 {
 public:
  using Entry = std::pair<K, V>;
  /// The key, read-only, and its value.
  struct Slot {
    const K& key;
    V& value;
  };

  /// Stores (key, value) under the key's hash and returns the hash with the value it replaced.
  /// An equal key is replaced together with its value; a different key under the same hash
  /// stops with "Hash collision detected in HashTable64" and changes nothing.
  std::pair<uint64_t, std::optional<V>> insert(K key, V value) {
    uint64_t h = hash64(key);
    auto [it, inserted] = map_.try_emplace(h, std::move(key), std::move(value));  // moves only if inserted
    if (inserted) return {h, std::nullopt};
    Entry& e = it->second;
    if (!(e.first == key)) panic("Hash collision detected in HashTable64");
    std::optional<V> previous(std::move(e.second));
    e.first = std::move(key);
    e.second = std::move(value);
    return {h, std::move(previous)};
  }

  /// The entry stored under hash `h`, or null.
  const Entry* address(uint64_t h) const {
    auto it = map_.find(h);
    return it == map_.end() ? nullptr : &it->second;
  }
  std::optional<Slot> address_mut(uint64_t h) {
    auto it = map_.find(h);
    if (it == map_.end()) return std::nullopt;
    return Slot{it->second.first, it->second.second};
  }
  /// The entry under hash `h`, storing `fallback` there first when there is none (the fallback's
  /// key is not checked against `h`).
  Slot address_or(uint64_t h, Entry fallback) {
    auto it = map_.try_emplace(h, std::move(fallback)).first;
    return Slot{it->second.first, it->second.second};
  }

  size_t size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }
  /// Iteration over (hash, entry) pairs, in no particular order.
  auto begin() const { return map_.begin(); }
  auto end() const { return map_.end(); }

 private:
  absl::flat_hash_map<uint64_t, Entry, SelfHash64> map_;
};

}  // namespace morvane
